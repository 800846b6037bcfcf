// The search worker: results page, picture downloads, publishing into the cover set.
#include "covers/cover_search.hpp"

#include "covers/cover_source.hpp"
#include "covers/cover_sources.hpp"

#include "common/text.hpp"
#include "platform/http_client.hpp"
#include "platform/main_window.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
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

// Publishes bytes into the next slot while g is current; true when it did.
bool PublishBytes(CoverSet& set, std::int32_t g, CoverBytes bytes, std::uint32_t size) {
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
    // A stale picture is freed by the caller, outside the lock.
    if (published) PostToMainWindow(MSG_COVERS_CHANGED, 0);
    return published;
}

// Publishes a downloaded picture; returns its shared bytes when it was published (null otherwise).
CoverBytes Publish(CoverSet& set, std::int32_t g, std::vector<std::uint8_t>&& picture) {
    const auto size = static_cast<std::uint32_t>(picture.size());
    CoverBytes bytes;
    try {
        picture.shrink_to_fit();
        bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(picture));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return PublishBytes(set, g, bytes, size) ? bytes : nullptr;
}

// The design's image search with the worker's session: the results page, then the pictures it
// lists, downloaded one by one and each published while g is current. pageRead tells whether a
// page with at least one byte came back (the design ends a search without one differently).
SourceOutcome RunImageSearch(CoverSet& set, std::int32_t g, HttpSession& session, const char* requestUrl,
                             const std::function<bool()>& stale, std::vector<CoverBytes>& published,
                             bool& pageRead) {
    pageRead = false;
    session.SetTimeouts(kResultsPageTimeoutMs, kResultsPageTimeoutMs);
    session.SetDeadline(DeadlineIn(kResultsPageDeadlineMs));
    CoverUrlTable table;
    {
        std::vector<std::uint8_t> page;
        std::size_t held = 0;
        if (std::unique_ptr<HttpRequest> request = session.OpenUrl(requestUrl, kPageFlags, kResultsPageLimitBytes)) {
            // The status code is not consulted: whatever body comes back is scanned.
            held = ReadBody(*request, page, kResultsPageInitialBytes, kResultsPageLimitBytes, 1, stale);
        }
        if (stale()) return SourceOutcome::Cancelled;
        if (held == 0) return SourceOutcome::Failed;
        pageRead = true;
        page[held] = 0;
        // The page is text up to its first NUL, as the service sends it.
        const auto* text = reinterpret_cast<const char*>(page.data());
        ExtractResultUrls(std::string_view(text, BoundedLength(text, held)), table);
    }
    for (int i = 0; i < table.count && !stale(); ++i) {
        std::vector<std::uint8_t> picture;
        if (DownloadCoverImage(session, table.urls[i], picture, stale)) {
            if (CoverBytes bytes = Publish(set, g, std::move(picture))) published.push_back(std::move(bytes));
        }
    }
    if (stale()) return SourceOutcome::Cancelled;
    // A page without a single picture address is the service's "nothing found".
    return published.empty() ? SourceOutcome::NoMatch : SourceOutcome::Found;
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

namespace {

constexpr auto kServiceTurnWait = std::chrono::seconds(10);

// A session opened on first use, with the search's cancel check.
class LazySession {
public:
    LazySession(const CoverSessionFactory& factory, const char* agent, std::function<bool()> stale)
        : factory_(factory), agent_(agent), stale_(std::move(stale)) {}
    HttpSession* Get() {
        if (!tried_) {
            tried_ = true;
            session_ = factory_ ? factory_(agent_) : OpenHttpSession(agent_);
            if (session_) session_->SetCancelCheck(stale_);
        }
        return session_.get();
    }

private:
    const CoverSessionFactory& factory_;
    const char* agent_;
    std::function<bool()> stale_;
    bool tried_ = false;
    std::unique_ptr<HttpSession> session_;
};

// The album-art service `kind`: its addresses for the track, then those pictures, each published
// while g is current.
SourceOutcome RunService(CoverSet& set, std::int32_t g, CoverSources& sources, CoverSourceKind kind,
                         HttpSession& session, const CoverTrack& track, const std::function<bool()>& stale,
                         std::vector<CoverBytes>& published) {
    const std::shared_ptr<CoverSource> source = sources.chain.Source(kind);
    if (!source) return SourceOutcome::Failed;
    CoverSourceEnv env;
    env.session = &session;
    env.cancelled = stale;
    env.awaitTurn = [&sources, kind, &stale] {
        return sources.chain.AwaitTurn(kind, stale, CoverChain::Clock::now() + kServiceTurnWait);
    };
    std::vector<std::string> urls;
    const SourceOutcome outcome = source->FindPictures(env, track, urls);
    if (outcome != SourceOutcome::Found) return outcome;
    for (const std::string& url : urls) {
        if (stale()) return SourceOutcome::Cancelled;
        std::vector<std::uint8_t> picture;
        if (DownloadCoverImage(session, url.c_str(), picture, stale)) {
            if (CoverBytes bytes = Publish(set, g, std::move(picture))) published.push_back(std::move(bytes));
        }
    }
    // Addresses without a picture behind them (the archive has no front cover for the release)
    // are an answer all the same.
    return published.empty() ? SourceOutcome::NoMatch : SourceOutcome::Found;
}

}  // namespace

void SearchAllSources(CoverSet& set, std::int32_t g, CoverSources& sources, const CoverSessionFactory& factory,
                      const std::string& cleaned, const char* searchText, const char* imageSearchBase) {
    auto stale = [&set, g] { return set.generation.load() != g; };
    std::string logo;
    {
        std::lock_guard<std::mutex> hold(sources.logoLock);
        logo = sources.logo;
    }
    std::vector<CoverBytes> published;

    // A title that was found before shows at once, without a request to any source.
    std::vector<CoverBytes> kept;
    if (!cleaned.empty() && sources.cache.Find(cleaned, kept)) {
        for (const CoverBytes& bytes : kept) PublishBytes(set, g, bytes, static_cast<std::uint32_t>(bytes->size()));
        EndSearch(set, g, EndKind::kNormal);
        return;
    }

    LazySession design(factory, kCoverUserAgent, stale);     // the image search keeps its agent
    LazySession service(factory, kServiceUserAgent, stale);  // the album-art services know who asks
    // A session of its own: the address guard of one that reached a public service would refuse
    // a logo on the station's own network.
    LazySession logoSession(factory, kServiceUserAgent, stale);
    const CoverTrack track = SplitCoverTrack(cleaned);
    for (const CoverSourceKind kind : cleaned.empty() ? std::vector<CoverSourceKind>() : sources.chain.SourcesNow()) {
        if (stale()) break;
        SourceOutcome outcome = SourceOutcome::Failed;
        if (kind == CoverSourceKind::ImageSearch) {
            char encoded[kEncodedTextSize];
            UrlEncodeQuery(searchText, encoded);
            char requestUrl[kRequestUrlSize];
            HttpSession* session = design.Get();
            bool pageRead = false;
            if (session != nullptr && BuildResultsPageUrl(imageSearchBase, View(encoded), requestUrl)) {
                outcome = RunImageSearch(set, g, *session, requestUrl, stale, published, pageRead);
            }
        } else if (HttpSession* session = service.Get()) {
            outcome = RunService(set, g, sources, kind, *session, track, stale, published);
        }
        sources.chain.Report(kind, outcome);
        if (!published.empty()) break;
    }

    if (!stale()) {
        if (!published.empty()) {
            sources.cache.Store(cleaned, published);
        } else if (CoverBytes bytes = sources.logos.Load(logo, logoSession.Get(), stale)) {
            // Nothing found (or nothing to search for, as for a jingle): the station's logo.
            PublishBytes(set, g, bytes, static_cast<std::uint32_t>(bytes->size()));
        }
    }
    EndSearch(set, g, EndKind::kNormal);
}

int CoverSearchWorker(CoverSet& set, std::int32_t g, const CoverSessionFactory& factory) {
    auto stale = [&set, g] { return set.generation.load() != g; };
    if (stale()) {
        EndSearch(set, g, EndKind::kSilent);
        return 0;
    }

    char searchText[kSearchTextSize];
    char base[sizeof(set.imageSearchUrl)];
    std::string cleaned;
    {
        std::lock_guard<std::mutex> hold(set.lock);
        BuildCoverQuery(View(set.query), searchText);
        CopyText(base, View(set.imageSearchUrl));
        if (set.sources != nullptr) cleaned = CleanCoverText(View(set.query));
    }
    if (set.sources != nullptr) {
        SearchAllSources(set, g, *set.sources, factory, cleaned, searchText, base);
        return 0;
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

    std::vector<CoverBytes> published;
    bool pageRead = false;
    RunImageSearch(set, g, *session, requestUrl, stale, published, pageRead);
    session.reset();
    EndSearch(set, g, pageRead ? EndKind::kNormal : EndKind::kNotify);
    return 0;
}
