#include "platform/file_replace.hpp"

#include <windows.h>

#include <atomic>
#include <string>

std::filesystem::path TempFileBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = target;
    temp += L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L".tmp";
    return temp;
}

bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
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
    ok = (CloseHandle(file) != 0) && ok;
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

bool ReplaceFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target) {
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool IsReadOnlyFile(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}
