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
    return FolderOfExecutable(buffer);
}

std::filesystem::path FolderOfExecutable(const std::filesystem::path& executable) {
    std::wstring text = executable.native();
    const auto slash = text.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    // "E:\prog.exe", "\\?\E:\prog.exe" or "\prog.exe": the folder is a root and keeps its separator.
    const bool root = slash == 0 || text[slash - 1] == L':';
    text.resize(root ? slash + 1 : slash);
    return std::filesystem::path(text);
}
