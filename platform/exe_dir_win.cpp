#include "platform/exe_dir.hpp"

#include <windows.h>

#include <string>

std::filesystem::path ExecutableDirectory() {
    // Start with MAX_PATH and grow: a path that does not fit comes back cut and terminated, which
    // would silently point at a different folder.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return {};
        if (length < size) {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
    const auto slash = buffer.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    buffer.resize(slash);
    return std::filesystem::path(buffer);
}
