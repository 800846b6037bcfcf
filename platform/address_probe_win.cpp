// Reading socket addresses and finding this machine's own, with Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "platform/address_guard.hpp"
#include "platform/sockets.hpp"

bool ParseIpv6Text(std::string_view text, IpAddress& out) {
    if (text.empty() || text.size() > 45) return false;  // the longest form with an IPv4 tail
    const std::string copy(text);
    unsigned char bytes[16] = {};
    if (!InitSockets()) return false;
    const bool parsed = inet_pton(AF_INET6, copy.c_str(), bytes) == 1;
    CleanupSockets();
    if (!parsed) return false;
    out = IpAddress{};
    out.v6 = true;
    std::memcpy(out.bytes.data(), bytes, 16);
    return true;
}

bool IpAddressFromSockaddr(const void* sockaddr, std::size_t length, IpAddress& out) {
    if (sockaddr == nullptr || length < sizeof(ADDRESS_FAMILY)) return false;
    ADDRESS_FAMILY family = 0;
    std::memcpy(&family, sockaddr, sizeof family);  // the first member of every sockaddr
    out = IpAddress{};
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, sockaddr, sizeof in);
        std::memcpy(out.bytes.data(), &in.sin_addr, 4);
        out.port = ntohs(in.sin_port);
        return true;
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, sockaddr, sizeof in6);
        out.v6 = true;
        std::memcpy(out.bytes.data(), &in6.sin6_addr, 16);
        out.port = ntohs(in6.sin6_port);
        return true;
    }
    return false;
}

// An address is this machine's when a socket can be bound to it (port 0: any free port).
bool IsThisMachineAddress(const IpAddress& address) {
    if (!InitSockets()) return false;
    sockaddr_storage storage{};
    int length = 0;
    if (address.v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, address.bytes.data(), 4);
        length = sizeof *in;
    }
    bool bound = false;
    const SOCKET s = socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        bound = bind(s, reinterpret_cast<const struct sockaddr*>(&storage), length) == 0;
        closesocket(s);
    }
    CleanupSockets();
    return bound;
}
