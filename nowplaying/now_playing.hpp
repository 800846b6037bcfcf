// The title on air of the current channel: the channel's plain-text endpoint first, then the
// stream server's Icecast status document.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/http_client.hpp"
#include "settings/app_config.hpp"

// User agent of the shared session.
inline constexpr char NOW_PLAYING_USER_AGENT[] = "TovrelRadio/1.0";

// Working text (UTF-8, NUL-terminated) and the caller's UTF-16 title buffer.
inline constexpr std::size_t TITLE_TEXT_BYTES = 1024;
inline constexpr std::size_t TITLE_UNITS = 512;
// The single read of the endpoint and the status document's body limit.
inline constexpr std::size_t ENDPOINT_READ_BYTES = TITLE_TEXT_BYTES - 1;
inline constexpr std::size_t STATUS_BODY_BYTES = 65536;
inline constexpr std::size_t STATUS_READ_PIECE = 4096;

// Time-outs of both requests. The fetch runs on the thread that keeps the window alive, so
// one refresh must stay short even when a server accepts and then never answers: the endpoint
// gets connect 2000 ms + receive 2500 ms; the status document is asked only while at least
// kNowPlayingMinRequestMs of kNowPlayingBudgetMs (counted from the start of the refresh) is
// left, with its time-outs cut to what is left. The time-outs only count silence, so the budget
// is also the session's deadline for the refresh: a server that trickles either answer is cut
// off there and what arrived by then is used.
inline constexpr std::uint32_t kNowPlayingConnectTimeoutMs = 2000;
inline constexpr std::uint32_t kNowPlayingReceiveTimeoutMs = 2500;
inline constexpr std::uint32_t kNowPlayingBudgetMs = 5500;
inline constexpr std::uint32_t kNowPlayingMinRequestMs = 1000;

// Everything one fetch needs. The application shell owns one for the process; tests build
// their own with a fake session.
struct NowPlayingContext {
    using Clock = std::chrono::steady_clock;

    explicit NowPlayingContext(Settings& s) : settings(s) {}

    Settings& settings;
    // The shared session. Null when it could not be opened at start-up: the fetch then reloads
    // the settings and opens it itself.
    std::unique_ptr<HttpSession> session;
    // Reload path: called before the session is reopened (LoadConfig in the program).
    std::function<void(Settings&)> loadConfig;
    // Opens a session with the given agent; null means OpenHttpSession.
    std::function<std::unique_ptr<HttpSession>(const char* userAgent)> openSession;
    // The clock the time budget is measured with; null means Clock::now.
    std::function<Clock::time_point()> now;
    // Asked while a fetch runs; once true the fetch stops at once and gives no title (the
    // program passes "a close is waiting", so a hanging station never delays the exit).
    std::function<bool()> cancelled;
};

// The title on air of channel `channelIndex` (a row of the channel table). Returns true when a
// non-empty title was obtained; it is then written to out (outUnits units, at most 511 units of
// text plus the terminator) unless out is null. On false, out is not touched.
bool FetchNowPlaying(NowPlayingContext& ctx, int channelIndex, char16_t* out, std::size_t outUnits);

// Reads a channel's endpoint through session (one read of at most ENDPOINT_READ_BYTES)
// into text (TITLE_TEXT_BYTES) and cleans it. True when it is a usable title: not empty, not an
// HTML page, not a JSON document. The session's time-outs, deadline and cancel check apply.
bool ReadEndpointTitle(HttpSession& session, const char* endpoint, char* text);

// Fetches the status document at statusUrl through session into body (STATUS_BODY_BYTES; held
// bytes, NUL-terminated). deadline bounds the reading: what arrived by then is kept. False when
// the request failed or the server answered with a status other than 200.
bool FetchStatusDocument(HttpSession& session, const char* statusUrl, char* body, std::size_t& held,
                         const std::function<NowPlayingContext::Clock::time_point()>& now,
                         NowPlayingContext::Clock::time_point deadline);

// Fetches the status document at statusUrl through session and looks up the title of the
// stream of channelId (see ExtractStatusJsonTitle). text is the TITLE_TEXT_BYTES working
// buffer. deadline bounds the reading. On false, text may hold a partial value.
bool FetchStatusJsonTitle(HttpSession& session, const char* statusUrl, const char* channelId, char* text,
                          const std::function<NowPlayingContext::Clock::time_point()>& now,
                          NowPlayingContext::Clock::time_point deadline);

// Looks up the title of channelId's stream in an Icecast status document: the entry whose
// listen URL ends in the mount "<id>-160" is preferred, "<id>-mp3" is the other; the title is
// the entry's "title" member (string with its escapes decoded, number or boolean as written;
// null is no title), cleaned with CleanTitleText. Writes into text (TITLE_TEXT_BYTES) and
// returns true when the result is usable (not empty, not beginning with '<').
bool ExtractStatusJsonTitle(std::string_view body, const char* channelId, char* text);

// The listeners of channelId in an Icecast status document: the sum of the "listeners" members
// of its "<id>-160" and "<id>-mp3" entries (mounts matched whole, as for the title). -1 when
// neither entry is there with a whole, non-negative count.
std::int64_t ExtractStatusJsonListeners(std::string_view body, const char* channelId);

// The status document's URL: statusUrlSetting when not empty, else "http://" + the host of
// endpoint + ":8000/status-json.xsl". Returns false (out empty) when there is no host.
bool BuildStatusUrl(const char* endpoint, const char* statusUrlSetting, char* out, std::size_t outSize);

// Trims trailing CR, LF, space and TAB; then, when the first " :: " is followed by digits only
// (or nothing), cuts the text there and trims trailing spaces. Null does nothing.
void CleanTitleText(char* text);
