// Any results page: every URL taken is 1..999 bytes, terminated inside its entry, free of the
// terminators, and at most 8 are taken.
#include "covers/cover_search.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CoverUrlTable table;
    const int n = ExtractResultUrls(std::string_view(reinterpret_cast<const char*>(data), size), table);
    if (n < 0 || n > MAX_COVERS || n != table.count) std::abort();
    for (int i = 0; i < n; ++i) {
        const char* url = table.urls[i];
        const void* end = std::memchr(url, '\0', kResultUrlSize);
        if (end == nullptr) std::abort();
        const std::string_view u(url, static_cast<std::size_t>(static_cast<const char*>(end) - url));
        if (u.empty() || u.size() > kResultUrlMaxLength) std::abort();
        if (u.find_first_of("\" \r\n") != std::string_view::npos) std::abort();
    }
    return 0;
}
