// HandleRequest: one request in, one fixed-form answer out.
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "history/play_history.hpp"
#include "nowplaying/station_board.hpp"
#include "platform/computer_name.hpp"
#include "platform/main_window.hpp"
#include "settings/app_config.hpp"
#include "web/history_query.hpp"
#include "web/now_playing.hpp"
#include "web/picture_switch.hpp"
#include "web/request_site.hpp"
#include "web/web_pages.hpp"
#include "web/web_server.hpp"
#include "web/title_history.hpp"
#include "web/web_snapshot.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kRequestSize = 2048;
constexpr std::size_t kMethodSize = 16;
constexpr std::size_t kTargetSize = 512;

// The header templates stay string literals so that every format is checked at compile time.
#define TEMPLATE_T1_HTML \
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Connection: close\r\n\r\n"
#define TEMPLATE_T2_JSON_NO_CACHE \
    "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Access-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n"
#define TEMPLATE_T3_JSON \
    "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n"
#define TEMPLATE_T4_BAD_REQUEST \
    "HTTP/1.1 400 Bad Request\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Connection: close\r\n\r\n"
#define TEMPLATE_FORBIDDEN \
    "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Connection: close\r\n\r\n"
#define TEMPLATE_CSV_ATTACHMENT \
    "HTTP/1.1 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\nContent-Length: %d\r\n" \
    "Content-Disposition: attachment; filename=\"radio-history.csv\"\r\nAccess-Control-Allow-Origin: *\r\n" \
    "Cache-Control: no-cache\r\nConnection: close\r\n\r\n"
#define TEMPLATE_T5_PICTURE \
    "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %u\r\n" \
    "Cache-Control: no-store, no-cache, must-revalidate\r\nConnection: close\r\n\r\n"
// Formats one header block (every template with its values is under 200 bytes) and sends it.
#define SEND_HEADER(out, ...)                                                  \
    do {                                                                       \
        char header_[256];                                                     \
        const int n_ = std::snprintf(header_, sizeof header_, __VA_ARGS__);    \
        (out).SendFormatted(header_, n_, sizeof header_);                      \
    } while (0)
constexpr std::string_view kNoPicture =  // T6
    "HTTP/1.1 404 Not Found\r\nCache-Control: no-store, no-cache, must-revalidate\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
constexpr std::string_view kNotFound =  // T7
    "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

constexpr std::string_view kEventStreamHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";

constexpr std::string_view kChannelOk = "{\"status\":\"ok\"}";
constexpr std::string_view kInvalidIndex = "{\"status\":\"error\",\"message\":\"invalid index\"}";
constexpr std::string_view kCrossSite = "{\"status\":\"error\",\"message\":\"cross-site request refused\"}";
constexpr std::string_view kHeadersTooLarge = "{\"status\":\"error\",\"message\":\"request headers too large\"}";
constexpr std::string_view kInvalidQuery = "{\"status\":\"error\",\"message\":\"invalid query\"}";
constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 35\r\n"
    "Retry-After: 2\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
    "{\"status\":\"error\",\"message\":\"busy\"}";

// Writes the pieces of one response; after a piece the sink refused nothing more goes out.
class Responder {
public:
    explicit Responder(ResponseSink& sink) : sink_(sink) {}
    void Send(std::string_view piece) {
        if (ok_) ok_ = sink_.Send(piece.data(), piece.size());
    }
    void SendShared(const CoverBytes& owner, std::string_view piece) {
        if (ok_) ok_ = sink_.SendShared(owner, piece.data(), piece.size());
    }
    bool Ok() const { return ok_; }
    void SendFormatted(const char* text, int n, std::size_t size) {
        if (n > 0 && static_cast<std::size_t>(n) < size) Send({text, static_cast<std::size_t>(n)});
        else ok_ = false;
    }

private:
    ResponseSink& sink_;
    bool ok_ = true;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads one white-space-delimited token of at most max characters, as "%<max>s" would:
// leading white space skipped, the rest of an over-long token left for the next read.
const char* ReadToken(const char* p, char* out, std::size_t max) {
    while (*p != 0 && IsSpace(*p)) ++p;
    std::size_t n = 0;
    while (*p != 0 && !IsSpace(*p) && n < max) out[n++] = *p++;
    out[n] = 0;
    return p;
}

// The decimal value at text as atoi reads it (leading white space, optional sign, digits up to
// the first non-digit, 0 without digits), held at the int range instead of overflowing.
long long ReadAtoi(const char* text) {
    while (*text != 0 && IsSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= INT_MAX) value = value * 10 + (*text - '0');
        ++text;
    }
    return negative ? -value : value;
}

// The value of key in the query of target (after its first '?'), found as a plain substring.
bool FindQueryValue(const char* target, const char* key, long long* value) {
    const char* query = std::strchr(target, '?');
    if (query == nullptr) return false;
    const char* found = std::strstr(query + 1, key);
    if (found == nullptr) return false;
    *value = ReadAtoi(found + std::strlen(key));
    return true;
}

int Length(const std::string& text) { return static_cast<int>(text.size()); }

void ServeChannels(WebContext& ctx, Responder& out) {
    // Sized for the worst case so that no channel is ever left out or cut: 32 entries whose
    // names (127 UTF-16 units, up to 381 bytes of UTF-8) and ids are all escapes.
    std::string body = "[";
    {
        std::lock_guard<std::mutex> guard(ctx.settings->lock);
        const ChannelTable& table = ctx.settings->config.channels;
        const int count = table.count < 0 ? 0 : (table.count > MAX_CHANNELS ? MAX_CHANNELS : table.count);
        body.reserve(static_cast<std::size_t>(count) * 256 + 2);
        for (int i = 0; i < count; ++i) {
            const Channel& channel = table.entries[i];
            char name[128 * 3 + 1];
            Utf16ToUtf8(View(channel.name), name);
            char escapedName[sizeof name * 6];
            JsonEscape(name, escapedName, sizeof escapedName);
            char id[sizeof channel.id];
            CopyText(id, View(channel.id));
            char escapedId[sizeof id * 6];
            JsonEscape(id, escapedId, sizeof escapedId);
            char element[sizeof escapedName + sizeof escapedId + 64];
            std::snprintf(element, sizeof element, "{\"index\":%d,\"id\":\"%s\",\"name\":\"%s\"}%s", i, escapedId,
                          escapedName, i + 1 < count ? "," : "");
            body += element;
        }
    }
    body += "]";
    SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, Length(body));
    out.Send(body);
}

void ServeChannel(WebContext& ctx, const char* target, Responder& out) {
    int count;
    {
        std::lock_guard<std::mutex> guard(ctx.settings->lock);
        count = ctx.settings->config.channels.count;
    }
    long long index = 0;
    if (!FindQueryValue(target, "index=", &index) || index < 0 || index >= count) {
        SEND_HEADER(out, TEMPLATE_T4_BAD_REQUEST, static_cast<int>(kInvalidIndex.size()));
        out.Send(kInvalidIndex);
        return;
    }
    ClearCovers(*ctx.covers);
    // Before the window exists the request is kept for it, so the "ok" below holds either way.
    PostToMainWindow(MSG_SELECT_CHANNEL, static_cast<std::uintptr_t>(index));
    SEND_HEADER(out, TEMPLATE_T3_JSON, static_cast<int>(kChannelOk.size()));
    out.Send(kChannelOk);
}

void ServeImagesToggle(WebContext& ctx, const char* target, Responder& out) {
    std::optional<bool> wanted;  // none: the opposite of the switch at that moment
    long long value = 0;
    if (FindQueryValue(target, "enabled=", &value)) wanted = value != 0;
    // The answer gives the state the switch set; the main thread saves it when it takes the
    // message (even when unchanged), so this thread never waits for the disk.
    const bool enable = SwitchPictures(*ctx.covers, wanted);
    PostToMainWindow(MSG_SET_IMAGES, enable ? 1 : 0);
    char body[128];
    const int n = std::snprintf(body, sizeof body, "{\"status\":\"ok\",\"images_enabled\":%s}", enable ? "true" : "false");
    SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, n);
    out.Send({body, static_cast<std::size_t>(n)});
}

// The /api/info object; returns its length (it always fits).
int FormatInfo(WebContext& ctx, char (&body)[4096]) {
    std::int32_t channelIndex;
    char channel[512];
    char track[2048];
    {
        // Escaped into our own buffers before the lock goes: the main thread rewrites the record.
        std::lock_guard<std::mutex> guard(ctx.snapshot->lock);
        channelIndex = ctx.snapshot->channelIndex;
        char name[sizeof ctx.snapshot->channelName];
        CopyText(name, View(ctx.snapshot->channelName));
        JsonEscape(name, channel, sizeof channel);
        char title[sizeof ctx.snapshot->track];
        CopyText(title, View(ctx.snapshot->track));
        JsonEscape(title, track, sizeof track);
    }
    std::int32_t imageId = 0;
    const bool hasImage = GetCurrentCover(*ctx.covers, nullptr, nullptr, &imageId);
    if (!hasImage) imageId = 0;
    const bool enabled = PicturesOn(*ctx.covers);
    return std::snprintf(body, sizeof body,
                         "{\"channel_index\":%d,\"channel\":\"%s\",\"track\":\"%s\",\"has_image\":%s,"
                         "\"image_id\":%d,\"images_enabled\":%s}",
                         static_cast<int>(channelIndex), channel, track, hasImage ? "true" : "false",
                         static_cast<int>(imageId), enabled ? "true" : "false");
}

void ServeInfo(WebContext& ctx, Responder& out) {
    char body[4096];
    const int n = FormatInfo(ctx, body);
    SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, n);
    out.Send({body, static_cast<std::size_t>(n)});
}

const char* PictureType(const std::uint8_t* bytes, std::size_t size) {
    if (size >= 4 && bytes[0] == 0x89 && bytes[1] == 0x50 && bytes[2] == 0x4E && bytes[3] == 0x47) return "image/png";
    if (size >= 4 && std::memcmp(bytes, "RIFF", 4) == 0) return "image/webp";
    return "image/jpeg";
}

void ServeImage(WebContext& ctx, Responder& out) {
    // The shared reference keeps the bytes alive while they are sent, whatever the cover set
    // does with its slot meanwhile.
    CoverBytes bytes;
    std::uint32_t size = 0;
    std::int32_t imageId = 0;
    if (!GetCurrentCover(*ctx.covers, &bytes, &size, &imageId) || !bytes || bytes->empty() || size == 0) {
        out.Send(kNoPicture);
        return;
    }
    const std::size_t length = size < bytes->size() ? size : bytes->size();
    SEND_HEADER(out, TEMPLATE_T5_PICTURE, PictureType(bytes->data(), length), static_cast<unsigned>(length));
    out.SendShared(bytes, {reinterpret_cast<const char*>(bytes->data()), length});
}

// The /api/nowplaying object: the board's (cached per version where the server keeps a cache),
// or, without a board, every channel of the table with nothing known of it yet.
std::shared_ptr<const std::string> NowPlayingBodyOf(WebContext& ctx) {
    if (ctx.board != nullptr && ctx.nowPlayingCache) return ReadNowPlaying(*ctx.board, *ctx.nowPlayingCache).body;
    if (ctx.board != nullptr) return std::make_shared<const std::string>(FormatNowPlayingJson(ReadStationBoard(*ctx.board)));
    StationBoardCopy table;
    {
        std::lock_guard<std::mutex> guard(ctx.snapshot->lock);
        table.selected = ctx.snapshot->channelIndex;
    }
    std::lock_guard<std::mutex> guard(ctx.settings->lock);
    const ChannelTable& channels = ctx.settings->config.channels;
    const int count = std::clamp(channels.count, 0, MAX_CHANNELS);
    for (int i = 0; i < count; ++i) {
        ChannelOnAir row;
        row.id = View(channels.entries[i].id);
        row.name = Utf16ToUtf8(View(channels.entries[i].name));
        table.channels.push_back(std::move(row));
    }
    return std::make_shared<const std::string>(FormatNowPlayingJson(table));
}

void ServeNowPlaying(WebContext& ctx, Responder& out) {
    const std::shared_ptr<const std::string> body = NowPlayingBodyOf(ctx);
    SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, Length(*body));
    out.Send(*body);
}

// The table's ids, so that a stored play finds its channel's place in today's table.
std::vector<std::string> ChannelIds(WebContext& ctx) {
    std::vector<std::string> ids;
    std::lock_guard<std::mutex> guard(ctx.settings->lock);
    const ChannelTable& channels = ctx.settings->config.channels;
    const int count = std::clamp(channels.count, 0, MAX_CHANNELS);
    for (int i = 0; i < count; ++i) ids.emplace_back(View(channels.entries[i].id));
    return ids;
}

void SendPlays(const std::vector<PlayRecord>& plays, const std::vector<std::string>& ids, bool csv, Responder& out) {
    const std::string body = csv ? FormatPlaysCsv(plays) : FormatPlaysJson(plays, ids);
    if (csv) SEND_HEADER(out, TEMPLATE_CSV_ATTACHMENT, Length(body));
    else SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, Length(body));
    out.Send(body);
}

// A query of the stored history runs off the server's loop: the sink hands it to a worker and
// sends the answer once it is made, or it is refused at once when the workers are all taken.
void ServeQueriedHistory(WebContext& ctx, const PlayQuery& query, bool csv, Responder& out, ResponseSink& sink) {
    std::vector<std::string> ids = ChannelIds(ctx);
    if (!ctx.queryPlays) {
        SendPlays({}, ids, csv, out);
        return;
    }
    auto work = [queryPlays = ctx.queryPlays, query, ids = std::move(ids), csv](ResponseSink& to) {
        std::vector<PlayRecord> plays;
        const bool read = queryPlays(query, [&](const PlayRecord& play) {
            if (!to.StillWanted()) return false;
            plays.push_back(play);
            return plays.size() < query.limit;
        });
        Responder answer(to);
        if (read) SendPlays(plays, ids, csv, answer);
        else answer.Send(kBusy);  // the store could not be read now
    };
    if (!sink.Defer(std::move(work))) out.Send(kBusy);
}

void ServeHistory(WebContext& ctx, const char* target, bool targetCut, bool csv, Responder& out, ResponseSink& sink) {
    const char* mark = std::strchr(target, '?');
    PlayQuery query;
    query.limit = kHistoryCsvLimit;  // the export without parameters: every play, up to its bound
    const HistoryQueryRead read = mark == nullptr ? HistoryQueryRead::None : ReadHistoryQuery(mark + 1, csv, &query);
    if (read == HistoryQueryRead::None && !csv) {
        // No parameter of the stored history's: the short history of the channel on show.
        const std::string body = FormatTitleHistoryJson(ctx.history);
        SEND_HEADER(out, TEMPLATE_T2_JSON_NO_CACHE, Length(body));
        out.Send(body);
        return;
    }
    // A target cut at its bound may have lost the end of a parameter: none of it is trusted.
    if (read == HistoryQueryRead::Malformed || targetCut) {
        SEND_HEADER(out, TEMPLATE_T4_BAD_REQUEST, static_cast<int>(kInvalidQuery.size()));
        out.Send(kInvalidQuery);
        return;
    }
    ServeQueriedHistory(ctx, query, csv, out, sink);
}

// A stream of events with no length: it lasts until either side closes it.
void ServeEvents(WebContext& ctx, Responder& out, ResponseSink& sink) {
    const std::string first = WebInfoEvent(ctx);
    out.Send(kEventStreamHeader);
    out.Send(first);
    std::shared_ptr<const std::string> nowPlaying;
    if (ctx.board != nullptr) {
        nowPlaying = NowPlayingBodyOf(ctx);
        out.Send(WebNowPlayingEvent(*nowPlaying));
    }
    if (!out.Ok() || !sink.Subscribe(first)) return;
    if (nowPlaying) sink.SentNowPlaying(nowPlaying);
}

// This computer's name, asked once: the system call costs more than the rest of a request.
std::string_view OwnComputerName() {
    static const std::string name = ComputerName();
    return name;
}

// Whether a request for a route that changes the state may go on. A page of another site may
// not stop or steer the program behind the user's back (an <img> pointing at "/stop" is enough
// to send one), unless config.json lists that page's origin. Nor may a page of another site
// whose name is made to resolve to this machine (DNS rebinding): its requests look same-origin
// but carry its own name in Host. Answers 403 when refused.
bool SiteMayChangeState(WebContext& ctx, std::string_view request, Responder& out) {
    const RequestSiteInfo info = ClassifyRequestSite(request, request.size() >= kWebRequestBytes);
    bool allowed = info.site != RequestSite::Unknown;
    const bool hostOwn = !info.hasHost || HostNamesThisMachine(info.host, OwnComputerName());
    if (allowed && (info.site == RequestSite::Foreign || !hostOwn)) {
        std::lock_guard<std::mutex> guard(ctx.settings->lock);
        const AppConfig& cfg = ctx.settings->config;
        const int count = std::clamp<int>(cfg.allowed_origin_count, 0, MAX_ALLOWED_ORIGINS);
        const auto listed = [&](std::string_view origin) {
            for (int i = 0; i < count; ++i) {
                if (OriginMatches(origin, View(cfg.allowed_origins[i]))) return true;
            }
            return false;
        };
        const auto hostListed = [&] {
            for (int i = 0; i < count; ++i) {
                if (HostMatchesOrigin(info.host, View(cfg.allowed_origins[i]))) return true;
            }
            return false;
        };
        allowed = (!info.originMustBeListed || listed(info.origin)) &&
                  (!info.refererMustBeListed || listed(info.referer)) && (hostOwn || hostListed());
    }
    if (allowed) return true;
    const std::string_view body = info.site == RequestSite::Unknown ? kHeadersTooLarge : kCrossSite;
    SEND_HEADER(out, TEMPLATE_FORBIDDEN, static_cast<int>(body.size()));
    out.Send(body);
    return false;
}

}  // namespace

std::string WebInfoEvent(WebContext& ctx) {
    char body[4096];
    const int n = FormatInfo(ctx, body);
    std::string event = "event: info\ndata: ";
    if (n > 0 && static_cast<std::size_t>(n) < sizeof body) event.append(body, static_cast<std::size_t>(n));
    event += "\n\n";
    return event;
}

std::string_view WebHeartbeat() { return ": heartbeat\n\n"; }

std::string WebNowPlayingEvent(const std::string& body) { return "event: nowplaying\ndata: " + body + "\n\n"; }

std::string_view WebBusyAnswer() { return kBusy; }

void HandleRequest(WebContext& ctx, const char* request, std::size_t length, ResponseSink& sink) {
    if (length == 0 || request == nullptr) return;
    char text[kRequestSize];
    const std::size_t taken = length < kRequestSize - 1 ? length : kRequestSize - 1;
    std::memcpy(text, request, taken);
    text[taken] = 0;

    char method[kMethodSize] = {};
    char target[kTargetSize] = {};
    const char* rest = ReadToken(text, method, kMethodSize - 1);
    bool targetCut = false;
    if (method[0] != 0) {
        const char* after = ReadToken(rest, target, kTargetSize - 1);
        targetCut = (*after != 0 && !IsSpace(*after)) || (*after == 0 && taken == kRequestSize - 1);
    }
    char route[kTargetSize];
    CopyText(route, View(target));
    if (char* query = std::strchr(route, '?')) *query = 0;

    if (std::strcmp(method, "GET") != 0) return;

    Responder out(sink);
    const std::string_view path = route;
    const std::string_view whole(request, length < kWebRequestBytes ? length : kWebRequestBytes);
    if (path == "/" || path == "/index.html") {
        const std::string_view page = WebPage();
        SEND_HEADER(out, TEMPLATE_T1_HTML, static_cast<int>(page.size()));
        out.Send(page);
    } else if (path == "/api/channels") {
        ServeChannels(ctx, out);
    } else if (path == "/api/channel") {
        if (SiteMayChangeState(ctx, whole, out)) ServeChannel(ctx, target, out);
    } else if (path == "/api/images_toggle") {
        if (SiteMayChangeState(ctx, whole, out)) ServeImagesToggle(ctx, target, out);
    } else if (path == "/api/info") {
        ServeInfo(ctx, out);
    } else if (path == "/api/events") {
        ServeEvents(ctx, out, sink);
    } else if (path == "/image") {
        ServeImage(ctx, out);
    } else if (path == "/api/nowplaying") {
        ServeNowPlaying(ctx, out);
    } else if (path == "/api/history" || path == "/api/history.csv") {
        ServeHistory(ctx, target, targetCut, path == "/api/history.csv", out, sink);
    } else if (path == "/stop") {
        if (!SiteMayChangeState(ctx, whole, out)) return;
        const std::string_view page = ShutdownPage();
        SEND_HEADER(out, TEMPLATE_T1_HTML, static_cast<int>(page.size()));
        out.Send(page);
        PostToMainWindow(MSG_CLOSE, 0);
    } else {
        out.Send(kNotFound);
    }
}
