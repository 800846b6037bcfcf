// Everything a search needs beyond the design's image search: the order of the sources with their
// back-off (cover_chain.*), the picture cache (cover_cache.*), the station logos (cover_logo.*)
// and the logo of the channel on air. One per process, living as long as it (late search threads
// may still use it); a CoverSet points at it. Without one, a search is the design's image search
// alone.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "covers/cover_cache.hpp"
#include "covers/cover_chain.hpp"
#include "covers/cover_logo.hpp"

struct CoverSources {
    CoverSources() = default;
    CoverSources(CoverChain::Timing timing, std::filesystem::path programDir)
        : chain(timing), logos(std::move(programDir), timing.now) {}

    CoverChain chain;
    CoverCache cache;
    CoverLogos logos;

    std::mutex logoLock;  // guards logo
    std::string logo;     // the "logo" setting of the channel whose titles are searched
};

// Sets the logo setting used by the searches started from now on (empty: none). Does nothing for
// a set without sources.
void SetCoverLogo(CoverSet& set, std::string_view logo);
