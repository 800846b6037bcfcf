#include "platform/computer_name.hpp"

#include <windows.h>

#include "common/text.hpp"

namespace {

std::string Utf8Of(const wchar_t* text, DWORD length) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

}  // namespace

std::string ComputerName() {
    // A DNS label is at most 63 characters and a NetBIOS name 15: both fit with room to spare.
    wchar_t name[256] = {};
    DWORD length = 255;
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &length) && length > 0 && length < 256) {
        return Utf8Of(name, length);
    }
    length = 255;
    if (GetComputerNameW(name, &length) && length < 256) return Utf8Of(name, length);
    return {};
}
