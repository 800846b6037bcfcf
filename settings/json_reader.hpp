// The three small value readers of config.json. They are not a JSON parser: a key is found by
// a plain, case-sensitive search for the key in double quotes, anywhere in the text (also
// inside a string value; the first occurrence counts), and the value after it is read loosely.
// After the quoted key, any run of space, TAB, CR, LF and colon is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Reads a decimal integer the way strtol does: white space, an optional sign, digits up to the
// first other character. No digits give 0 (and still success); a value beyond 32 bits is held
// at INT32_MAX or INT32_MIN. Fails when the key is missing or the text ends after it.
bool ReadJsonInt(std::string_view text, std::string_view key, std::int32_t& out);

// Reads a boolean by its first letters, ignoring ASCII case: "true" (4 letters) gives true,
// "false" (5 letters) gives false, anything else (a quoted word, 0, 1) fails.
bool ReadJsonBool(std::string_view text, std::string_view key, bool& out);

// Reads a double-quoted string into out (capacity bytes, always terminated on success). Neither
// the key nor the value may reach past the end of text, which is how a channel entry bounds
// its own keys. Decodes \" \\ \/ \n \r \t; a backslash before any other character gives that
// character alone (so \u is not decoded). The value ends at the first unescaped quote, at the
// end of text or when capacity - 1 bytes are stored, whichever comes first; a value that is
// cut or unterminated still succeeds.
bool ReadJsonString(std::string_view text, std::string_view key, char* out, std::size_t capacity);

// Reads a list of double-quoted strings, ["a", "b"], into maxItems consecutive buffers of
// capacity bytes at out (each terminated; values decoded and cut as by ReadJsonString). Values
// that are not strings (numbers, objects, arrays) and empty strings are skipped. Reading stops at
// the closing bracket, at the end of text, or after maxItems items.
// Returns the number of items read, or -1 when the key is missing or not followed by '['.
int ReadJsonStringList(std::string_view text, std::string_view key, char* out, std::size_t capacity, int maxItems);
