#include "common/ipv4.hpp"

bool ParseIpv4(std::string_view text, std::uint32_t* address) {
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        std::uint32_t number = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            number = number * 10 + static_cast<std::uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || number > 255) return false;
        value = (value << 8) | number;
    }
    if (pos != text.size()) return false;
    if (address != nullptr) *address = value;
    return true;
}
