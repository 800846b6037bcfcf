/* A slow disk for whole-program tests, preloaded into the program (LD_PRELOAD): every fsync and
 * fdatasync first sleeps TOVREL_SLOW_FSYNC_MS milliseconds (200 when unset), then flushes as
 * usual. When TOVREL_SLOW_FSYNC_LOG names a file, each slowed call appends a line to it, so a
 * test can tell that the preload was in effect. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int SlowFlush(const char* name, int fd) {
    const char* text = getenv("TOVREL_SLOW_FSYNC_MS");
    long ms = text != NULL ? strtol(text, NULL, 10) : 200;
    if (ms < 0 || ms > 10000) ms = 200;
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    const char* log = getenv("TOVREL_SLOW_FSYNC_LOG");
    const int logFd = log != NULL ? open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    if (logFd >= 0) {
        if (write(logFd, "flush\n", 6) < 0) { /* a diagnostic only */ }
        close(logFd);
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, name);
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd);
}

int fsync(int fd) { return SlowFlush("fsync", fd); }
int fdatasync(int fd) { return SlowFlush("fdatasync", fd); }
