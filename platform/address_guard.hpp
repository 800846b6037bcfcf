// Where a guarded HTTP request may connect. The cover search fetches addresses that a third
// party's page names and follows redirects, so neither may steer the program into fetching from
// its own web server or from the local network behind a public host. The decision is portable;
// reading a socket address and asking whether an address belongs to this machine are per OS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

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

// The decision for one request, its redirects included. The first address it allows fixes what
// follows: after a public address only public ones (a public page or redirect must not lead into
// the local network); after a local one, local and public (tests, and a search service on the
// station's own LAN). Each request has a guard of its own: what an earlier request of the same
// session connected to decides nothing. The program's own server (ownPort on a loopback or
// unspecified address, or on one of this machine's addresses) is refused always. A refused
// address does not fix the class.
class AddressGuard {
public:
    // onThisMachine is asked only when the port is ownPort and the address is not loopback.
    bool Allow(const IpAddress& peer, int ownPort, const std::function<bool(const IpAddress&)>& onThisMachine);
    // The decision for a host that a proxy will resolve, made from the host text alone (see
    // ReadHost): an address is judged as Allow judges it; a loopback name as 127.0.0.1; any other
    // name as a public address, except on ownPort (the name may be this machine's); a host that
    // is no valid name or address is refused.
    bool AllowUnresolved(std::string_view host, std::uint16_t port, int ownPort,
                         const std::function<bool(const IpAddress&)>& onThisMachine);

private:
    bool Admit(bool isPublic);

    enum class First { kNone, kPublic, kLocal };
    First first_ = First::kNone;
};

// What a URL's host says without a name lookup.
enum class HostKind {
    kAddress,       // an IPv4 address in any form a resolver takes ("127.1", "0x7f.0.0.1",
                    // "2130706433", a trailing dot), or an IPv6 address with or without brackets
    kLoopbackName,  // localhost, a name under .localhost, or "loopback": this machine
    kName,          // a host name of letters, digits, '-', '_' and dots
    kInvalid,       // ends in a number but is no IPv4 address, or has other characters
};
// Reads host. out holds the address for kAddress, 127.0.0.1 for kLoopbackName, and nothing
// (all zero) otherwise; its port is 0.
HostKind ReadHost(std::string_view host, IpAddress& out);

// The port this program's web server listens on (0: none yet). Set once it listens.
void SetOwnServerPort(int port);
int OwnServerPort();

// The class the guard uses for an address: ClassifyAddress unless a test replaced it (null
// restores it). Tests on loopback use this to play a public host.
using AddressClassifier = AddressClass (*)(const IpAddress& address);
void SetAddressClassifierForTesting(AddressClassifier classifier);
AddressClass GuardClassOf(const IpAddress& address);

// Per OS. Reads an IPv6 address in text form (no brackets, no zone); false for anything else.
bool ParseIpv6Text(std::string_view text, IpAddress& out);
// Per OS. Reads an AF_INET or AF_INET6 socket address; false for anything else.
bool IpAddressFromSockaddr(const void* sockaddr, std::size_t length, IpAddress& out);
// True when the address is one of this machine's own (a socket can be bound to it).
bool IsThisMachineAddress(const IpAddress& address);
