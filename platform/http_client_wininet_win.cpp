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
// each host is resolved and checked by the request's own AddressGuard before it is connected to,
// and each hop is opened with its own scheme's flags. WinINet resolves the host again when it
// connects; a name whose answer changes in between is not caught.
//
// Where the system's settings send a hop through a proxy, the proxy resolves the name, and a
// local lookup may fail or tell something else: such a hop is judged from its URL alone
// (AddressGuard::AllowUnresolved) and opened on a root handle that names that proxy and no bypass
// list, so that it surely goes where it was judged to go. A hop the bypass list may cover is
// looked up and checked as a direct one.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
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
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"
#include "platform/http_client_wininet.hpp"
#include "platform/sockets.hpp"

namespace {

using Clock = HttpSession::Clock;

constexpr int kMaxRedirects = 10;
constexpr auto kWatchInterval = std::chrono::milliseconds(20);

std::atomic<void (*)()> gCallHook{nullptr};

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
// when it fires, the request's thread leaves at once and the call is abandoned.
//
// Only the call thread closes the handles once it has one: a closed handle's value can be handed
// out again at once, and a call thread descheduled between taking its handle and making its call
// would then act on another request's handle, however long anyone waited. The abandoned call ends
// by the hop's time-outs (which a deadline lowers), and the call thread then closes the handles
// and ends. The call thread and the request share this record, so whichever lets go last closes
// the handles; the call thread never touches the caller's memory.
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
        if (!line->pending || line->aborted) break;
        line->pending = false;
        const HINTERNET h = line->request;
        const Op op = line->op;
        const DWORD want = line->count;
        DWORD count = 0;
        hold.unlock();
        if (void (*const hook)() = gCallHook.load()) hook();
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

// Gives the line up: the call thread makes no further call and closes the handles once the one
// it may be in has returned. Nothing is closed here (see Line).
void Abort(Line& line) {
    std::lock_guard<std::mutex> hold(line.lock);
    line.aborted = true;
    line.quit = true;
    line.wake.notify_all();
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
    bool https = false;   // the URL's scheme
    bool secure = false;  // INTERNET_FLAG_SECURE
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
    out.https = parts.nScheme == INTERNET_SCHEME_HTTPS;
    out.secure = out.https || (flags & kHttpSecure) != 0;
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

// The flags of one hop of a request made with `flags`. The caller's kHttpSecure speaks for the
// URL it asked for; a redirect takes its own scheme's, both ways (TLS sent to an http host's port
// 80 fails).
std::uint32_t HopFlags(std::uint32_t flags, bool firstHop) {
    return firstHop ? flags : flags & ~static_cast<std::uint32_t>(kHttpSecure);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Calls f for each non-empty entry of list, entries being apart by any of separators.
template <class F>
void ForEachEntry(std::string_view list, std::string_view separators, F&& f) {
    while (!list.empty()) {
        const std::size_t end = std::min(list.find_first_of(separators), list.size());
        if (end > 0) f(list.substr(0, end));
        list.remove_prefix(std::min(end + 1, list.size()));
    }
}

// '*' matches any run of characters, ASCII case ignored.
bool GlobMatches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && EqualsNoCase(pattern.substr(p, 1), text.substr(t, 1))) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// The system's proxy settings as WinINet took them for a root handle: empty when it connects
// directly (or uses only automatic configuration, which cannot be read here).
struct ProxySettings {
    std::string list;    // "host:port", or "scheme=host:port" entries apart by spaces or ';'
    std::string bypass;  // hosts WinINet connects to itself

    // The proxy a hop goes through, or "" when WinINet may connect to its host itself. Errs
    // towards "": a bypass entry is matched more widely than WinINet matches it, and a scheme
    // without an entry of its own or a plain one counts as direct. A host taken for direct is
    // looked up and checked here, which is sound whichever way WinINet then goes.
    std::string For(const UrlParts& parts) const {
        if (list.empty()) return {};
        std::string plain, own;
        ForEachEntry(list, " ;", [&](std::string_view entry) {
            const std::size_t eq = entry.find('=');
            if (eq == std::string_view::npos) {
                if (plain.empty()) plain.assign(entry);
            } else if (own.empty() && EqualsNoCase(entry.substr(0, eq), parts.https ? "https" : "http")) {
                own.assign(entry.substr(eq + 1));
            }
        });
        std::string proxy = own.empty() ? plain : own;
        if (proxy.empty() || MayBypass(parts.host)) return {};
        return proxy;
    }

private:
    bool MayBypass(std::string_view host) const {
        bool may = false;
        ForEachEntry(bypass, " ;,\t\r\n", [&](std::string_view entry) {
            if (EqualsNoCase(entry, "<local>")) {
                may = may || host.find('.') == std::string_view::npos;
                return;
            }
            if (const std::size_t scheme = entry.find("://"); scheme != std::string_view::npos) {
                entry.remove_prefix(scheme + 3);
            }
            const std::string_view noPort = entry.substr(0, entry.rfind(':'));
            const bool suffix = !entry.empty() && entry.front() == '.' && host.size() > entry.size() &&
                                EqualsNoCase(host.substr(host.size() - entry.size()), entry);
            may = may || suffix || GlobMatches(entry, host) || GlobMatches(noPort, host);
        });
        return may;
    }
};

// Text of a WinINet option as plain ASCII (anything else becomes '?', which names no host).
std::string Ascii(const wchar_t* text) {
    std::string out;
    for (std::size_t i = 0; text != nullptr && text[i] != L'\0' && i < 4096; ++i) {
        out.push_back(text[i] > 0 && text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    }
    return out;
}

ProxySettings ReadProxySettings(HINTERNET root) {
    ProxySettings out;
    std::vector<unsigned char> buffer(1024);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!InternetQueryOptionW(root, INTERNET_OPTION_PROXY, buffer.data(), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > 65536) return out;
        buffer.resize(size);
        if (!InternetQueryOptionW(root, INTERNET_OPTION_PROXY, buffer.data(), &size)) return out;
    }
    INTERNET_PROXY_INFO info{};
    if (size < sizeof info) return out;
    std::memcpy(&info, buffer.data(), sizeof info);
    if (info.dwAccessType != INTERNET_OPEN_TYPE_PROXY) return out;
    out.list = Ascii(info.lpszProxy);
    out.bypass = Ascii(info.lpszProxyBypass);
    return out;
}

class WinInetSession final : public HttpSession {
public:
    WinInetSession(std::shared_ptr<RootHandle> root, const char* agent)
        : root_(std::move(root)), agent_(agent != nullptr ? agent : ""), proxy_(ReadProxySettings(root_->h)) {}

    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
        haveTimeouts_ = true;
        SetRootTimeouts(*root_);
        if (proxyRoot_) SetRootTimeouts(*proxyRoot_);
    }

    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override;

private:
    void SetRootTimeouts(const RootHandle& root) const {
        DWORD c = connectMs_;
        DWORD r = receiveMs_;
        InternetSetOptionA(root.h, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof c);
        InternetSetOptionA(root.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof r);
    }
    // A root handle that sends everything through proxy; null when WinINet cannot make one.
    std::shared_ptr<RootHandle> ProxyRoot(const std::string& proxy);
    // Opens the handles of one hop; null when WinINet cannot make them.
    std::shared_ptr<Line> OpenHop(const std::shared_ptr<RootHandle>& root, const UrlParts& parts, std::uint32_t flags,
                                  const Stop& stop);

    std::shared_ptr<RootHandle> root_;  // shared with requests that may outlive the session
    std::string agent_;
    ProxySettings proxy_;
    std::shared_ptr<RootHandle> proxyRoot_;  // made on first use, for proxyRootFor_
    std::string proxyRootFor_;
    DWORD connectMs_ = 0;
    DWORD receiveMs_ = 0;
    bool haveTimeouts_ = false;
};

std::shared_ptr<RootHandle> WinInetSession::ProxyRoot(const std::string& proxy) {
    if (proxyRoot_ && proxyRootFor_ == proxy) return proxyRoot_;
    // No bypass list: whatever is sent on this root goes to the proxy (WinINet's own exceptions,
    // localhost and the loopback addresses, are judged alike either way).
    HINTERNET h = InternetOpenA(agent_.c_str(), INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0);
    if (h == nullptr) return nullptr;
    try {
        proxyRoot_ = std::make_shared<RootHandle>(h);
    } catch (const std::bad_alloc&) {
        InternetCloseHandle(h);
        return nullptr;
    }
    proxyRootFor_ = proxy;
    if (haveTimeouts_) SetRootTimeouts(*proxyRoot_);
    return proxyRoot_;
}

std::shared_ptr<Line> WinInetSession::OpenHop(const std::shared_ptr<RootHandle>& root, const UrlParts& parts,
                                              std::uint32_t flags, const Stop& stop) {
    HINTERNET connect = InternetConnectA(root->h, parts.host.c_str(), parts.port,
                                         parts.user.empty() ? nullptr : parts.user.c_str(),
                                         parts.pass.empty() ? nullptr : parts.pass.c_str(), INTERNET_SERVICE_HTTP, 0, 0);
    if (connect == nullptr) return nullptr;
    std::shared_ptr<Line> line;
    try {
        line = std::make_shared<Line>(root, connect);
    } catch (const std::bad_alloc&) {
        InternetCloseHandle(connect);
        return nullptr;
    }
    line->request = HttpOpenRequestA(connect, "GET", parts.object.c_str(), nullptr, nullptr, nullptr,
                                     RequestFlags(flags, parts.secure), 0);
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
    // The request's own guard: what earlier requests of the session connected to decides nothing.
    AddressGuard guard;
    std::string current = url;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        const std::uint32_t hopFlags = HopFlags(flags, hop == 0);
        UrlParts parts;
        if (!CrackUrl(current, hopFlags, parts)) return nullptr;
        std::shared_ptr<RootHandle> root = root_;
        if (guarded) {
            const std::string proxy = proxy_.For(parts);
            if (proxy.empty()) {
                if (!HostAllowed(guard, parts.host, parts.port)) return nullptr;
            } else {
                if (!guard.AllowUnresolved(parts.host, parts.port, OwnServerPort(), IsThisMachineAddress)) return nullptr;
                root = ProxyRoot(proxy);
                if (!root) return nullptr;
            }
        }
        if (stop.Fired()) return nullptr;
        LineOwner line(OpenHop(root, parts, hopFlags, stop));
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
    HINTERNET root = InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (root == nullptr) return nullptr;
    return std::make_unique<WinInetSession>(std::make_shared<RootHandle>(root), userAgent);
}

void SetTrustedCertificatesForTesting(const char*) {}

std::uint32_t WinInetHopFlags(const char* url, std::uint32_t flags, bool firstHop) {
    const std::uint32_t hopFlags = HopFlags(flags, firstHop);
    UrlParts parts;
    if (url == nullptr || !CrackUrl(url, hopFlags, parts)) return 0;
    return RequestFlags(hopFlags, parts.secure);
}

void SetCallHookForTesting(void (*hook)()) { gCallHook.store(hook); }
