#include "covers/cover_logo.hpp"

#include <new>
#include <system_error>
#include <vector>

#include "common/text.hpp"
#include "covers/cover_search.hpp"
#include "platform/file_read.hpp"

namespace {

bool IsAddress(std::string_view logo) {
    return EqualsNoCase(logo.substr(0, 7), "http://") || EqualsNoCase(logo.substr(0, 8), "https://");
}

}  // namespace

CoverBytes CoverLogos::ReadFile(std::string_view logo) const {
    try {
        // The setting is UTF-8 text; the path is made from it as such on every platform.
        std::filesystem::path path(std::u8string(reinterpret_cast<const char8_t*>(logo.data()), logo.size()));
        if (path.is_relative()) path = dir_ / path;
        std::string read;
        if (ReadSmallFile(path, kPictureMinimumBytes, kPictureLimitBytes, read) != SmallFileRead::kRead ||
            read.size() < kPictureMinimumBytes) {
            return nullptr;
        }
        std::vector<std::uint8_t> bytes(read.begin(), read.end());
        if (!HasPictureSignature(bytes.data(), bytes.size())) return nullptr;
        return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    } catch (...) {
        // A path the platform cannot represent, or no memory: no logo.
        return nullptr;
    }
}

CoverBytes CoverLogos::Load(std::string_view logo, HttpSession* session,
                            const std::function<bool()>& cancelled) {
    if (logo.empty()) return nullptr;
    if (!IsAddress(logo)) return ReadFile(logo);
    try {
        {
            std::lock_guard<std::mutex> hold(lock_);
            const auto found = fetched_.find(logo);
            if (found != fetched_.end()) return found->second;
            const auto failed = failedAt_.find(logo);
            if (failed != failedAt_.end() && Now() - failed->second < kRetryAfter) return nullptr;
        }
        if (session == nullptr) return nullptr;
        std::vector<std::uint8_t> picture;
        const std::string url(logo);
        const bool ok = DownloadCoverImage(*session, url.c_str(), picture, cancelled);
        if (!ok && cancelled && cancelled()) return nullptr;  // not the address's fault
        std::lock_guard<std::mutex> hold(lock_);
        if (!ok) {
            failedAt_[url] = Now();
            return nullptr;
        }
        CoverBytes bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(picture));
        fetched_[url] = bytes;  // two searches fetching at once both keep the same kind of bytes
        failedAt_.erase(url);
        return bytes;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
