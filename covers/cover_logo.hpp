// The station logo a channel may name (its "logo" key): the picture shown when a search ends
// with nothing. A file beside the program is read when first needed; an http(s) address is
// fetched once and kept for the process (a failed fetch is tried again after a rest). Pictures
// pass the same checks as a downloaded cover. Safe from any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "covers/cover_set.hpp"

class HttpSession;

class CoverLogos {
   public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kRetryAfter{5};

    // programDir: where a logo named by a relative path lives. now: null for the steady clock.
    explicit CoverLogos(std::filesystem::path programDir = {}, std::function<Clock::time_point()> now = {})
        : dir_(std::move(programDir)), now_(std::move(now)) {}

    // Where a relative logo path lives; set before the first search.
    void SetProgramDir(std::filesystem::path programDir) { dir_ = std::move(programDir); }

    // The logo's picture, or null when there is none (no setting, no such file, not a picture,
    // a failed fetch). session is used for an address (null: addresses give nothing); cancelled
    // is asked while it downloads.
    CoverBytes Load(std::string_view logo, HttpSession* session, const std::function<bool()>& cancelled);

   private:
    CoverBytes ReadFile(std::string_view logo) const;
    Clock::time_point Now() const { return now_ ? now_() : Clock::now(); }

    std::filesystem::path dir_;
    std::function<Clock::time_point()> now_;
    std::mutex lock_;  // guards the two maps
    std::map<std::string, CoverBytes, std::less<>> fetched_;
    std::map<std::string, Clock::time_point, std::less<>> failedAt_;
};
