// Any file in the cover cache's folder: it is either refused, or gives 1 to 8 pictures that pass
// the download's checks, and what it gives formats back to the same bytes.
#include "covers/cover_cache.hpp"
#include "covers/cover_search.hpp"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<CoverBytes> pictures;
    if (!ParseCoverCacheFile(bytes, "key", pictures)) {
        if (!pictures.empty()) std::abort();
        return 0;
    }
    if (pictures.empty() || pictures.size() > MAX_COVERS) std::abort();
    for (const CoverBytes& p : pictures) {
        if (!p || p->size() < kPictureMinimumBytes || !HasPictureSignature(p->data(), p->size())) std::abort();
    }
    if (FormatCoverCacheFile("key", pictures) != bytes) std::abort();
    return 0;
}
