#include "app/cover_pick.hpp"

CoverPick PickCoverToDecode(CoverSet& covers, std::int32_t lastDecodedImageId, CoverToDecode& out) {
    CoverBytes bytes;
    std::uint32_t size = 0;
    std::int32_t imageId = 0;
    if (!GetCurrentCover(covers, &bytes, &size, &imageId) || !bytes) return CoverPick::Drop;
    if (imageId == lastDecodedImageId) return CoverPick::Keep;
    // A size beyond the buffer would make the decoder read past it.
    if (size == 0 || size > bytes->size()) return CoverPick::Keep;
    out.bytes = std::move(bytes);
    out.size = size;
    out.imageId = imageId;
    return CoverPick::Decode;
}
