#include "platform/file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

SmallFileRead ReadSmallFile(const std::filesystem::path& path, std::size_t minBytes, std::size_t maxBytes,
                            std::string& out) {
    out.clear();
    Descriptor file;
    // O_NONBLOCK: a pipe in the file's place would otherwise hold the open until a writer came.
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0) return SmallFileRead::kNotOpened;
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return SmallFileRead::kSizeOutside;
    const auto size = static_cast<std::uintmax_t>(info.st_size);
    if (size < minBytes || size > maxBytes) return SmallFileRead::kSizeOutside;
    try {
        out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return SmallFileRead::kFailed;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = read(file.fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.clear();
            return SmallFileRead::kFailed;
        }
        if (n == 0) break;  // the file shrank since its size was taken
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return SmallFileRead::kRead;
}
