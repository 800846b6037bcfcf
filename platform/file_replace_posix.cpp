#include "platform/file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

std::filesystem::path TempFileBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = target;
    temp += "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
    return temp;
}

namespace {

std::atomic<bool> gNewFilesRefused{false};

// Writes all of bytes to fd, flushes and closes it.
bool WriteAllAndClose(int fd, std::string_view bytes) {
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    return (close(fd) == 0) && ok;
}

// The rename itself lives in the folder's entries: without this flush a power cut after the
// rename may bring back the old name.
void FlushFolder(const std::filesystem::path& file) {
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

void SetNewFilesRefusedForTest(bool refused) { gNewFilesRefused.store(refused); }

bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view bytes) {
    if (gNewFilesRefused.load()) {
        errno = EACCES;
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (WriteAllAndClose(fd, bytes)) return true;
    unlink(path.c_str());
    return false;
}

bool OverwriteFileInPlace(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return fd >= 0 && WriteAllAndClose(fd, bytes);
}

std::filesystem::path LinkTargetOf(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    constexpr int kMaxLinks = 40;  // as the system's own limit; a loop ends here
    fs::path current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(current, ec)) || ec) return current;
        const fs::path next = fs::read_symlink(current, ec);
        if (ec) return path;
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return path;
}

bool ReplaceFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target) {
    struct stat old {};
    if (stat(target.c_str(), &old) == 0) {
        // The new file takes the place of the old one and should not widen who may read it.
        chmod(source.c_str(), old.st_mode & 07777);
    }
    if (rename(source.c_str(), target.c_str()) != 0) return false;
    FlushFolder(target);
    return true;
}

bool IsReadOnlyFile(const std::filesystem::path& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return access(path.c_str(), W_OK) != 0;
}
