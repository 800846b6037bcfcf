// WinINet behind the HttpSession interface.
//
// Requests go through InternetConnectA + HttpOpenRequestA + HttpSendRequestA rather than
// InternetOpenUrlA: Wine ignores time-outs set on the root handle, so a server that accepts and
// never answers would block InternetOpenUrlA for minutes; time-outs set on the connect and
// request handles hold there as on Windows. The time-outs are also set on the root handle for
// whatever Windows does with it. What reaches the server is the same GET of the URL's path and
// query with the same agent and flag headers.
//
// A request with a cancel check or a deadline has a watcher thread that closes the request
// handle when either fires: a call waiting on the handle then fails at once, whatever it waits
// for (the time-outs only count silence, and Wine applies a changed receive time-out late).
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
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"
#include "platform/sockets.hpp"

namespace {

using Clock = HttpSession::Clock;

constexpr int kMaxRedirects = 10;
constexpr auto kWatchInterval = std::chrono::milliseconds(20);
// How long a watcher that closed a handle keeps new handles from being made (see Abort).
constexpr auto kAbortSettle = std::chrono::milliseconds(200);

// Handles are made under this lock, and a watcher holds it from closing a request handle until
// the call on it has returned: a closed handle's value can be handed out again at once, and a
// call that was about to start must not find another request's handle under it.
std::mutex gHandleGate;

struct InetHandle {
    HINTERNET h = nullptr;
    InetHandle() = default;
    explicit InetHandle(HINTERNET handle) : h(handle) {}
    InetHandle(const InetHandle&) = delete;
    InetHandle& operator=(const InetHandle&) = delete;
    ~InetHandle() { Close(); }
    void Close() {
        if (h != nullptr) InternetCloseHandle(h);
        h = nullptr;
    }
};

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

// The request handle of one request (of each hop in turn), and the watcher that may close it
// from its own thread. Every call on the handle goes through Use, so the handle is never
// closed twice and never used once the watcher has closed it.
class RequestLine {
public:
    RequestLine() = default;
    ~RequestLine() {
        StopWatching();
        Close();
    }
    RequestLine(const RequestLine&) = delete;
    RequestLine& operator=(const RequestLine&) = delete;

    // Starts the watcher; without one (no check, no deadline, or no thread) only the
    // time-outs bound the calls.
    void Watch(std::function<bool()> cancelled, std::optional<Clock::time_point> deadline) {
        if (!cancelled && !deadline) return;
        try {
            watcher_ = std::thread([this, cancelled = std::move(cancelled), deadline] {
                std::unique_lock<std::mutex> hold(lock_);
                while (!stop_) {
                    hold.unlock();
                    const bool fire = (cancelled && cancelled()) || (deadline && Clock::now() >= *deadline);
                    hold.lock();
                    if (fire) {
                        hold.unlock();
                        Abort();
                        return;
                    }
                    wake_.wait_for(hold, kWatchInterval, [this] { return stop_; });
                }
            });
        } catch (const std::system_error&) {
        }
    }

    // Takes the handle of the next hop. False (the handle closed) once the request is aborted.
    bool Hold(HINTERNET h) {
        std::lock_guard<std::mutex> hold(lock_);
        if (aborted_) {
            InternetCloseHandle(h);
            return false;
        }
        h_ = h;
        return true;
    }

    // Runs one call on the handle; false without calling it once the request is aborted.
    template <class Call>
    bool Use(Call&& call) {
        HINTERNET h = nullptr;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (aborted_ || h_ == nullptr) return false;
            h = h_;
            ++inCall_;
        }
        const bool ok = call(h);
        std::lock_guard<std::mutex> hold(lock_);
        --inCall_;
        wake_.notify_all();
        return ok;
    }

    // By the request's own thread, outside Use.
    void Close() {
        std::lock_guard<std::mutex> hold(lock_);
        if (h_ != nullptr) InternetCloseHandle(h_);
        h_ = nullptr;
    }

    bool Aborted() {
        std::lock_guard<std::mutex> hold(lock_);
        return aborted_;
    }

private:
    // From the watcher: closing the handle makes a call waiting on it fail at once. The gate
    // stays shut until that call has returned (or surely looked the handle up), see gHandleGate.
    void Abort() {
        std::lock_guard<std::mutex> gate(gHandleGate);
        std::unique_lock<std::mutex> hold(lock_);
        aborted_ = true;
        if (h_ != nullptr) InternetCloseHandle(h_);
        h_ = nullptr;
        wake_.wait_for(hold, kAbortSettle, [this] { return inCall_ == 0; });
    }

    void StopWatching() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (watcher_.joinable()) watcher_.join();
    }

    std::mutex lock_;
    std::condition_variable wake_;
    HINTERNET h_ = nullptr;
    int inCall_ = 0;
    bool aborted_ = false;
    bool stop_ = false;
    std::thread watcher_;
};

class WinInetRequest final : public HttpRequest {
public:
    WinInetRequest(HINTERNET connect, std::unique_ptr<RequestLine> line, std::optional<Clock::time_point> deadline,
                   DWORD receiveMs)
        : connect_(connect), line_(std::move(line)), deadline_(deadline), receiveMs_(receiveMs) {}
    ~WinInetRequest() override {
        // The request before the connection it belongs to.
        line_.reset();
        connect_.Close();
    }
    WinInetRequest(const WinInetRequest&) = delete;
    WinInetRequest& operator=(const WinInetRequest&) = delete;

    bool QueryStatusCode(std::uint32_t& code) override {
        DWORD value = 0;
        const bool ok = line_->Use([&](HINTERNET h) {
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
        if (!deadline_) {
            DWORD got = 0;
            if (!line_->Use([&](HINTERNET h) { return InternetReadFile(h, buffer, want, &got) != FALSE; })) {
                failed_ = true;
                return false;
            }
            bytesRead = got;
            return true;
        }
        return ReadByDeadline(static_cast<char*>(buffer), want, bytesRead);
    }

private:
    // A synchronous InternetReadFile fills the whole buffer before it returns and its receive
    // time-out counts only silence, so a server that trickles could hold it for as long as it
    // likes. Instead the body is taken in what is available at each wait, and each wait is cut
    // to what is left of the deadline (the watcher closes the handle there, which also ends a
    // wait under Wine, where a receive time-out changed after the headers is not applied). What
    // arrived by then is returned; the next read fails.
    bool ReadByDeadline(char* out, DWORD want, std::size_t& bytesRead) {
        DWORD held = 0;
        while (held < want) {
            DWORD wait = MsLeft(*deadline_);
            if (wait == 0) {
                failed_ = true;
                break;
            }
            if (receiveMs_ > 0) wait = std::min(wait, receiveMs_);
            DWORD available = 0;
            const bool asked = line_->Use([&](HINTERNET h) {
                InternetSetOptionA(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
                return InternetQueryDataAvailable(h, &available, 0, 0) != FALSE;
            });
            if (!asked) {
                failed_ = true;
                break;
            }
            if (available == 0) break;  // the end of the body
            DWORD got = 0;
            const DWORD take = std::min(available, want - held);
            if (!line_->Use([&](HINTERNET h) { return InternetReadFile(h, out + held, take, &got) != FALSE; })) {
                failed_ = true;
                break;
            }
            if (got == 0) break;
            held += got;
        }
        bytesRead = held;
        return held > 0 || !failed_;
    }

    InetHandle connect_;
    std::unique_ptr<RequestLine> line_;
    std::optional<Clock::time_point> deadline_;
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
bool RedirectTarget(RequestLine& line, const std::string& from, std::string& to) {
    std::vector<char> location(8193);
    const bool read = line.Use([&](HINTERNET h) {
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
    explicit WinInetSession(HINTERNET root) : root_(root) {}
    ~WinInetSession() override { InternetCloseHandle(root_); }
    WinInetSession(const WinInetSession&) = delete;
    WinInetSession& operator=(const WinInetSession&) = delete;

    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
        haveTimeouts_ = true;
        DWORD c = connectMs;
        DWORD r = receiveMs;
        InternetSetOptionA(root_, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof c);
        InternetSetOptionA(root_, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof r);
    }

    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override;

private:
    HINTERNET root_;
    DWORD connectMs_ = 0;
    DWORD receiveMs_ = 0;
    bool haveTimeouts_ = false;
    AddressGuard guard_;
};

std::unique_ptr<HttpRequest> WinInetSession::OpenUrl(const char* url, std::uint32_t flags, std::size_t) {
    if (url == nullptr) return nullptr;
    const std::optional<Clock::time_point> deadline = Deadline();
    if (deadline && MsLeft(*deadline) == 0) return nullptr;
    const bool guarded = (flags & kHttpGuardAddresses) != 0;
    // Declared before the line: on every way out the request handle is closed before the
    // connection it belongs to (closing a connection closes its requests with it).
    InetHandle connect;
    auto line = std::make_unique<RequestLine>();
    line->Watch(CancelCheck(), deadline);

    std::string current = url;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        UrlParts parts;
        if (!CrackUrl(current, flags, parts)) return nullptr;
        if (guarded && !HostAllowed(guard_, parts.host, parts.port)) return nullptr;
        if (line->Aborted()) return nullptr;

        HINTERNET request = nullptr;
        {
            std::lock_guard<std::mutex> gate(gHandleGate);
            connect.h = InternetConnectA(root_, parts.host.c_str(), parts.port,
                                         parts.user.empty() ? nullptr : parts.user.c_str(),
                                         parts.pass.empty() ? nullptr : parts.pass.c_str(), INTERNET_SERVICE_HTTP, 0, 0);
            if (connect.h == nullptr) return nullptr;
            request = HttpOpenRequestA(connect.h, "GET", parts.object.c_str(), nullptr, nullptr, nullptr,
                                       RequestFlags(flags, parts.secure), 0);
        }
        if (request == nullptr) return nullptr;
        if (haveTimeouts_) SetHandleTimeouts(connect.h, connectMs_, receiveMs_);
        if (deadline) {
            // Connecting and waiting for the answer end at the deadline too.
            const DWORD left = MsLeft(*deadline);
            const DWORD c = haveTimeouts_ && connectMs_ > 0 ? std::min(connectMs_, left) : left;
            const DWORD r = haveTimeouts_ && receiveMs_ > 0 ? std::min(receiveMs_, left) : left;
            SetHandleTimeouts(request, c, r);
        } else if (haveTimeouts_) {
            SetHandleTimeouts(request, connectMs_, receiveMs_);
        }
        if (!line->Hold(request)) return nullptr;
        // Unguarded, HttpSendRequestA follows redirects itself.
        if (!line->Use([](HINTERNET h) { return HttpSendRequestA(h, nullptr, 0, nullptr, 0) != FALSE; })) {
            return nullptr;
        }
        DWORD status = 0;
        const bool redirected = guarded && line->Use([&](HINTERNET h) {
            DWORD size = sizeof status;
            DWORD index = 0;
            return HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index) != FALSE;
        }) && IsRedirect(status);
        if (!redirected) {
            HINTERNET c = connect.h;
            connect.h = nullptr;
            return std::make_unique<WinInetRequest>(c, std::move(line), deadline, haveTimeouts_ ? receiveMs_ : 0);
        }
        std::string next;
        if (!RedirectTarget(*line, current, next)) return nullptr;
        line->Close();
        connect.Close();
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
    return std::make_unique<WinInetSession>(root);
}

void SetTrustedCertificatesForTesting(const char*) {}
