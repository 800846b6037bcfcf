// A small HTTP client in the shape of the WinINet calls the program makes: a session (root
// handle) with a user agent and time-outs, GET requests for full URLs with request flags, the
// status code as a number, and body reads where 0 bytes means the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <utility>

// Request flags, named after the WinINet flags they stand for.
enum HttpFlag : std::uint32_t {
    kHttpReload = 1u << 0,               // INTERNET_FLAG_RELOAD: always ask the server
    kHttpNoCacheWrite = 1u << 1,         // INTERNET_FLAG_NO_CACHE_WRITE
    kHttpNoCookies = 1u << 2,            // INTERNET_FLAG_NO_COOKIES
    kHttpPragmaNoCache = 1u << 3,        // INTERNET_FLAG_PRAGMA_NOCACHE: no-cache request headers
    kHttpIgnoreCertCnInvalid = 1u << 4,  // INTERNET_FLAG_IGNORE_CERT_CN_INVALID
    kHttpSecure = 1u << 5,               // INTERNET_FLAG_SECURE
    // No WinINet counterpart: the request (its redirects included) never reaches this program's
    // own web server, and when the address it first connects to is public, none of its redirects
    // leads to a loopback, private or link-local one (see platform/address_guard.hpp). Each
    // request is judged on its own, whatever the session connected to before. For requests to
    // addresses that a third party names.
    kHttpGuardAddresses = 1u << 6,
};

class HttpRequest {
public:
    virtual ~HttpRequest() = default;
    // The response's status code. Returns false (code untouched) when it cannot be read.
    virtual bool QueryStatusCode(std::uint32_t& code) = 0;
    // Reads up to maxBytes body bytes into buffer. Returns false on a failed read (bytesRead 0);
    // true with bytesRead 0 at the end of the body. Under a session deadline a read returns what
    // has arrived when the deadline passes; the read after it fails.
    virtual bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) = 0;
};

class HttpSession {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~HttpSession() = default;
    // An overall end (on the steady clock) for the requests opened from now on, on top of the
    // time-outs: connecting, the answer and every read stop there. The time-outs only count
    // silence, so without it a server that trickles a byte now and then can hold a read for as
    // long as it likes. None until set.
    void SetDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }
    std::optional<Clock::time_point> Deadline() const { return deadline_; }
    // A check for the requests opened from now on: asked at least every 50 ms while a request
    // connects, waits for its answer and reads its body. Once it returns true the transfer is
    // dropped at once and the request fails (OpenUrl returns null or the next Read fails).
    // None until set. Any thread may run the request; the check must be safe to call from it.
    void SetCancelCheck(std::function<bool()> cancelled) { cancelled_ = std::move(cancelled); }
    const std::function<bool()>& CancelCheck() const { return cancelled_; }
    // Connect and receive time-outs in milliseconds for the requests opened from now on.
    virtual void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) = 0;
    // Opens a GET of a full URL. maxBodyBytes is the most the caller will ever read; the client
    // never holds more than that. Returns null when the request cannot be made.
    virtual std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags,
                                                 std::size_t maxBodyBytes) = 0;

private:
    std::optional<Clock::time_point> deadline_;
    std::function<bool()> cancelled_;
};

// Opens a session with the given user agent and the system's proxy settings. Null on failure.
std::unique_ptr<HttpSession> OpenHttpSession(const char* userAgent);

// Test hook: https requests opened from now on trust only the certificates in this PEM text
// (empty: the system's store again). Only the libcurl client honours it; WinINet always uses
// the system's store.
void SetTrustedCertificatesForTesting(const char* pem);
