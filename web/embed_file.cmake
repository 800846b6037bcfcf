# Writes a C++ source that holds the bytes of INPUT exactly (no terminator counted) and defines
# FUNCTION() returning them as a std::string_view. Run with cmake -P at build time.
#   -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -DHEADER=<include path>
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REPEAT "[0-9a-f]" 48 row)
string(REGEX REPLACE "(${row})" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} at build time; do not edit.\n"
"#include \"${HEADER}\"\n\n"
"namespace {\n"
"constexpr unsigned char kBytes[${size} + 1] = {\n${bytes}0};\n"
"}  // namespace\n\n"
"std::string_view ${FUNCTION}() { return {reinterpret_cast<const char*>(kBytes), ${size}}; }\n")
# Replacing only on change keeps the library from rebuilding when the page did not change.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
