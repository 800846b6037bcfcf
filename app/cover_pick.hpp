// What a paint does with the decoded cover: the portable half of decoding the current picture.
#pragma once

#include "covers/cover_set.hpp"

#include <cstdint>

enum class CoverPick {
    Drop,    // the set has no picture on show: drop the decoded cover, forget its id
    Keep,    // the decoded cover is current (or the picture is empty): leave it
    Decode,  // decode `bytes`; on success it becomes the decoded cover of `imageId`
};

struct CoverToDecode {
    CoverBytes bytes;        // shared with the set: stays valid after the slot is freed
    std::uint32_t size = 0;
    std::int32_t imageId = 0;
};

// Reads the current picture (under the cover lock, through GetCurrentCover) and decides.
CoverPick PickCoverToDecode(CoverSet& covers, std::int32_t lastDecodedImageId, CoverToDecode& out);
