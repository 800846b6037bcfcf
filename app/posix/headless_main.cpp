// The program without a window: the same start-up and shutdown as the Windows program, a
// message loop in place of the window's, and the web page as its only face.
#include "app/headless_loop.hpp"
#include "app/process.hpp"
#include "app/window_handlers.hpp"
#include "platform/descriptors.hpp"
#include "platform/poller.hpp"
#include "web/web_server.hpp"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

HeadlessLoop& gLoop = *new HeadlessLoop;
HeadlessView& gView = *new HeadlessView(gLoop);

// SIGINT and SIGTERM are blocked in every thread and taken here by sigtimedwait, so a signal
// becomes an ordinary close message handled on the loop's thread (settings saved as on a close).
void WatchSignals(const sigset_t& signals, const std::atomic<bool>& stop) {
    const timespec pause{0, 100 * 1000 * 1000};
    while (!stop.load()) {
        // Through the window's link, so that a title fetch under way stops for the close too.
        if (sigtimedwait(&signals, nullptr, &pause) > 0) PostToMainWindow(MSG_CLOSE, 0);
    }
}

// Ends the program after StopServices. A cover search still running then may be inside libcurl
// or its TLS library, whose clean-ups at exit would free what it uses: the process then ends at
// once, with the same code, after flushing what it printed.
int Finish(bool searchesEnded, int exitCode) {
    if (!searchesEnded) {
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(exitCode);
    }
    return exitCode;
}

}  // namespace

int main() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Before any thread starts, so that every thread inherits the mask.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A browser that goes away mid-answer must not end the process.
    signal(SIGPIPE, SIG_IGN);
    // The usual soft limit of 1,024 open files is below what the server and the rest need; the
    // hard limit is what the system (or the unit's LimitNOFILE=) allows, and the server sizes its
    // connection cap to what is left.
    const std::size_t openFiles = SetDescriptorLimit(kNoDescriptorLimit);

    const bool serving = StartServices();
    const int port = ConfiguredPort(gSettings);
    if (!serving) {
        std::fprintf(stderr, "tovrel-radio: the web server cannot listen on port %d\n", port);
        return Finish(StopServices(), 1);
    }
    std::printf("Radio Tovrel Monitor & Server: http://127.0.0.1:%d/\n", port);
    std::fflush(stdout);
    const WebSlots slots = WebServerSlots();
    if (slots.connections < kMaxPolledConnections) {
        std::fprintf(stderr, "tovrel-radio: %zu open files allowed: serving at most %zu connections at once\n",
                     openFiles, slots.connections);
    }

    std::atomic<bool> stopWatching{false};
    std::thread watcher(WatchSignals, std::cref(signals), std::cref(stopWatching));

    AppContext app = MakeProcessContext(gView);
    OnCreate(app);
    const int exitCode = gLoop.Run(app);

    stopWatching.store(true);
    watcher.join();
    return Finish(StopServices(), exitCode);
}
