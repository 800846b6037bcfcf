#include "platform/file_replace.hpp"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<bool> gNewFilesRefused{false};

// A program that holds the file open without the sharing we need (a virus scanner, a backup, an
// editor) blocks us for a moment: step is retried while it fails that way, about 200 ms at most.
template <typename Step>
bool RetryWhileShared(Step step) {
    constexpr int kAttempts = 10;
    for (int attempt = 1;; ++attempt) {
        if (step()) return true;
        const DWORD error = GetLastError();
        const bool shared = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                            error == ERROR_LOCK_VIOLATION;
        if (!shared || attempt == kAttempts) return false;
        Sleep(20);
    }
}

// Writes all of bytes to file, flushes and closes it.
bool WriteAllAndClose(HANDLE file, std::string_view bytes) {
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const std::size_t chunk = bytes.size() - done;
        const DWORD want = chunk > 0x40000000u ? 0x40000000u : static_cast<DWORD>(chunk);
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, want, &written, nullptr) != 0 && written > 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(file) != 0;
    return (CloseHandle(file) != 0) && ok;
}

}  // namespace

void SetNewFilesRefusedForTest(bool refused) { gNewFilesRefused.store(refused); }

std::filesystem::path TempFileBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = target;
    temp += L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L".tmp";
    return temp;
}

bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view bytes) {
    if (gNewFilesRefused.load()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (WriteAllAndClose(file, bytes)) return true;
    DeleteFileW(path.c_str());
    return false;
}

bool OverwriteFileInPlace(const std::filesystem::path& path, std::string_view bytes) {
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = RetryWhileShared([&] {
        file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return opened && WriteAllAndClose(file, bytes);
}

std::filesystem::path LinkTargetOf(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
    // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows the links to the file itself.
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path;
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (length >= buffer.size() && length < 32768) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(file);
    if (length == 0 || length >= buffer.size()) return path;
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

namespace {

// What the old file carries besides its bytes goes to the new file before the rename: the
// attributes a user may set and the access list, as ReplaceFileW would copy them. ReplaceFileW
// itself is not used: Wine's removes the old file before the new one takes its name, and a
// process ended in between (measured) leaves no config.json at all. Best effort: a file whose
// access list cannot be copied is still replaced.
void CarryOverFileProperties(const std::filesystem::path& from, const std::filesystem::path& to) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & kKept) != 0) SetFileAttributesW(to.c_str(), attributes & kKept);
    DWORD needed = 0;
    GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0 || needed > 65536) return;
    std::vector<DWORD> descriptor((needed + sizeof(DWORD) - 1) / sizeof(DWORD));  // kept aligned
    if (GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        SetFileSecurityW(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data());
    }
}

}  // namespace

bool ReplaceFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target) {
    CarryOverFileProperties(target, source);
    return RetryWhileShared([&] {
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

bool IsReadOnlyFile(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}
