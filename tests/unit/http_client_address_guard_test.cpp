// Which addresses a guarded request may connect to: the classes of addresses, the decisions a
// request makes from them in turn (its redirects), and what a host says without a lookup.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/address_guard.hpp"

namespace {

IpAddress V4(int a, int b, int c, int d, int port = 80) {
    IpAddress out;
    out.bytes[0] = static_cast<std::uint8_t>(a);
    out.bytes[1] = static_cast<std::uint8_t>(b);
    out.bytes[2] = static_cast<std::uint8_t>(c);
    out.bytes[3] = static_cast<std::uint8_t>(d);
    out.port = static_cast<std::uint16_t>(port);
    return out;
}

// Eight 16-bit groups, as written between the colons.
IpAddress V6(std::initializer_list<int> groups, int port = 80) {
    IpAddress out;
    out.v6 = true;
    int i = 0;
    for (const int g : groups) {
        out.bytes[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(g >> 8);
        out.bytes[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(g & 0xFF);
    }
    out.port = static_cast<std::uint16_t>(port);
    return out;
}

TEST(AddressGuard, Classes) {
    using C = AddressClass;
    const struct {
        IpAddress address;
        AddressClass expected;
    } cases[] = {
        {V4(93, 184, 216, 34), C::kPublic},
        {V4(8, 8, 8, 8), C::kPublic},
        {V4(127, 0, 0, 1), C::kLoopback},
        {V4(127, 255, 1, 2), C::kLoopback},
        {V4(0, 0, 0, 0), C::kUnspecified},
        {V4(10, 1, 2, 3), C::kPrivate},
        {V4(172, 16, 0, 1), C::kPrivate},
        {V4(172, 31, 255, 255), C::kPrivate},
        {V4(172, 32, 0, 1), C::kPublic},
        {V4(172, 15, 0, 1), C::kPublic},
        {V4(192, 168, 1, 1), C::kPrivate},
        {V4(192, 169, 1, 1), C::kPublic},
        {V4(100, 64, 0, 1), C::kPrivate},
        {V4(100, 128, 0, 1), C::kPublic},
        {V4(169, 254, 169, 254), C::kLinkLocal},
        {V4(224, 0, 0, 1), C::kOther},
        {V4(255, 255, 255, 255), C::kOther},
        {V6({0, 0, 0, 0, 0, 0, 0, 1}), C::kLoopback},
        {V6({0, 0, 0, 0, 0, 0, 0, 0}), C::kUnspecified},
        {V6({0x2606, 0x2800, 0x220, 1, 0x248, 0x1893, 0x25c8, 0x1946}), C::kPublic},
        {V6({0xfe80, 0, 0, 0, 1, 2, 3, 4}), C::kLinkLocal},
        {V6({0xfd12, 0x3456, 0, 0, 0, 0, 0, 1}), C::kPrivate},
        {V6({0xff02, 0, 0, 0, 0, 0, 0, 1}), C::kOther},
        // Forms that carry an IPv4 address are judged by it.
        {V6({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}), C::kLoopback},
        {V6({0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x0101}), C::kPrivate},
        {V6({0, 0, 0, 0, 0, 0xffff, 0x5db8, 0xd822}), C::kPublic},
        {V6({0x64, 0xff9b, 0, 0, 0, 0, 0x0a00, 1}), C::kPrivate},
        {V6({0x2002, 0x7f00, 1, 0, 0, 0, 0, 1}), C::kLoopback},
        {V6({0, 0, 0, 0, 0, 0, 0x0a00, 1}), C::kOther},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(ClassifyAddress(cases[i].address), cases[i].expected) << "case " << i;
    }
}

// Each scenario is one request's connections in order (the URL asked for, then its redirects),
// with the decision expected for each.
TEST(AddressGuard, DecisionsInTurn) {
    constexpr int kOwn = 7555;
    const IpAddress thisMachine = V4(192, 168, 1, 20, kOwn);
    struct Step {
        IpAddress peer;
        bool allowed;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } scenarios[] = {
        {"after a public address only public ones",
         {{V4(93, 184, 216, 34), true}, {V4(192, 168, 1, 1), false}, {V4(127, 0, 0, 1, 8080), false},
          {V4(169, 254, 169, 254), false}, {V6({0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}), false}, {V4(8, 8, 8, 8), true}}},
        {"after a local address anything but the own server",
         {{V4(127, 0, 0, 1, 8080), true}, {V4(10, 0, 0, 1), true}, {V4(93, 184, 216, 34), true},
          {V4(127, 0, 0, 1, 8081), true}, {V4(127, 0, 0, 1, kOwn), false}}},
        {"the own server is refused first, and that fixes nothing",
         {{V4(127, 0, 0, 1, kOwn), false}, {V4(0, 0, 0, 0, kOwn), false}, {V6({0, 0, 0, 0, 0, 0, 0, 1}, kOwn), false},
          {V6({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}, kOwn), false}, {thisMachine, false},
          {V4(93, 184, 216, 34), true}, {V4(127, 0, 0, 1, 8080), false}}},
        {"the own port elsewhere is another server",
         {{V4(93, 184, 216, 34, kOwn), true}, {V4(192, 168, 1, 21, kOwn), false}}},
        {"another machine on the LAN on the own port",
         {{V4(192, 168, 1, 21, kOwn), true}, {V4(192, 168, 1, 22, kOwn), true}}},
    };
    const auto onThisMachine = [&](const IpAddress& a) { return a.bytes == thisMachine.bytes && a.v6 == thisMachine.v6; };
    for (const auto& scenario : scenarios) {
        AddressGuard guard;
        for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
            EXPECT_EQ(guard.Allow(scenario.steps[i].peer, kOwn, onThisMachine), scenario.steps[i].allowed)
                << scenario.name << ", step " << i;
        }
    }
    // No own server yet: port 0 refuses nothing.
    AddressGuard guard;
    EXPECT_TRUE(guard.Allow(V4(127, 0, 0, 1, kOwn), 0, onThisMachine));
}

// Hosts a proxy resolves: every form a resolver reads as an address is one, names under
// localhost are this machine, and anything else that ends in a number is refused.
TEST(AddressGuard, HostsReadWithoutALookup) {
    using K = HostKind;
    const struct {
        const char* host;
        HostKind kind;
        IpAddress address;
    } cases[] = {
        {"127.0.0.1", K::kAddress, V4(127, 0, 0, 1, 0)},
        {"127.1", K::kAddress, V4(127, 0, 0, 1, 0)},
        {"2130706433", K::kAddress, V4(127, 0, 0, 1, 0)},
        {"0x7f.0.0.1", K::kAddress, V4(127, 0, 0, 1, 0)},
        {"10.0.0.1.", K::kAddress, V4(10, 0, 0, 1, 0)},
        {"192.168.257", K::kAddress, V4(192, 168, 1, 1, 0)},
        {"[::1]", K::kAddress, V6({0, 0, 0, 0, 0, 0, 0, 1}, 0)},
        {"::ffff:10.0.0.1", K::kAddress, V6({0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}, 0)},
        {"LocalHost.", K::kLoopbackName, V4(127, 0, 0, 1, 0)},
        {"rebind.localhost", K::kLoopbackName, V4(127, 0, 0, 1, 0)},
        {"loopback", K::kLoopbackName, V4(127, 0, 0, 1, 0)},
        {"localhost.example.net", K::kName, {}},
        {"1.2.3.example", K::kName, {}},
        {"img-1_a.cdn.example", K::kName, {}},
        {"256.0.0.1", K::kInvalid, {}},
        {"1.2.3.4.5", K::kInvalid, {}},
        {"09.0.0.1", K::kInvalid, {}},
        {"example.123", K::kInvalid, {}},
        {"4294967296", K::kInvalid, {}},
        {"1.2.65536", K::kInvalid, {}},
        {"[::1", K::kInvalid, {}},
        {"[fe80::1%eth0]", K::kInvalid, {}},
        {"evil.example%2f", K::kInvalid, {}},
        {"", K::kInvalid, {}},
    };
    for (const auto& c : cases) {
        IpAddress out = V4(9, 9, 9, 9, 9);
        EXPECT_EQ(ReadHost(c.host, out), c.kind) << c.host;
        EXPECT_EQ(out.v6, c.address.v6) << c.host;
        EXPECT_EQ(out.bytes, c.address.bytes) << c.host;
        EXPECT_EQ(out.port, 0) << c.host;
    }
}

// A request through a proxy: names are taken as public hosts, never on the own port.
TEST(AddressGuard, DecisionsWithoutALookup) {
    constexpr int kOwn = 7555;
    const auto nowhere = [](const IpAddress&) { return false; };
    struct Step {
        const char* host;
        int port;
        bool allowed;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } scenarios[] = {
        {"a name first: then no local address",
         {{"covers.example.net", 80, true}, {"10.0.0.1", 80, false}, {"127.1", 8080, false}, {"localhost", 8080, false},
          {"[::ffff:192.168.1.1]", 80, false}, {"93.184.216.34", 80, true}, {"other.example.org", 443, true}}},
        {"the own port is refused for any name",
         {{"covers.example.net", kOwn, false}, {"localhost", kOwn, false}, {"0x7f000001", kOwn, false},
          {"93.184.216.34", kOwn, true}}},
        {"a LAN address first: anything but the own server",
         {{"192.168.1.5", 80, true}, {"covers.example.net", 80, true}, {"10.0.0.1", 80, true}, {"localhost", 8080, true}}},
        {"a host that is no host fixes nothing",
         {{"256.1.1.1", 80, false}, {"a%2fb", 80, false}, {"localhost", 8080, true}, {"10.0.0.1", 80, true}}},
    };
    for (const auto& scenario : scenarios) {
        AddressGuard guard;
        for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            EXPECT_EQ(guard.AllowUnresolved(step.host, static_cast<std::uint16_t>(step.port), kOwn, nowhere), step.allowed)
                << scenario.name << ", step " << i;
        }
    }
}

TEST(AddressGuard, ThisMachineByBinding) {
    EXPECT_TRUE(IsThisMachineAddress(V4(127, 0, 0, 1, 0)));
    EXPECT_TRUE(IsThisMachineAddress(V4(0, 0, 0, 0, 0)));
    // TEST-NET-1 is never assigned to a machine.
    EXPECT_FALSE(IsThisMachineAddress(V4(192, 0, 2, 77, 0)));
}

}  // namespace
