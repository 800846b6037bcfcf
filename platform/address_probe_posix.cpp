// Reading socket addresses and finding this machine's own, with BSD sockets.
#include "platform/address_guard.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

bool ParseIpv6Text(std::string_view text, IpAddress& out) {
    if (text.empty() || text.size() > 45) return false;  // the longest form with an IPv4 tail
    const std::string copy(text);
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET6, copy.c_str(), bytes) != 1) return false;
    out = IpAddress{};
    out.v6 = true;
    std::memcpy(out.bytes.data(), bytes, 16);
    return true;
}

bool IpAddressFromSockaddr(const void* sockaddr, std::size_t length, IpAddress& out) {
    if (sockaddr == nullptr || length < sizeof(sa_family_t)) return false;
    sa_family_t family = 0;
    std::memcpy(&family, static_cast<const char*>(sockaddr) + offsetof(struct sockaddr, sa_family), sizeof family);
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
    sockaddr_storage storage{};
    socklen_t length = 0;
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
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool bound = bind(fd, reinterpret_cast<const struct sockaddr*>(&storage), length) == 0;
    close(fd);
    return bound;
}
