#include "platform/file_read.hpp"

#include <windows.h>

#include <new>

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

SmallFileRead ReadSmallFile(const std::filesystem::path& path, std::size_t minBytes, std::size_t maxBytes,
                            std::string& out) {
    out.clear();
    Handle file;
    // Shared for every access, so that a save replacing the file meanwhile is not refused.
    file.h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) return SmallFileRead::kNotOpened;
    LARGE_INTEGER size{};
    if (GetFileType(file.h) != FILE_TYPE_DISK || !GetFileSizeEx(file.h, &size) || size.QuadPart < 0) {
        return SmallFileRead::kSizeOutside;
    }
    const auto bytes = static_cast<ULONGLONG>(size.QuadPart);
    if (bytes < minBytes || bytes > maxBytes) return SmallFileRead::kSizeOutside;
    try {
        out.resize(static_cast<std::size_t>(bytes));
    } catch (const std::bad_alloc&) {
        return SmallFileRead::kFailed;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        constexpr std::size_t kChunk = 1u << 30;
        const std::size_t want = out.size() - done < kChunk ? out.size() - done : kChunk;
        DWORD got = 0;
        if (!ReadFile(file.h, out.data() + done, static_cast<DWORD>(want), &got, nullptr)) {
            out.clear();
            return SmallFileRead::kFailed;
        }
        if (got == 0) break;  // the file shrank since its size was taken
        done += got;
    }
    out.resize(done);
    return SmallFileRead::kRead;
}
