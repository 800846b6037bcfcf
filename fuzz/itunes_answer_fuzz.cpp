// Any answer of the service: parsing never throws or crashes, and every address taken is an
// http(s) address of bounded length, taken once, at most a few of them, none on a failed parse.
#include "covers/cover_source.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const CoverTrack track{"Artist", "Song"};
    std::vector<std::string> urls;
    const bool valid = ParseItunesAnswer(body, track, urls);
    if (!valid && !urls.empty()) std::abort();
    if (urls.size() > static_cast<std::size_t>(kServicePicturesMax)) std::abort();
    for (const std::string& url : urls) {
        if (url.size() < 11 || url.size() > 999) std::abort();
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) std::abort();
        if (std::count(urls.begin(), urls.end(), url) != 1) std::abort();
    }
    return 0;
}
