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

// Puts source in the place of target in one step: MoveFileExW with replace-existing and
// write-through on Windows, target's attributes and access list copied to source first; rename
// and a flush of the folder on POSIX, target's permission bits copied first. A program that holds target open
// for a moment is waited for, about 200 ms at most. Returns false when target was not replaced;
// source is then still there.
bool ReplaceFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target);

// Writes bytes over the existing file path (emptied first) and flushes it; never creates it.
// For a folder that takes no new file: an interruption can leave the file shortened. Waits like
// ReplaceFileAtomically for a program that holds the file. Returns false on any failure.
bool OverwriteFileInPlace(const std::filesystem::path& path, std::string_view bytes);

// The file that path names once symbolic links are followed (also when that file does not
// exist yet), so that replacing it keeps the links; path itself when it is no link or the links
// cannot be followed.
std::filesystem::path LinkTargetOf(const std::filesystem::path& path);

// For tests: while set, WriteNewFileDurably fails as in a folder that takes no new file.
void SetNewFilesRefusedForTest(bool refused);

// True when path exists and must not be written: the read-only attribute on Windows; on POSIX a
// file without any write permission bit, or one this process may not write. The permission
// bits are looked at as well because root may write anything, and a rename ignores the bits of
// the file it replaces anyway.
bool IsReadOnlyFile(const std::filesystem::path& path);
