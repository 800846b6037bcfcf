// libcurl behind the HttpSession interface, behaving as the WinINet client does: the same
// agent, no cookies, no cache, redirects followed, the environment's proxy, TLS verified unless
// the flags ignore the certificate's host name.
//
// The transfer runs to completion inside OpenUrl on a multi handle that this thread drives, so
// the receive time-out is measured here to the poll interval (libcurl has no per-read
// time-out); a session deadline ends the transfer there, keeping what has arrived. The body is
// kept only up to the caller's maxBodyBytes; once that is reached the transfer is dropped, which
// is not an error for the caller. A cancel check is asked at every turn of that loop (at most
// kPollMs apart) and drops the transfer at once.
//
// Guarded requests (kHttpGuardAddresses) have every address checked by an AddressGuard of the
// request's own just before libcurl opens a socket to it, redirects included, so what is checked
// is what is connected to. Through a proxy that address is the proxy's.
#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;
constexpr int kPollMs = 20;
// Used until SetTimeouts is called: the order of WinINet's own defaults.
constexpr std::uint32_t kDefaultConnectMs = 60000;
constexpr std::uint32_t kDefaultReceiveMs = 30000;

std::mutex gTrustLock;
std::string& TrustedPem() {
    static std::string* pem = new std::string;  // outlives any late request
    return *pem;
}

bool CurlReady() {
    // Function-local static: initialised once even when several threads open sessions at once.
    static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ok;
}

struct Transfer {
    std::vector<char> body;
    std::size_t maxBody = 0;
    bool capped = false;
    bool connected = false;
    Clock::time_point lastActivity;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    t->lastActivity = Clock::now();
    const std::size_t room = t->maxBody - t->body.size();
    const std::size_t take = std::min(total, room);
    t->body.insert(t->body.end(), data, data + take);
    if (take < total) {
        t->capped = true;
        return take;  // short count: libcurl ends the transfer
    }
    return total;
}

std::size_t OnHeader(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<Transfer*>(user)->lastActivity = Clock::now();
    return size * count;
}

// Called once a connection (for each request, redirects included) is ready and before the
// request is sent: from here on the server owes us bytes within the receive time-out.
int OnConnected(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    t->connected = true;
    t->lastActivity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

class CurlRequest final : public HttpRequest {
public:
    CurlRequest(long status, std::vector<char> body, bool failed, std::function<bool()> cancelled)
        : status_(status), body_(std::move(body)), failed_(failed), cancelled_(std::move(cancelled)) {}

    bool QueryStatusCode(std::uint32_t& code) override {
        if (status_ <= 0) return false;
        code = static_cast<std::uint32_t>(status_);
        return true;
    }

    // Bytes that arrived before a failed transfer are delivered first; the failure shows at
    // the read after them, as a stalled connection does with WinINet.
    bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) override {
        bytesRead = 0;
        if (cancelled_ && cancelled_()) return false;
        if (pos_ < body_.size()) {
            bytesRead = std::min(maxBytes, body_.size() - pos_);
            if (bytesRead > 0) std::memcpy(buffer, body_.data() + pos_, bytesRead);
            pos_ += bytesRead;
            return true;
        }
        return !failed_;
    }

private:
    long status_;
    std::vector<char> body_;
    std::size_t pos_ = 0;
    bool failed_;
    std::function<bool()> cancelled_;
};

class CurlSession final : public HttpSession {
public:
    explicit CurlSession(const char* agent) : agent_(agent != nullptr ? agent : "") {}

    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
    }

    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override;

private:
    std::string agent_;
    std::uint32_t connectMs_ = kDefaultConnectMs;
    std::uint32_t receiveMs_ = kDefaultReceiveMs;
};

// CURLOPT_OPENSOCKETFUNCTION for guarded requests: a refused address gets no socket, and
// libcurl tries the next one or fails the request.
curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* guard = static_cast<AddressGuard*>(user);
    IpAddress peer;
    if (!IpAddressFromSockaddr(&address->addr, address->addrlen, peer) ||
        !guard->Allow(peer, OwnServerPort(), IsThisMachineAddress)) {
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
}

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::unique_ptr<HttpRequest> CurlSession::OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) {
    if (url == nullptr || !CurlReady()) return nullptr;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) return nullptr;
    CURL* e = easy.get();

    Transfer t;
    t.maxBody = maxBodyBytes;
    t.body.reserve(std::min<std::size_t>(maxBodyBytes, 64 * 1024));
    t.lastActivity = Clock::now();

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    if ((flags & kHttpPragmaNoCache) != 0) {
        curl_slist* list = curl_slist_append(nullptr, "Pragma: no-cache");
        if (list != nullptr) {
            curl_slist* more = curl_slist_append(list, "Cache-Control: no-cache");
            if (more != nullptr) list = more;
        }
        headers.reset(list);
    }

    curl_easy_setopt(e, CURLOPT_URL, url);
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, agent_.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // Only web URLs: a page may point anywhere, and file: or other schemes must not be read.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs_ > 0 ? connectMs_ : kDefaultConnectMs));
    if ((flags & kHttpIgnoreCertCnInvalid) != 0) {
        // Only the host name check is waived; the chain is still verified.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    std::string trusted;
    {
        std::lock_guard<std::mutex> hold(gTrustLock);
        trusted = TrustedPem();
    }
    if (!trusted.empty()) {
        curl_blob blob{trusted.data(), trusted.size(), CURL_BLOB_COPY};
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    }
    // One guard per request: the transfer ends inside this call, and what earlier requests of
    // the session connected to must not widen where this one's redirects may lead.
    AddressGuard guard;
    if ((flags & kHttpGuardAddresses) != 0) {
        curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
        curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &guard);
    }
    if (headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &t);
    // No cookie engine, no cache: nothing is sent that an earlier answer left behind.

    if (curl_multi_add_handle(multi.get(), e) != CURLM_OK) return nullptr;
    const auto receiveLimit = std::chrono::milliseconds(receiveMs_ > 0 ? receiveMs_ : kDefaultReceiveMs);
    const std::optional<Clock::time_point> deadline = Deadline();
    const std::function<bool()> cancelled = CancelCheck();
    bool stalled = false;
    int running = 1;
    for (;;) {
        if (cancelled && cancelled()) {
            curl_multi_remove_handle(multi.get(), e);
            return nullptr;
        }
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
        if (running == 0) break;
        const Clock::time_point now = Clock::now();
        // Silence past the receive time-out, or the caller's deadline however busy the server
        // is: what has arrived is kept and the transfer counts as failed.
        if ((t.connected && now - t.lastActivity > receiveLimit) || (deadline && now >= *deadline)) {
            stalled = true;
            break;
        }
        int waitMs = kPollMs;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 1, kPollMs));
        }
        if (curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr) != CURLM_OK) break;
    }

    CURLcode result = CURLE_OPERATION_TIMEDOUT;
    if (!stalled && running == 0) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
            if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        }
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi.get(), e);

    const bool complete = result == CURLE_OK || (result == CURLE_WRITE_ERROR && t.capped);
    if (!complete && t.body.empty()) return nullptr;
    return std::make_unique<CurlRequest>(status, std::move(t.body), !complete, cancelled);
}

}  // namespace

std::unique_ptr<HttpSession> OpenHttpSession(const char* userAgent) {
    if (!CurlReady()) return nullptr;
    return std::make_unique<CurlSession>(userAgent);
}

void SetTrustedCertificatesForTesting(const char* pem) {
    std::lock_guard<std::mutex> hold(gTrustLock);
    TrustedPem() = pem != nullptr ? pem : "";
}
