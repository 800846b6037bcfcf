#include "covers/cover_sources.hpp"

void SetCoverLogo(CoverSet& set, std::string_view logo) {
    if (set.sources == nullptr) return;
    std::lock_guard<std::mutex> hold(set.sources->logoLock);
    set.sources->logo.assign(logo);
}
