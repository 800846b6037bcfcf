// Any URL host: read without a lookup, an IPv4 address reads back the same from its dotted form,
// a loopback name stands for 127.0.0.1, and nothing else is filled in.
#include "platform/address_guard.hpp"

#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view host(reinterpret_cast<const char*>(data), size);
    IpAddress out;
    const HostKind kind = ReadHost(host, out);
    if (out.port != 0) std::abort();
    const IpAddress none{};
    if ((kind == HostKind::kName || kind == HostKind::kInvalid) && (out.v6 || out.bytes != none.bytes)) std::abort();
    if (kind == HostKind::kLoopbackName && (out.v6 || ClassifyAddress(out) != AddressClass::kLoopback)) std::abort();
    if (kind == HostKind::kAddress && !out.v6) {
        const std::string dotted = std::to_string(out.bytes[0]) + "." + std::to_string(out.bytes[1]) + "." +
                                   std::to_string(out.bytes[2]) + "." + std::to_string(out.bytes[3]);
        IpAddress again;
        if (ReadHost(dotted, again) != HostKind::kAddress || again.v6 || again.bytes != out.bytes) std::abort();
    }
    return 0;
}
