// WinINet behind the HttpSession interface.
//
// Requests go through InternetConnectA + HttpOpenRequestA + HttpSendRequestA rather than
// InternetOpenUrlA: Wine ignores time-outs set on the root handle, so a server that accepts and
// never answers would block InternetOpenUrlA for minutes; time-outs set on the connect and
// request handles hold there as on Windows. The time-outs are also set on the root handle for
// whatever Windows does with it. What reaches the server is the same GET of the URL's path and
// query with the same agent and flag headers.
//
// A request with a cancel check or a deadline makes its blocking calls on a thread of its own and
// leaves them when either fires (see Line): the time-outs only count silence, and Wine applies a
// changed receive time-out late.
//
// Guarded requests (kHttpGuardAddresses) follow redirects here rather than in WinINet, so that
// each host is resolved and checked before it is connected to. WinINet resolves it again when it
// connects; a name whose answer changes in between is not caught.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"
#include "platform/sockets.hpp"

namespace {

using Clock = HttpSession::Clock;

constexpr int kMaxRedirects = 10;
constexpr auto kWatchInterval = std::chrono::milliseconds(20);
// How long a watcher that closed a handle keeps new handles from being made (see Abort).
constexpr auto kAbortSettle = std::chrono::milliseconds(50);

// Handles are made under this lock, and Abort holds it from closing a request handle until the
// call on it has returned: a closed handle's value can be handed out again at once, and a call
// that was about to start must not find another request's handle under it.
std::mutex gHandleGate;

void SetHandleTimeouts(HINTERNET h, DWORD connectMs, DWORD receiveMs) {
    InternetSetOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
    InternetSetOptionA(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
    // The request is a few hundred bytes; a peer that will not take them is as dead as one that
    // does not answer.
    InternetSetOptionA(h, INTERNET_OPTION_SEND_TIMEOUT, &receiveMs, sizeof receiveMs);
}

DWORD RequestFlags(std::uint32_t flags, bool secure) {
    DWORD out = 0;
    if ((flags & kHttpReload) != 0) out |= INTERNET_FLAG_RELOAD;
    if ((flags & kHttpNoCacheWrite) != 0) out |= INTERNET_FLAG_NO_CACHE_WRITE;
    if ((flags & kHttpNoCookies) != 0) out |= INTERNET_FLAG_NO_COOKIES;
    if ((flags & kHttpPragmaNoCache) != 0) out |= INTERNET_FLAG_PRAGMA_NOCACHE;
    if ((flags & kHttpIgnoreCertCnInvalid) != 0) out |= INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
    if ((flags & kHttpGuardAddresses) != 0) out |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (secure) out |= INTERNET_FLAG_SECURE;
    return out;
}

// Milliseconds left until deadline, rounded up; 0 once it has passed.
DWORD MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, MAXDWORD));
}

// What ends a request early: the session's cancel check and deadline, as they were when it
// was opened.
struct Stop {
    std::function<bool()> cancelled;
    std::optional<Clock::time_point> deadline;
    bool Active() const { return cancelled || deadline; }
    bool Fired() const { return (cancelled && cancelled()) || (deadline && Clock::now() >= *deadline); }
};

// The session's root handle, closed when the session and the last request made from it are gone.
struct RootHandle {
    HINTERNET h = nullptr;
    explicit RootHandle(HINTERNET handle) : h(handle) {}
    RootHandle(const RootHandle&) = delete;
    RootHandle& operator=(const RootHandle&) = delete;
    ~RootHandle() { InternetCloseHandle(h); }
};

enum class Op { kSend, kAvailable, kRead };

// One hop's handles. A synchronous WinINet call cannot be cut short from its own thread, and
// under Wine not even by closing its handle from another (the handle stays referenced until the
// call returns). So when a request can be stopped early, its blocking calls run on a thread of
// their own while the request's thread waits at most kWatchInterval at a time and asks the Stop;
// when it fires, the request handle is closed (on Windows that makes the waiting call fail at
// once) and the request's thread leaves. The call thread and the request share this record, so
// whichever lets go last closes the handles; the call thread never touches the caller's memory.
struct Line {
    std::shared_ptr<RootHandle> root;
    HINTERNET connect = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    HINTERNET request = nullptr;  // null once closed
    bool aborted = false;
    bool threadRunning = false;
    bool quit = false;       // the request is gone: the call thread ends after its call
    bool pending = false;    // a call was handed over and not yet taken
    bool busy = false;       // a call was handed over and has not finished
    Op op = Op::kSend;
    DWORD count = 0;  // in: bytes wanted (kRead); out: bytes read or available
    bool ok = false;
    std::vector<char> data;  // kRead's bytes

    Line(std::shared_ptr<RootHandle> r, HINTERNET c) : root(std::move(r)), connect(c) {}
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line() {
        // The request before the connection it belongs to.
        if (request != nullptr) InternetCloseHandle(request);
        if (connect != nullptr) InternetCloseHandle(connect);
    }
};

// Makes one blocking call on the line's request handle. `data` is only touched by whoever
// makes the call, and read by the caller only once the call has finished.
bool Perform(Line& line, HINTERNET h, Op op, DWORD want, DWORD& count) {
    switch (op) {
        case Op::kSend:
            return HttpSendRequestA(h, nullptr, 0, nullptr, 0) != FALSE;
        case Op::kAvailable:
            return InternetQueryDataAvailable(h, &count, 0, 0) != FALSE;
        case Op::kRead:
            line.data.resize(want);
            return InternetReadFile(h, line.data.data(), want, &count) != FALSE;
    }
    return false;
}

void CallThread(std::shared_ptr<Line> line) {
    std::unique_lock<std::mutex> hold(line->lock);
    for (;;) {
        line->wake.wait(hold, [&] { return line->pending || line->quit; });
        if (!line->pending) break;
        line->pending = false;
        const HINTERNET h = line->request;
        const Op op = line->op;
        const DWORD want = line->count;
        DWORD count = 0;
        hold.unlock();
        const bool ok = h != nullptr && Perform(*line, h, op, want, count);
        hold.lock();
        line->ok = ok;
        line->count = count;
        line->busy = false;
        line->wake.notify_all();
    }
    line->threadRunning = false;
    // The handles are closed here, not on the request's thread: closing a request whose body
    // of known length was not read to its end makes Wine's WinINet read on for as long as the
    // rest keeps arriving, and a station that streams a huge body must not hold the window.
    const HINTERNET request = std::exchange(line->request, nullptr);
    const HINTERNET connect = std::exchange(line->connect, nullptr);
    hold.unlock();
    if (request != nullptr) InternetCloseHandle(request);
    if (connect != nullptr) InternetCloseHandle(connect);
}

// Closes the request handle while a call may wait on it. A closed handle's value can be handed
// out again at once, so new handles are not made (gHandleGate) until the call has returned or
// has surely looked its handle up.
void Abort(Line& line) {
    std::lock_guard<std::mutex> gate(gHandleGate);
    std::unique_lock<std::mutex> hold(line.lock);
    line.aborted = true;
    line.quit = true;
    if (line.request != nullptr) InternetCloseHandle(line.request);
    line.request = nullptr;
    line.wake.notify_all();
    line.wake.wait_for(hold, kAbortSettle, [&] { return !line.busy; });
}

// A blocking call on the line: made here when nothing can stop the request early, otherwise on
// the line's call thread while this thread watches the Stop. False when the call failed or the
// request was stopped (the line is then aborted).
bool Call(const std::shared_ptr<Line>& line, const Stop& stop, Op op, DWORD want, DWORD& count) {
    std::unique_lock<std::mutex> hold(line->lock);
    if (line->aborted || line->request == nullptr) return false;
    if (!stop.Active()) {
        const HINTERNET h = line->request;
        hold.unlock();
        return Perform(*line, h, op, want, count);
    }
    if (stop.Fired()) {
        hold.unlock();
        Abort(*line);
        return false;
    }
    if (!line->threadRunning) {
        try {
            std::thread(CallThread, line).detach();
            line->threadRunning = true;
        } catch (const std::system_error&) {
            const HINTERNET h = line->request;
            hold.unlock();
            return Perform(*line, h, op, want, count);  // only the time-outs bound it then
        }
    }
    line->op = op;
    line->count = want;
    line->pending = true;
    line->busy = true;
    line->wake.notify_all();
    while (line->busy) {
        line->wake.wait_for(hold, kWatchInterval, [&] { return !line->busy; });
        if (line->busy && stop.Fired()) {
            hold.unlock();
            Abort(*line);
            return false;
        }
    }
    count = line->count;
    return line->ok;
}

// A call that does not wait (a header query, an option) on the line's request handle, made
// under its lock; false once the request was stopped.
template <class F>
bool WithHandle(Line& line, F&& f) {
    std::lock_guard<std::mutex> hold(line.lock);
    if (line.aborted || line.request == nullptr || line.busy) return false;
    return f(line.request);
}

// The request's hold on its line: tells the call thread to end when the request goes.
struct LineOwner {
    std::shared_ptr<Line> line;
    explicit LineOwner(std::shared_ptr<Line> l) : line(std::move(l)) {}
    LineOwner(LineOwner&&) = default;
    LineOwner& operator=(LineOwner&&) = default;
    ~LineOwner() { Release(); }
    void Release() {
        if (!line) return;
        {
            std::lock_guard<std::mutex> hold(line->lock);
            line->quit = true;
        }
        line->wake.notify_all();
        line.reset();
    }
};

class WinInetRequest final : public HttpRequest {
public:
    WinInetRequest(LineOwner line, Stop stop, DWORD receiveMs)
        : line_(std::move(line)), stop_(std::move(stop)), receiveMs_(receiveMs) {}

    bool QueryStatusCode(std::uint32_t& code) override {
        DWORD value = 0;
        const bool ok = WithHandle(*line_.line, [&](HINTERNET h) {
            DWORD size = sizeof value;
            DWORD index = 0;
            return HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index) != FALSE;
        });
        if (ok) code = value;
        return ok;
    }

    bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) override {
        bytesRead = 0;
        if (failed_) return false;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(maxBytes, INT_MAX));
        if (!stop_.deadline) {
            DWORD got = 0;
            if (!ReadPiece(static_cast<char*>(buffer), want, got)) {
                failed_ = true;
                return false;
            }
            bytesRead = got;
            return true;
        }
        return ReadByDeadline(static_cast<char*>(buffer), want, bytesRead);
    }

private:
    bool ReadPiece(char* out, DWORD want, DWORD& got) {
        if (!stop_.Active()) {
            return WithHandleBlocking([&](HINTERNET h) { return InternetReadFile(h, out, want, &got) != FALSE; });
        }
        if (!Call(line_.line, stop_, Op::kRead, want, got)) return false;
        got = std::min(got, want);
        std::memcpy(out, line_.line->data.data(), got);
        return true;
    }

    // Without a Stop nothing else touches the handle; the call is made here, directly into the
    // caller's buffer.
    template <class F>
    bool WithHandleBlocking(F&& f) {
        HINTERNET h = nullptr;
        {
            std::lock_guard<std::mutex> hold(line_.line->lock);
            h = line_.line->request;
        }
        return h != nullptr && f(h);
    }

    // A synchronous InternetReadFile fills the whole buffer before it returns and its receive
    // time-out counts only silence, so a server that trickles could hold it for as long as it
    // likes. Instead the body is taken in what is available at each wait, and the request is
    // stopped at the deadline (see Line). What arrived by then is returned; the next read fails.
    bool ReadByDeadline(char* out, DWORD want, std::size_t& bytesRead) {
        DWORD held = 0;
        while (held < want) {
            DWORD wait = MsLeft(*stop_.deadline);
            if (wait == 0) {
                failed_ = true;
                break;
            }
            if (receiveMs_ > 0) wait = std::min(wait, receiveMs_);
            WithHandle(*line_.line, [&](HINTERNET h) {
                return InternetSetOptionA(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait) != FALSE;
            });
            DWORD available = 0;
            if (!Call(line_.line, stop_, Op::kAvailable, 0, available)) {
                failed_ = true;
                break;
            }
            if (available == 0) break;  // the end of the body
            DWORD got = 0;
            if (!ReadPiece(out + held, std::min(available, want - held), got)) {
                failed_ = true;
                break;
            }
            if (got == 0) break;
            held += got;
        }
        bytesRead = held;
        return held > 0 || !failed_;
    }

    LineOwner line_;
    Stop stop_;
    DWORD receiveMs_;  // 0: the session set none
    bool failed_ = false;
};

// The parts of a URL that a request is made from.
struct UrlParts {
    bool secure = false;
    INTERNET_PORT port = 0;
    std::string host, user, pass, object;
};

bool CrackUrl(const std::string& url, std::uint32_t flags, UrlParts& out) {
    const std::size_t len = url.size();
    if (len == 0 || len > 8192) return false;
    // Every part fits in a buffer of the URL's own length.
    std::vector<char> host(len + 1), user(len + 1), pass(len + 1), path(len + 1), extra(len + 1);
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    parts.lpszUserName = user.data();
    parts.dwUserNameLength = static_cast<DWORD>(user.size());
    parts.lpszPassword = pass.data();
    parts.dwPasswordLength = static_cast<DWORD>(pass.size());
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(len), 0, &parts)) return false;
    // Only web URLs: a page may point anywhere, and other schemes must not be opened.
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    if (host[0] == '\0') return false;
    out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS || (flags & kHttpSecure) != 0;
    out.port = parts.nPort;
    out.host = host.data();
    out.user = user.data();
    out.pass = pass.data();
    // The object is the URL's path and query, as InternetOpenUrlA would request them.
    out.object = path.data();
    if (out.object.empty()) out.object.push_back('/');  // not = "/": g++ 12 -Wrestrict false positive
    out.object += extra.data();
    return true;
}

// Resolves host and asks the guard about every address it has: a name that also leads somewhere
// refused is refused, as WinINet may pick any of them.
bool HostAllowed(AddressGuard& guard, const std::string& host, INTERNET_PORT port) {
    if (!InitSockets()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    bool allowed = getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0 && found != nullptr;
    for (addrinfo* a = found; allowed && a != nullptr; a = a->ai_next) {
        IpAddress peer;
        allowed = IpAddressFromSockaddr(a->ai_addr, a->ai_addrlen, peer) &&
                  guard.Allow(peer, OwnServerPort(), IsThisMachineAddress);
    }
    if (found != nullptr) freeaddrinfo(found);
    CleanupSockets();
    return allowed;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The absolute address a redirect answer leads to; false when it has none.
bool RedirectTarget(Line& line, const std::string& from, std::string& to) {
    std::vector<char> location(8193);
    const bool read = WithHandle(line, [&](HINTERNET h) {
        DWORD size = static_cast<DWORD>(location.size() - 1);
        DWORD index = 0;
        return HttpQueryInfoA(h, HTTP_QUERY_LOCATION, location.data(), &size, &index) != FALSE;
    });
    if (!read || location[0] == '\0') return false;
    std::vector<char> combined(16384);
    DWORD size = static_cast<DWORD>(combined.size());
    if (!InternetCombineUrlA(from.c_str(), location.data(), combined.data(), &size, 0)) return false;
    to.assign(combined.data(), std::min<std::size_t>(size, combined.size()));
    return true;
}

class WinInetSession final : public HttpSession {
public:
    explicit WinInetSession(std::shared_ptr<RootHandle> root) : root_(std::move(root)) {}

    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
        haveTimeouts_ = true;
        DWORD c = connectMs;
        DWORD r = receiveMs;
        InternetSetOptionA(root_->h, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof c);
        InternetSetOptionA(root_->h, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof r);
    }

    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override;

private:
    // Opens the handles of one hop; null when WinINet cannot make them.
    std::shared_ptr<Line> OpenHop(const UrlParts& parts, std::uint32_t flags, const Stop& stop);

    std::shared_ptr<RootHandle> root_;  // shared with requests that may outlive the session
    DWORD connectMs_ = 0;
    DWORD receiveMs_ = 0;
    bool haveTimeouts_ = false;
    AddressGuard guard_;
};

std::shared_ptr<Line> WinInetSession::OpenHop(const UrlParts& parts, std::uint32_t flags, const Stop& stop) {
    std::shared_ptr<Line> line;
    {
        std::lock_guard<std::mutex> gate(gHandleGate);
        HINTERNET connect = InternetConnectA(root_->h, parts.host.c_str(), parts.port,
                                             parts.user.empty() ? nullptr : parts.user.c_str(),
                                             parts.pass.empty() ? nullptr : parts.pass.c_str(), INTERNET_SERVICE_HTTP, 0, 0);
        if (connect == nullptr) return nullptr;
        try {
            line = std::make_shared<Line>(root_, connect);
        } catch (const std::bad_alloc&) {
            InternetCloseHandle(connect);
            return nullptr;
        }
        line->request = HttpOpenRequestA(connect, "GET", parts.object.c_str(), nullptr, nullptr, nullptr,
                                         RequestFlags(flags, parts.secure), 0);
    }
    if (line->request == nullptr) return nullptr;
    if (haveTimeouts_) SetHandleTimeouts(line->connect, connectMs_, receiveMs_);
    if (stop.deadline) {
        // Connecting and waiting for the answer end at the deadline too.
        const DWORD left = MsLeft(*stop.deadline);
        const DWORD c = haveTimeouts_ && connectMs_ > 0 ? std::min(connectMs_, left) : left;
        const DWORD r = haveTimeouts_ && receiveMs_ > 0 ? std::min(receiveMs_, left) : left;
        SetHandleTimeouts(line->request, c, r);
    } else if (haveTimeouts_) {
        SetHandleTimeouts(line->request, connectMs_, receiveMs_);
    }
    return line;
}

std::unique_ptr<HttpRequest> WinInetSession::OpenUrl(const char* url, std::uint32_t flags, std::size_t) {
    if (url == nullptr) return nullptr;
    const Stop stop{CancelCheck(), Deadline()};
    if (stop.deadline && MsLeft(*stop.deadline) == 0) return nullptr;
    const bool guarded = (flags & kHttpGuardAddresses) != 0;
    std::string current = url;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        UrlParts parts;
        if (!CrackUrl(current, flags, parts)) return nullptr;
        if (guarded && !HostAllowed(guard_, parts.host, parts.port)) return nullptr;
        if (stop.Fired()) return nullptr;
        LineOwner line(OpenHop(parts, flags, stop));
        if (!line.line) return nullptr;
        // Unguarded, HttpSendRequestA follows redirects itself.
        DWORD unused = 0;
        if (!Call(line.line, stop, Op::kSend, 0, unused)) return nullptr;
        DWORD status = 0;
        const bool redirected = guarded && WithHandle(*line.line, [&](HINTERNET h) {
            DWORD size = sizeof status;
            DWORD index = 0;
            return HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index) != FALSE;
        }) && IsRedirect(status);
        if (!redirected) return std::make_unique<WinInetRequest>(std::move(line), stop, haveTimeouts_ ? receiveMs_ : 0);
        std::string next;
        if (!RedirectTarget(*line.line, current, next)) return nullptr;
        current = std::move(next);
    }
    return nullptr;  // too many redirects
}

}  // namespace

std::unique_ptr<HttpSession> OpenHttpSession(const char* userAgent) {
    HINTERNET root = nullptr;
    {
        std::lock_guard<std::mutex> gate(gHandleGate);
        root = InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    }
    if (root == nullptr) return nullptr;
    return std::make_unique<WinInetSession>(std::make_shared<RootHandle>(root));
}

void SetTrustedCertificatesForTesting(const char*) {}
