// WinINet behind the HttpSession interface.
//
// Requests go through InternetConnectA + HttpOpenRequestA + HttpSendRequestA rather than
// InternetOpenUrlA: Wine ignores time-outs set on the root handle, so a server that accepts and
// never answers would block InternetOpenUrlA for minutes; time-outs set on the connect and
// request handles hold there as on Windows. The time-outs are also set on the root handle for
// whatever Windows does with it. What reaches the server is the same GET of the URL's path and
// query with the same agent and flag headers.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/http_client.hpp"

namespace {

struct InetHandle {
    HINTERNET h = nullptr;
    InetHandle() = default;
    explicit InetHandle(HINTERNET handle) : h(handle) {}
    InetHandle(const InetHandle&) = delete;
    InetHandle& operator=(const InetHandle&) = delete;
    ~InetHandle() {
        if (h != nullptr) InternetCloseHandle(h);
    }
    HINTERNET release() {
        HINTERNET out = h;
        h = nullptr;
        return out;
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
    if (secure) out |= INTERNET_FLAG_SECURE;
    return out;
}

using Clock = HttpSession::Clock;

// Milliseconds left until deadline, rounded up; 0 once it has passed.
DWORD MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, MAXDWORD));
}

class WinInetRequest final : public HttpRequest {
public:
    WinInetRequest(HINTERNET connect, HINTERNET request, std::optional<Clock::time_point> deadline, DWORD receiveMs)
        : connect_(connect), request_(request), deadline_(deadline), receiveMs_(receiveMs) {}
    ~WinInetRequest() override {
        // The request before the connection it belongs to.
        InternetCloseHandle(request_);
        InternetCloseHandle(connect_);
    }
    WinInetRequest(const WinInetRequest&) = delete;
    WinInetRequest& operator=(const WinInetRequest&) = delete;

    bool QueryStatusCode(std::uint32_t& code) override {
        DWORD value = 0;
        DWORD size = sizeof value;
        DWORD index = 0;
        if (!HttpQueryInfoA(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index)) {
            return false;
        }
        code = value;
        return true;
    }

    bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) override {
        bytesRead = 0;
        if (failed_) return false;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(maxBytes, INT_MAX));
        if (!deadline_) {
            DWORD got = 0;
            if (!InternetReadFile(request_, buffer, want, &got)) return false;
            bytesRead = got;
            return true;
        }
        return ReadByDeadline(static_cast<char*>(buffer), want, bytesRead);
    }

private:
    // A synchronous InternetReadFile fills the whole buffer before it returns and its receive
    // time-out counts only silence, so a server that trickles could hold it for as long as it
    // likes. Instead the body is taken in what is available at each wait, and each wait is cut
    // to what is left of the deadline. What arrived by then is returned; the next read fails.
    // Hazard: Wine 8 applies the request's receive time-out to the socket only when it reads
    // the headers, so there a wait begun before the deadline can outlast it by up to the
    // time-out that was in force then.
    bool ReadByDeadline(char* out, DWORD want, std::size_t& bytesRead) {
        DWORD held = 0;
        while (held < want) {
            DWORD wait = MsLeft(*deadline_);
            if (wait == 0) {
                failed_ = true;
                break;
            }
            if (receiveMs_ > 0) wait = std::min(wait, receiveMs_);
            InternetSetOptionA(request_, INTERNET_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request_, &available, 0, 0)) {
                failed_ = true;
                break;
            }
            if (available == 0) break;  // the end of the body
            DWORD got = 0;
            if (!InternetReadFile(request_, out + held, std::min(available, want - held), &got)) {
                failed_ = true;
                break;
            }
            if (got == 0) break;
            held += got;
        }
        bytesRead = held;
        return held > 0 || !failed_;
    }

    HINTERNET connect_;
    HINTERNET request_;
    std::optional<Clock::time_point> deadline_;
    DWORD receiveMs_;  // 0: the session set none
    bool failed_ = false;
};

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
};

std::unique_ptr<HttpRequest> WinInetSession::OpenUrl(const char* url, std::uint32_t flags, std::size_t) {
    if (url == nullptr) return nullptr;
    const std::size_t len = std::strlen(url);
    if (len == 0 || len > 8192) return nullptr;
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
    if (!InternetCrackUrlA(url, static_cast<DWORD>(len), 0, &parts)) return nullptr;
    // Only web URLs: a page may point anywhere, and other schemes must not be opened.
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return nullptr;
    if (host[0] == '\0') return nullptr;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS || (flags & kHttpSecure) != 0;

    InetHandle connect(InternetConnectA(root_, host.data(), parts.nPort, user[0] != '\0' ? user.data() : nullptr,
                                        pass[0] != '\0' ? pass.data() : nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (connect.h == nullptr) return nullptr;
    if (haveTimeouts_) SetHandleTimeouts(connect.h, connectMs_, receiveMs_);

    // The object is the URL's path and query, as InternetOpenUrlA would request them.
    std::string object = path.data();
    if (object.empty()) object.push_back('/');  // not = "/": g++ 12 -Wrestrict false positive
    object += extra.data();
    InetHandle request(HttpOpenRequestA(connect.h, "GET", object.c_str(), nullptr, nullptr, nullptr,
                                        RequestFlags(flags, secure), 0));
    if (request.h == nullptr) return nullptr;
    const std::optional<Clock::time_point> deadline = Deadline();
    if (deadline) {
        // Connecting and waiting for the answer end at the deadline too.
        const DWORD left = MsLeft(*deadline);
        if (left == 0) return nullptr;
        const DWORD c = haveTimeouts_ && connectMs_ > 0 ? std::min(connectMs_, left) : left;
        const DWORD r = haveTimeouts_ && receiveMs_ > 0 ? std::min(receiveMs_, left) : left;
        SetHandleTimeouts(request.h, c, r);
    } else if (haveTimeouts_) {
        SetHandleTimeouts(request.h, connectMs_, receiveMs_);
    }
    // Redirects are followed by HttpSendRequestA itself.
    if (!HttpSendRequestA(request.h, nullptr, 0, nullptr, 0)) return nullptr;
    HINTERNET r = request.release();
    return std::make_unique<WinInetRequest>(connect.release(), r, deadline, haveTimeouts_ ? receiveMs_ : 0);
}

}  // namespace

std::unique_ptr<HttpSession> OpenHttpSession(const char* userAgent) {
    HINTERNET root = InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (root == nullptr) return nullptr;
    return std::make_unique<WinInetSession>(root);
}
