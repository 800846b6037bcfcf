#include "tests/support/sim_client.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SockHandle = SOCKET;
constexpr SockHandle kBadSock = INVALID_SOCKET;
static void CloseSock(SockHandle s) { closesocket(s); }
static void InitSockOnce() {
    static const bool done = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)done;
}
static void SetSockTimeouts(SockHandle s, int ms) {
    DWORD v = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
using SockHandle = int;
constexpr SockHandle kBadSock = -1;
static void CloseSock(SockHandle s) { close(s); }
static void InitSockOnce() {}
static void SetSockTimeouts(SockHandle s, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
#endif

std::string RawHttpExchange(int port, std::string_view request, int timeoutMs) {
    InitSockOnce();
    SockHandle s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == kBadSock) return {};
    SetSockTimeouts(s, timeoutMs);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::size_t sent = 0;
        while (sent < request.size()) {
            const auto n = send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        char buf[16384];
        for (;;) {
            const auto n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    CloseSock(s);
    return out;
}

namespace {

std::string Base64(std::string_view in) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    while (i + 2 < in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
        i += 3;
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += (i + 1 < in.size()) ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Body(const std::string& response) {
    const auto pos = response.find("\r\n\r\n");
    return pos == std::string::npos ? std::string() : response.substr(pos + 4);
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string SimControl::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool SimControl::Set(std::string_view jsonSpec) {
    std::string req = "POST /_sim/set HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n";
    req += "Content-Length: " + std::to_string(jsonSpec.size()) + "\r\n\r\n";
    req += jsonSpec;
    return Body(RawHttpExchange(port_, req)) == "ok";
}

bool SimControl::SetBody(std::string_view path, std::string_view body, int status, std::string_view contentType) {
    return Set("{\"path\":" + JsonQuote(path) + ",\"status\":" + std::to_string(status) + ",\"body_b64\":\"" +
               Base64(body) + "\",\"content_type\":" + JsonQuote(contentType) + "}");
}

bool SimControl::Reset() {
    return Body(RawHttpExchange(port_, "POST /_sim/reset HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n")) == "ok";
}

bool SimControl::Station(std::string_view jsonOrder) {
    std::string req = "POST /_sim/station HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n";
    req += "Content-Length: " + std::to_string(jsonOrder.size()) + "\r\n\r\n";
    req += jsonOrder;
    return Body(RawHttpExchange(port_, req)) == "ok";
}

int SimControl::Requests(std::string_view target) {
    const std::string log = Log();
    const std::string needle = "\"target\": " + JsonQuote(target) + ",";
    int n = 0;
    for (std::size_t pos = log.find(needle); pos != std::string::npos; pos = log.find(needle, pos + 1)) ++n;
    return n;
}

std::string SimControl::Log() {
    return Body(RawHttpExchange(port_, "GET /_sim/log HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
}
