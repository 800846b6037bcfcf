#include "platform/address_guard.hpp"

#include <atomic>

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

bool AddressGuard::Allow(const IpAddress& peer, int ownPort,
                         const std::function<bool(const IpAddress&)>& onThisMachine) {
    // The own server is judged by what the address really is, whatever a test plays.
    if (ownPort > 0 && peer.port == ownPort &&
        (IsLocalClass(ClassifyAddress(peer)) || (onThisMachine && onThisMachine(peer)))) {
        return false;
    }
    const bool isPublic = GuardClassOf(peer) == AddressClass::kPublic;
    if (first_ == First::kNone) {
        first_ = isPublic ? First::kPublic : First::kLocal;
        return true;
    }
    return first_ == First::kLocal || isPublic;
}

void SetOwnServerPort(int port) { gOwnServerPort.store(port); }
int OwnServerPort() { return gOwnServerPort.load(); }

void SetAddressClassifierForTesting(AddressClassifier classifier) { gClassifier.store(classifier); }

AddressClass GuardClassOf(const IpAddress& address) {
    const AddressClassifier classifier = gClassifier.load();
    return classifier != nullptr ? classifier(address) : ClassifyAddress(address);
}
