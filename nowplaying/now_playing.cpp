#include "nowplaying/now_playing.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/text.hpp"

namespace {

constexpr std::uint32_t kEndpointFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpPragmaNoCache;

struct ChannelCopy {
    char id[64];
    char endpoint[256];
    char statusUrl[256];
};

// The main thread is the only writer apart from a reload, but the server thread's saves take
// the lock too, so the fields are copied under it rather than read in place during the fetch.
bool CopyChannel(const Settings& settings, int index, ChannelCopy& out) {
    const std::lock_guard<std::mutex> hold(settings.lock);
    const ChannelTable& table = settings.config.channels;
    if (index < 0 || index >= table.count || index >= MAX_CHANNELS) return false;
    const Channel& ch = table.entries[index];
    CopyText(out.id, View(ch.id));
    CopyText(out.endpoint, View(ch.endpoint));
    CopyText(out.statusUrl, View(settings.config.status_url));
    return true;
}

// The session's deadline for the length of one refresh.
class DeadlineScope {
public:
    DeadlineScope(HttpSession& session, HttpSession::Clock::time_point deadline) : session_(session) {
        session_.SetDeadline(deadline);
    }
    ~DeadlineScope() { session_.SetDeadline(std::nullopt); }
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

private:
    HttpSession& session_;
};

}  // namespace

bool ReadEndpointTitle(HttpSession& session, const char* endpoint, char* text) {
    auto request = session.OpenUrl(endpoint, kEndpointFlags, ENDPOINT_READ_BYTES);
    if (!request) return false;
    std::uint32_t code = 0;
    if (!request->QueryStatusCode(code) || code != 200) return false;
    // Only the first read counts: the endpoint answers with the bare title, and anything past
    // the first piece is not a title anyway. Under the refresh's deadline the read ends there
    // with what has arrived.
    std::size_t got = 0;
    if (!request->Read(text, ENDPOINT_READ_BYTES, got) || got == 0) return false;
    text[std::min(got, ENDPOINT_READ_BYTES)] = '\0';
    CleanTitleText(text);
    // Empty, an HTML page or a JSON document: not a title.
    return text[0] != '\0' && text[0] != '<' && text[0] != '{';
}

bool BuildStatusUrl(const char* endpoint, const char* statusUrlSetting, char* out, std::size_t outSize) {
    if (out == nullptr || outSize == 0) return false;
    out[0] = '\0';
    if (statusUrlSetting != nullptr && statusUrlSetting[0] != '\0') {
        const std::size_t len = std::strlen(statusUrlSetting);
        if (len >= outSize) return false;  // a cut URL would name another document
        std::memcpy(out, statusUrlSetting, len + 1);
        return true;
    }
    if (endpoint == nullptr) return false;
    std::string_view rest(endpoint);
    const std::size_t scheme = rest.find("://");
    if (scheme == std::string_view::npos) return false;
    rest = rest.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) rest = rest.substr(at + 1);
    std::string_view host;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) return false;
        host = rest.substr(0, close + 1);
    } else {
        host = rest.substr(0, rest.find(':'));
    }
    if (host.empty()) return false;
    const int n = std::snprintf(out, outSize, "http://%.*s:8000/status-json.xsl", static_cast<int>(host.size()),
                                host.data());
    if (n < 0 || static_cast<std::size_t>(n) >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool FetchNowPlaying(NowPlayingContext& ctx, int channelIndex, char16_t* out, std::size_t outUnits) {
    using Clock = NowPlayingContext::Clock;
    const std::function<Clock::time_point()> now = ctx.now ? ctx.now : [] { return Clock::now(); };

    ChannelCopy channel;
    if (!CopyChannel(ctx.settings, channelIndex, channel)) return false;
    if (!ctx.session) {
        // Start-up could not open the shared session: rerun its network initialisation.
        if (ctx.loadConfig) ctx.loadConfig(ctx.settings);
        ctx.session = ctx.openSession ? ctx.openSession(NOW_PLAYING_USER_AGENT) : OpenHttpSession(NOW_PLAYING_USER_AGENT);
        if (!ctx.session) return false;
        // The reload may have changed the table under the index.
        if (!CopyChannel(ctx.settings, channelIndex, channel)) return false;
    }
    HttpSession& session = *ctx.session;
    const Clock::time_point deadline = now() + std::chrono::milliseconds(kNowPlayingBudgetMs);
    // The same budget bounds every wait of both requests inside the client, on the real clock:
    // the time-outs only count silence, and a server that trickles its answer would otherwise
    // hold the single endpoint read for as long as it kept sending.
    const DeadlineScope bounded(session, HttpSession::Clock::now() + std::chrono::milliseconds(kNowPlayingBudgetMs));
    session.SetCancelCheck(ctx.cancelled);

    char text[TITLE_TEXT_BYTES] = {};
    session.SetTimeouts(kNowPlayingConnectTimeoutMs, kNowPlayingReceiveTimeoutMs);
    if (!ReadEndpointTitle(session, channel.endpoint, text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now()).count();
        if (left < static_cast<long long>(kNowPlayingMinRequestMs)) return false;
        const auto leftMs = static_cast<std::uint32_t>(left);
        session.SetTimeouts(std::min(kNowPlayingConnectTimeoutMs, leftMs), std::min(kNowPlayingReceiveTimeoutMs, leftMs));
        char statusUrl[512];
        if (!BuildStatusUrl(channel.endpoint, channel.statusUrl, statusUrl, sizeof statusUrl)) return false;
        if (!FetchStatusJsonTitle(session, statusUrl, channel.id, text, now, deadline)) return false;
    }
    if (text[0] == '\0') return false;
    if (out != nullptr && outUnits > 0) {
        const std::size_t units = std::min(outUnits, TITLE_UNITS);
        Utf8ToUtf16(View(text), out, units);
        out[units - 1] = u'\0';
    }
    return true;
}
