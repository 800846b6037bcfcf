// Where a guarded HTTP request may connect. The cover search fetches addresses that a third
// party's page names and follows redirects, so neither may steer the program into fetching from
// its own web server or from the local network behind a public host. The decision is portable;
// reading a socket address and asking whether an address belongs to this machine are per OS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

// An IPv4 or IPv6 address with its port. IPv4 uses the first four bytes.
struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    std::uint16_t port = 0;
};

enum class AddressClass {
    kPublic,
    kLoopback,     // 127/8, ::1
    kUnspecified,  // 0/8, :: (connecting there reaches this machine)
    kPrivate,      // 10/8, 172.16/12, 192.168/16, 100.64/10, 198.18/15, fc00::/7, fec0::/10
    kLinkLocal,    // 169.254/16, fe80::/10
    kOther,        // multicast, broadcast, reserved: never a web host
};

// The class of an address. IPv6 forms that carry an IPv4 address (mapped, NAT64, 6to4) take
// the class of that address.
AddressClass ClassifyAddress(const IpAddress& address);

// The decision for one session. The first address it allows fixes what follows: after a public
// address only public ones (a public page or redirect must not lead into the local network);
// after a local one, local and public (tests, and a search service on the station's own LAN).
// The program's own server (ownPort on a loopback or unspecified address, or on one of this
// machine's addresses) is refused always. A refused address does not fix the class.
class AddressGuard {
public:
    // onThisMachine is asked only when the port is ownPort and the address is not loopback.
    bool Allow(const IpAddress& peer, int ownPort, const std::function<bool(const IpAddress&)>& onThisMachine);

private:
    enum class First { kNone, kPublic, kLocal };
    First first_ = First::kNone;
};

// The port this program's web server listens on (0: none yet). Set once it listens.
void SetOwnServerPort(int port);
int OwnServerPort();

// The class the guard uses for an address: ClassifyAddress unless a test replaced it (null
// restores it). Tests on loopback use this to play a public host.
using AddressClassifier = AddressClass (*)(const IpAddress& address);
void SetAddressClassifierForTesting(AddressClassifier classifier);
AddressClass GuardClassOf(const IpAddress& address);

// Per OS. Reads an AF_INET or AF_INET6 socket address; false for anything else.
bool IpAddressFromSockaddr(const void* sockaddr, std::size_t length, IpAddress& out);
// True when the address is one of this machine's own (a socket can be bound to it).
bool IsThisMachineAddress(const IpAddress& address);
