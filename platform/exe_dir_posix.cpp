#include "platform/exe_dir.hpp"

#include <unistd.h>

#include <string>

std::filesystem::path ExecutableDirectory() {
    // readlink does not terminate and cuts silently, so a result that fills the buffer is read
    // again into a larger one.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            break;
        }
        if (buffer.size() >= 65536) return {};
        buffer.resize(buffer.size() * 2);
    }
    return FolderOfExecutable(buffer);
}

std::filesystem::path FolderOfExecutable(const std::filesystem::path& executable) {
    return executable.parent_path();
}
