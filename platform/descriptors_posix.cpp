#include "platform/descriptors.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::size_t Limit(rlim_t value) {
    return value == RLIM_INFINITY ? kNoDescriptorLimit : static_cast<std::size_t>(value);
}

// Open descriptors numbered below limit. /proc lists them without touching each number; without
// it, the numbers are probed one by one (at most 65,536 of them).
std::size_t OpenBelow(std::size_t limit) {
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        std::size_t open = 0;
        while (const dirent* entry = readdir(dir)) {
            char* end = nullptr;
            const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || static_cast<int>(fd) == own) continue;
            if (fd < limit) ++open;
        }
        closedir(dir);
        return open;
    }
    const std::size_t probed = std::min<std::size_t>(limit, 65536);
    std::size_t open = 0;
    for (std::size_t fd = 0; fd < probed; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
    return open;
}

}  // namespace

std::size_t SetDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kNoDescriptorLimit;
    rlimit next = limit;
    next.rlim_cur = limit.rlim_max;
    if (wanted != kNoDescriptorLimit && (limit.rlim_max == RLIM_INFINITY || static_cast<rlim_t>(wanted) < limit.rlim_max)) {
        next.rlim_cur = static_cast<rlim_t>(wanted);
    }
    // An unlimited hard limit may still refuse an unlimited soft one (the kernel's own ceiling):
    // the old soft limit then stays in force.
    if (next.rlim_cur != limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &next) == 0) return Limit(next.rlim_cur);
    return Limit(limit.rlim_cur);
}

std::size_t DescriptorsLeft() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoDescriptorLimit;
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t open = OpenBelow(soft);
    return open < soft ? soft - open : 0;
}
