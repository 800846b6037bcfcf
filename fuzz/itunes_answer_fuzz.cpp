// Any answer of the service: parsing never throws or crashes, and the addresses it takes pass
// CheckServiceAnswer.
#include "fuzz/service_answer_check.hpp"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const CoverTrack track{"Artist", "Song"};
    std::vector<std::string> urls;
    CheckServiceAnswer(ParseItunesAnswer(body, track, urls), urls);
    return 0;
}
