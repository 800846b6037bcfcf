// Replacing a small file so that a crash or a power cut at any moment leaves either the old
// file or the new one, never a shortened one.
#pragma once

#include <filesystem>
#include <string_view>

// A path for a new temporary file in the same folder as target (so that the final rename stays
// on one volume), unique to this process and this call.
std::filesystem::path TempFileBeside(const std::filesystem::path& target);

// Creates path, which must not exist yet, holding bytes, and flushes it to the disk before
// returning. Returns false on any failure, and then leaves nothing at path.
bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view bytes);

// Puts source in the place of target in one step (MoveFileExW with replace-existing and
// write-through; rename and a flush of the folder on POSIX). Target keeps its permission bits
// on POSIX. Returns false when target was not replaced; source is then still there.
bool ReplaceFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target);

// True when path exists and must not be written: the read-only attribute on Windows; on POSIX a
// file without any write permission bit, or one this process may not write. The permission
// bits are looked at as well because root may write anything, and a rename ignores the bits of
// the file it replaces anyway.
bool IsReadOnlyFile(const std::filesystem::path& path);
