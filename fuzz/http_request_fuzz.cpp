// Arbitrary request bytes through the router: no crash, no overrun, and every answer is one of
// the header templates with a Content-Length that matches its body; JSON bodies parse. The
// header fields that decide whether a page of another site sent the request are read within
// the bytes given, whether the request counts as cut or not, and the checks of Host and of
// origins run on any bytes. The event stream's first events are one whole info object and one
// whole nowplaying object; a queried history answers JSON, CSV under its header row, or busy.
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "platform/http_client.hpp"
#include "settings/app_config.hpp"
#include "tests/unit/web_test_env.hpp"
#include "nowplaying/station_board.hpp"
#include "web/request_site.hpp"
#include "web/web_server.hpp"
#include "web/web_snapshot.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace {

class StringSink final : public ResponseSink {
public:
    bool Send(const void* data, std::size_t length) override {
        out.append(static_cast<const char*>(data), length);
        return true;
    }
    std::string out;
};

struct FuzzState {
    Settings settings;
    CoverSet covers;
    WebSnapshot snapshot;
    StationBoard board;
    std::vector<PlayRecord> plays;
    WebContext context;
    FuzzState() {
        context.settings = &settings;
        context.covers = &covers;
        context.snapshot = &snapshot;
        context.board = &board;
        context.queryPlays = [this](const PlayQuery& q, const std::function<bool(const PlayRecord&)>& each) {
            std::size_t n = 0;
            for (const PlayRecord& p : plays) {
                if (n++ == q.limit || !each(p)) break;
            }
            return q.text != "unreadable";
        };
        SetBoardChannels(board, {{"ostrel", "Ostrel", "", 0, kListenersUnknown}, {"q\"", "\x01\xff", "", 0, 3}}, 1);
        SetBoardTitle(board, 0, "=1+2 \"x\"\t\xc3", 1796724005);
        plays = {{"ostrel", "Ostrel", "=cmd|' /C calc'!A0", 1796724005, kPlayNone, 2, 5},
                 {"gone", "-\"a\",\r\n", "\xff\x01", 1796723000, 1796724005, kPlayNone, kPlayNone}};
        ResetConfigDefaults(settings.config);
        // A folder that does not exist: the saves of the picture switch fail fast and write nothing.
        settings.file = std::filesystem::temp_directory_path() / "tovrel-fuzz-no-such-folder" / "config.json";
        CopyText(settings.config.channels.entries[1].name, u"\"\x01\u00e9\\");
        InitCoverSet(covers);
        covers.sessionFactory = [](const char*) { return std::unique_ptr<HttpSession>(); };
        CopyText(snapshot.track, "A \"title\"\t\\ \xe2\x82\xac\xff");
        settings.config.allowed_origin_count = 2;
        CopyText(settings.config.allowed_origins[0], "https://radio.example.org/");
        CopyText(settings.config.allowed_origins[1], "http://a");
    }
    void EnsurePicture() {
        std::lock_guard<std::mutex> guard(covers.lock);
        if (covers.count > 0) return;
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(600, 0);
        const std::uint8_t png[] = {0x89, 0x50, 0x4E, 0x47};
        std::copy(png, png + 4, bytes->begin());
        covers.slots[0].data = bytes;
        covers.slots[0].size = static_cast<std::uint32_t>(bytes->size());
        covers.count = 1;
        covers.currentIndex = 0;
        ++covers.imageId;
    }
};

std::string CsvHeader(std::size_t n) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\nContent-Length: " + std::to_string(n) +
           "\r\nContent-Disposition: attachment; filename=\"radio-history.csv\"\r\nAccess-Control-Allow-Origin: *\r\n"
           "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
}

bool IsTemplate(const std::string& header, std::size_t n, bool* json) {
    *json = header == JsonNoCacheHeader(n) || header == JsonHeader(n) || header == BadRequestHeader(n) ||
            header == ForbiddenHeader(n);
    return *json || header == HtmlHeader(n) || header == PictureHeader("image/png", n) ||
           header == PictureHeader("image/webp", n) || header == PictureHeader("image/jpeg", n) ||
           (n == 0 && (header == kNoPictureResponse || header == kNotFoundResponse));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzState* state = new FuzzState;
    state->EnsurePicture();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const bool cut : {false, true}) {
        const RequestSiteInfo info = ClassifyRequestSite(text, cut);
        // The fields handed back lie within the request's own bytes.
        for (const std::string_view field : {info.origin, info.referer, info.host}) {
            if (!field.empty() && (field.data() < text.data() || field.data() + field.size() > text.data() + text.size())) {
                std::abort();
            }
        }
        // Foreign exactly when something must be listed; nothing is judged in a cut header block.
        if ((info.site == RequestSite::Foreign) != (info.originMustBeListed || info.refererMustBeListed)) std::abort();
        if (info.site == RequestSite::Unknown && !cut) std::abort();
        OriginMatches(info.origin, "https://radio.example.org/");
        OriginMatches(info.referer, "https://radio.example.org/");
        // The request's bytes as a Host value and as an origin, as well as the fields found.
        HostNamesThisMachine(info.host, "tovrel-pc");
        HostNamesThisMachine(text, text);
        HostMatchesOrigin(info.host, "https://radio.example.org/");
        HostMatchesOrigin(info.host, text);
        HostMatchesOrigin(text, info.referer);
    }
    StringSink sink;
    HandleRequest(state->context, reinterpret_cast<const char*>(data), size, sink);
    if (sink.out.empty() || sink.out == WebBusyAnswer()) return 0;
    const auto end = sink.out.find("\r\n\r\n");
    if (end == std::string::npos) std::abort();
    const std::string header = sink.out.substr(0, end + 4);
    const std::string body = sink.out.substr(end + 4);
    bool json = false;
    if (header == kEventStreamHeader) {
        // The stream's first events: one info object and one nowplaying object, each whole.
        std::string_view rest = body;
        for (const std::string_view start : {"event: info\ndata: ", "event: nowplaying\ndata: "}) {
            const std::size_t stop = rest.find("\n\n");
            if (rest.rfind(start, 0) != 0 || stop == std::string_view::npos || stop < start.size()) std::abort();
            Json parsed;
            if (!Json::Parse(rest.substr(start.size(), stop - start.size()), &parsed)) std::abort();
            rest.remove_prefix(stop + 2);
        }
        if (!rest.empty()) std::abort();
        return 0;
    }
    if (header == CsvHeader(body.size())) {
        if (body.rfind("channel_id,channel_name,title,started,ended,listeners\r\n", 0) != 0) std::abort();
        return 0;
    }
    if (!IsTemplate(header, body.size(), &json)) std::abort();
    Json parsed;
    if (json && !Json::Parse(body, &parsed)) std::abort();
    return 0;
}
