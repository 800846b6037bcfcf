#include "platform/address_guard.hpp"

#include <atomic>
#include <cstdint>
#include <string_view>

namespace {

std::atomic<int> gOwnServerPort{0};
std::atomic<AddressClassifier> gClassifier{nullptr};

AddressClass ClassifyV4(const std::uint8_t* a) {
    const std::uint8_t b0 = a[0];
    const std::uint8_t b1 = a[1];
    if (b0 == 0) return AddressClass::kUnspecified;
    if (b0 == 127) return AddressClass::kLoopback;
    if (b0 == 10 || (b0 == 172 && (b1 & 0xF0) == 16) || (b0 == 192 && b1 == 168) ||
        (b0 == 100 && (b1 & 0xC0) == 64) || (b0 == 198 && (b1 & 0xFE) == 18)) {
        return AddressClass::kPrivate;
    }
    if (b0 == 169 && b1 == 254) return AddressClass::kLinkLocal;
    if (b0 >= 224) return AddressClass::kOther;
    return AddressClass::kPublic;
}

bool AllZero(const std::uint8_t* a, int n) {
    for (int i = 0; i < n; ++i) {
        if (a[i] != 0) return false;
    }
    return true;
}

bool IsLocalClass(AddressClass c) {
    return c == AddressClass::kLoopback || c == AddressClass::kUnspecified;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsLower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (Lower(text[i]) != lower[i]) return false;
    }
    return true;
}

bool IsHexPrefixed(std::string_view part) {
    return part.size() >= 2 && part[0] == '0' && Lower(part[1]) == 'x';
}

// One part of a numeric IPv4 host as resolvers read it: hex after "0x", octal after a leading 0,
// decimal otherwise. "0x" alone is 0.
bool ParseIpv4Part(std::string_view part, std::uint64_t& value) {
    if (part.empty()) return false;
    unsigned base = 10;
    if (IsHexPrefixed(part)) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 2 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    value = 0;
    for (const char c : part) {
        const char l = Lower(c);
        unsigned digit = 0;
        if (l >= '0' && l <= '9') {
            digit = static_cast<unsigned>(l - '0');
        } else if (l >= 'a' && l <= 'f') {
            digit = static_cast<unsigned>(l - 'a' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return false;
    }
    return true;
}

// A host whose last label is a number is read as an IPv4 address by resolvers and proxies
// alike, whatever else it holds; it must then be one.
bool EndsInNumber(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    std::string_view last = dot == std::string_view::npos ? name : name.substr(dot + 1);
    if (last.empty()) return false;
    bool hex = false;
    if (IsHexPrefixed(last)) {
        hex = true;
        last.remove_prefix(2);
    }
    for (const char c : last) {
        const char l = Lower(c);
        if (!((l >= '0' && l <= '9') || (hex && l >= 'a' && l <= 'f'))) return false;
    }
    return true;
}

// One to four parts, the last filling the bytes the others leave ("127.1" is 127.0.0.1).
bool ParseIpv4Loose(std::string_view name, IpAddress& out) {
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    for (;;) {
        const std::size_t dot = name.find('.');
        if (count == 4 || !ParseIpv4Part(name.substr(0, dot), parts[count])) return false;
        ++count;
        if (dot == std::string_view::npos) break;
        name.remove_prefix(dot + 1);
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 255) return false;
        value |= parts[i] << (8 * (3 - i));
    }
    const std::uint64_t last = parts[count - 1];
    if (last >= (std::uint64_t{1} << (8 * (5 - count)))) return false;
    value |= last;
    out = IpAddress{};
    for (int i = 0; i < 4; ++i) out.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * (3 - i)));
    return true;
}

}  // namespace

AddressClass ClassifyAddress(const IpAddress& address) {
    const std::uint8_t* a = address.bytes.data();
    if (!address.v6) return ClassifyV4(a);
    if (AllZero(a, 15)) return a[15] == 1 ? AddressClass::kLoopback
                               : a[15] == 0 ? AddressClass::kUnspecified
                                            : AddressClass::kOther;
    // ::ffff:a.b.c.d (mapped) and 64:ff9b::a.b.c.d (NAT64) reach the IPv4 address they carry.
    if (AllZero(a, 10) && a[10] == 0xFF && a[11] == 0xFF) return ClassifyV4(a + 12);
    if (a[0] == 0x00 && a[1] == 0x64 && a[2] == 0xFF && a[3] == 0x9B && AllZero(a + 4, 8)) return ClassifyV4(a + 12);
    if (AllZero(a, 12)) return AddressClass::kOther;  // deprecated IPv4-compatible form
    // 2002:a.b.c.d::/48 (6to4) reaches the IPv4 address in its prefix.
    if (a[0] == 0x20 && a[1] == 0x02) return ClassifyV4(a + 2);
    if (a[0] == 0xFF) return AddressClass::kOther;
    if (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) return AddressClass::kLinkLocal;
    if ((a[0] & 0xFE) == 0xFC || (a[0] == 0xFE && (a[1] & 0xC0) == 0xC0)) return AddressClass::kPrivate;
    return AddressClass::kPublic;
}

HostKind ReadHost(std::string_view host, IpAddress& out) {
    out = IpAddress{};
    if (host.empty() || host.size() > 255) return HostKind::kInvalid;
    if (host.front() == '[') {
        if (host.size() < 2 || host.back() != ']') return HostKind::kInvalid;
        return ParseIpv6Text(host.substr(1, host.size() - 2), out) ? HostKind::kAddress : HostKind::kInvalid;
    }
    if (host.find(':') != std::string_view::npos) {
        return ParseIpv6Text(host, out) ? HostKind::kAddress : HostKind::kInvalid;
    }
    for (const char c : host) {
        const char l = Lower(c);
        if (!((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '-' || l == '_' || l == '.')) {
            return HostKind::kInvalid;
        }
    }
    std::string_view name = host;
    if (name.back() == '.') name.remove_suffix(1);  // the root label: "localhost." is localhost
    if (name.empty()) return HostKind::kInvalid;
    if (EndsInNumber(name)) return ParseIpv4Loose(name, out) ? HostKind::kAddress : HostKind::kInvalid;
    constexpr std::string_view kUnderLocalhost = ".localhost";
    if (EqualsLower(name, "localhost") || EqualsLower(name, "loopback") ||
        (name.size() > kUnderLocalhost.size() &&
         EqualsLower(name.substr(name.size() - kUnderLocalhost.size()), kUnderLocalhost))) {
        out.bytes[0] = 127;
        out.bytes[3] = 1;
        return HostKind::kLoopbackName;
    }
    return HostKind::kName;
}

bool AddressGuard::Admit(bool isPublic) {
    if (first_ == First::kNone) {
        first_ = isPublic ? First::kPublic : First::kLocal;
        return true;
    }
    return first_ == First::kLocal || isPublic;
}

bool AddressGuard::Allow(const IpAddress& peer, int ownPort,
                         const std::function<bool(const IpAddress&)>& onThisMachine) {
    // The own server is judged by what the address really is, whatever a test plays.
    if (ownPort > 0 && peer.port == ownPort &&
        (IsLocalClass(ClassifyAddress(peer)) || (onThisMachine && onThisMachine(peer)))) {
        return false;
    }
    return Admit(GuardClassOf(peer) == AddressClass::kPublic);
}

bool AddressGuard::AllowUnresolved(std::string_view host, std::uint16_t port, int ownPort,
                                   const std::function<bool(const IpAddress&)>& onThisMachine) {
    IpAddress address;
    switch (ReadHost(host, address)) {
        case HostKind::kAddress:
        case HostKind::kLoopbackName:
            address.port = port;
            return Allow(address, ownPort, onThisMachine);
        case HostKind::kName:
            // Where the name leads is the proxy's to find out; on the own port it may lead here.
            if (ownPort > 0 && port == ownPort) return false;
            return Admit(true);
        case HostKind::kInvalid:
            break;
    }
    return false;
}

void SetOwnServerPort(int port) { gOwnServerPort.store(port); }
int OwnServerPort() { return gOwnServerPort.load(); }

void SetAddressClassifierForTesting(AddressClassifier classifier) { gClassifier.store(classifier); }

AddressClass GuardClassOf(const IpAddress& address) {
    const AddressClassifier classifier = gClassifier.load();
    return classifier != nullptr ? classifier(address) : ClassifyAddress(address);
}
