// IPv4 addresses written as text.
#pragma once

#include <cstdint>
#include <string_view>

// Reads a dotted quad ("192.168.1.10"): exactly four decimal parts of one to three digits, each
// at most 255, nothing before, between or after them. On success *address holds the address in
// host order (127.0.0.1 is 0x7F000001); on failure it is left as it was.
bool ParseIpv4(std::string_view text, std::uint32_t* address);
