// The search worker: results page, picture downloads, publishing into the cover set.
#include "covers/cover_search.hpp"

#include "common/text.hpp"
#include "platform/http_client.hpp"
#include "platform/main_window.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

namespace {

// The page and the pictures come from addresses a third party names: certificates are checked
// in full, and neither they nor their redirects may reach this program's own server or lead from
// a public host into the local network.
constexpr std::uint32_t kPageFlags = kHttpReload | kHttpNoCookies | kHttpGuardAddresses;
constexpr std::uint32_t kPictureFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpGuardAddresses;

// Grows buffer to newSize; false (buffer unchanged) when memory runs out.
bool TryResize(std::vector<std::uint8_t>& buffer, std::size_t newSize) {
    try {
        buffer.resize(newSize);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// Reads a body into buffer: `initial` bytes at first, doubled when fewer than 1024 bytes of room
// remain, never more than `limit` bytes held. `reserve` bytes stay free at the end (the page's
// NUL). Stops at the end of the body, a failed read, a failed growth, the limit, or when
// cancelled. Returns the bytes held; buffer is then cut to them (plus `reserve`).
std::size_t ReadBody(HttpRequest& request, std::vector<std::uint8_t>& buffer, std::size_t initial,
                     std::size_t limit, std::size_t reserve, const std::function<bool()>& cancelled) {
    buffer.clear();
    if (!TryResize(buffer, initial)) return 0;
    std::size_t held = 0;
    while (held < limit && !(cancelled && cancelled())) {
        const std::size_t room = std::min(buffer.size() - held - reserve, limit - held);
        std::size_t got = 0;
        if (!request.Read(buffer.data() + held, room, got) || got == 0) break;
        held += std::min(got, room);
        if (held + 1024 >= buffer.size() && buffer.size() < limit + reserve) {
            if (!TryResize(buffer, std::min(buffer.size() * 2, limit + reserve))) break;
        }
    }
    buffer.resize(held + reserve);
    return held;
}

HttpSession::Clock::time_point DeadlineIn(std::uint32_t ms) {
    return HttpSession::Clock::now() + std::chrono::milliseconds(ms);
}

enum class EndKind {
    kSilent,  // cancelled before anything was asked of the network
    kNotify,  // nothing to search for, or the search failed
    kNormal,  // all URLs tried, none found, or cancelled during the downloads
};

// Ends the search of generation g. `searching` belongs to the newest search: an older one must
// not clear it under a newer search, and the newest one clears it even when it was cancelled by
// a clear or the pictures switch, which start no search that could. Whether g is the newest and
// the clear are one step under workerLock, so a search started in between keeps its flag.
void EndSearch(CoverSet& set, std::int32_t g, EndKind kind) {
    const bool current = set.generation.load() == g;
    bool flipped = false;
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        if (set.workerGeneration.load() == g) {
            if (set.endSearchHook) set.endSearchHook();
            flipped = set.searching.exchange(0) != 0;
        }
    }
    bool post = kind == EndKind::kNotify || (kind == EndKind::kNormal && current);
    // A cancelled newest worker still tells the window that "Searching image..." is over.
    if (!current && flipped) post = true;
    if (post) PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

void Publish(CoverSet& set, std::int32_t g, std::vector<std::uint8_t>&& picture) {
    const auto size = static_cast<std::uint32_t>(picture.size());
    CoverBytes bytes;
    try {
        picture.shrink_to_fit();
        bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(picture));
    } catch (const std::bad_alloc&) {
        return;
    }
    bool published = false;
    {
        std::lock_guard<std::mutex> hold(set.lock);
        if (set.generation.load() == g && set.count < MAX_COVERS) {
            BumpImageId(set);
            set.slots[set.count].data = std::move(bytes);
            set.slots[set.count].size = size;
            ++set.count;
            published = true;
        }
    }
    // A stale picture is freed here, outside the lock.
    if (published) PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

}  // namespace

bool DownloadCoverImage(HttpSession& session, const char* url, std::vector<std::uint8_t>& picture,
                        const std::function<bool()>& cancelled) {
    picture.clear();
    session.SetTimeouts(kPictureTimeoutMs, kPictureTimeoutMs);
    session.SetDeadline(DeadlineIn(kPictureDeadlineMs));
    std::uint32_t flags = kPictureFlags;
    if (EqualsNoCase(std::string_view(url).substr(0, 6), "https:")) {
        flags |= kHttpSecure;
    }
    std::unique_ptr<HttpRequest> request = session.OpenUrl(url, flags, kPictureLimitBytes);
    if (!request) return false;
    std::uint32_t status = 0;
    if (request->QueryStatusCode(status) && status != 200) return false;
    const std::size_t held = ReadBody(*request, picture, kPictureInitialBytes, kPictureLimitBytes, 0, cancelled);
    request.reset();
    if ((cancelled && cancelled()) || held < kPictureMinimumBytes || !HasPictureSignature(picture.data(), held)) {
        std::vector<std::uint8_t>().swap(picture);
        return false;
    }
    return true;
}

int CoverSearchWorker(CoverSet& set, std::int32_t g, const CoverSessionFactory& factory) {
    auto stale = [&set, g] { return set.generation.load() != g; };
    if (stale()) {
        EndSearch(set, g, EndKind::kSilent);
        return 0;
    }

    char searchText[kSearchTextSize];
    char base[sizeof(set.imageSearchUrl)];
    {
        std::lock_guard<std::mutex> hold(set.lock);
        BuildCoverQuery(View(set.query), searchText);
        CopyText(base, View(set.imageSearchUrl));
    }
    if (searchText[0] == '\0' || stale()) {
        EndSearch(set, g, EndKind::kNotify);
        return 0;
    }

    char encoded[kEncodedTextSize];
    UrlEncodeQuery(searchText, encoded);
    char requestUrl[kRequestUrlSize];
    const bool urlFits = BuildResultsPageUrl(View(base), View(encoded), requestUrl);
    if (stale()) {
        EndSearch(set, g, EndKind::kSilent);
        return 0;
    }

    std::unique_ptr<HttpSession> session = factory ? factory(kCoverUserAgent) : OpenHttpSession(kCoverUserAgent);
    if (!session || !urlFits) {
        EndSearch(set, g, EndKind::kNotify);
        return 0;
    }
    session->SetCancelCheck(stale);
    session->SetTimeouts(kResultsPageTimeoutMs, kResultsPageTimeoutMs);
    session->SetDeadline(DeadlineIn(kResultsPageDeadlineMs));

    CoverUrlTable table;
    {
        std::vector<std::uint8_t> page;
        std::size_t held = 0;
        if (std::unique_ptr<HttpRequest> request = session->OpenUrl(requestUrl, kPageFlags, kResultsPageLimitBytes)) {
            // The status code is not consulted: whatever body comes back is scanned.
            held = ReadBody(*request, page, kResultsPageInitialBytes, kResultsPageLimitBytes, 1, stale);
        }
        if (held == 0 || stale()) {
            session.reset();
            EndSearch(set, g, EndKind::kNotify);
            return 0;
        }
        page[held] = 0;
        // The page is text up to its first NUL, as the service sends it.
        const auto* text = reinterpret_cast<const char*>(page.data());
        ExtractResultUrls(std::string_view(text, BoundedLength(text, held)), table);
    }

    for (int i = 0; i < table.count && !stale(); ++i) {
        std::vector<std::uint8_t> picture;
        if (DownloadCoverImage(*session, table.urls[i], picture, stale)) Publish(set, g, std::move(picture));
    }
    session.reset();
    EndSearch(set, g, EndKind::kNormal);
    return 0;
}
