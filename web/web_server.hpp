// The embedded HTTP server: one thread serving many connections at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct Settings;
struct CoverSet;
struct WebSnapshot;
struct TitleHistory;
struct StationBoard;
struct PlayQuery;
struct PlayRecord;
struct NowPlayingCache;

// What the server works on. Everything given must outlive the server thread.
struct WebContext {
    Settings* settings = nullptr;
    CoverSet* covers = nullptr;
    WebSnapshot* snapshot = nullptr;
    TitleHistory* history = nullptr;  // optional: null answers /api/history with an empty array
    StationBoard* board = nullptr;    // optional: every channel's title, for /api/nowplaying
    // Optional: the stored play history for a queried /api/history and /api/history.csv (QueryPlays
    // in the program; tests give their own). Called off the server's loop; empty means none.
    std::function<bool(const PlayQuery&, const std::function<bool(const PlayRecord&)>&)> queryPlays;
    int heartbeatMs = 15000;          // the comment line that keeps an idle /api/events stream alive
    int eventCheckMs = 50;            // how often a change is looked for while there are subscribers
    int receiveTimeoutMs = 1000;      // kWebReceiveTimeoutMs; tests of a loaded machine give more room
    int sendTimeoutMs = 1000;         // kWebSendTimeoutMs; likewise
    // A change of listeners alone reaches the event stream at most once in this period; a new
    // title, or another channel on show, goes out at the next check.
    int listenersEventMs = 30000;
    // How long a history query may take before its client is told to come back (503).
    int queryWaitMs = 10000;
    // The /api/nowplaying body of the board's last version; the server makes one at its start.
    std::shared_ptr<NowPlayingCache> nowPlayingCache;
};

// Opens a listening socket on port and starts the server thread. The socket is bound to
// listenAddress when that is an IPv4 address ("127.0.0.1" keeps the server off the network),
// to every IPv4 interface when it is empty or not an address. Returns false when the socket
// cannot be opened or the thread cannot start, and when a server already runs in this process.
// Port 0 picks a free port (tests read it with WebServerPort).
bool StartWebServer(WebContext& context, int port, std::string_view listenAddress = {});
// Ends the server thread (waiting at most 1500 ms) and closes the socket. Safe after a failed start.
void StopWebServer();
// The port the running server listens on; 0 when none runs.
int WebServerPort();

// How many connections the server keeps open at once, and how many of them may be event
// streams. A connection beyond `connections` is accepted and closed at once; a stream beyond
// `streams` is sent its first event and then closed like any answer, so that the page, /api/info
// and /stop always find a slot however many streams a client opens (a stream has no deadline).
struct WebSlots {
    std::size_t connections = 0;
    std::size_t streams = 0;
};
// The slots for a process that may open descriptorsLeft more descriptors (kNoDescriptorLimit
// where none applies): kMaxPolledConnections, or fewer so that kWebDescriptorReserve stay for the
// rest of the program, but never fewer than kWebMinConnections; streams take at most 7/8 of them.
WebSlots WebSlotsFor(std::size_t descriptorsLeft);
// The running server's slots, set at its start; zeros when none runs.
WebSlots WebServerSlots();
// What the rest of the program may have open beside the server: the title refresh, up to three
// cover searches with their transfers and the cache's files, the two outputs, a save's temporary
// file and folder, the logos. Measured on loopback: at most 8 at once, with every search hanging
// and the channel switched every 150 ms; name lookups and TLS add a few per transfer, and the
// rest is room for what libraries open now and then.
constexpr std::size_t kWebDescriptorReserve = 64;
constexpr std::size_t kWebMinConnections = 16;

// How long a connection may take: the wait for its request, and the sending of its answer.
// Each connection has its own deadlines; no connection ever waits for another.
constexpr int kWebReceiveTimeoutMs = 1000;
constexpr int kWebSendTimeoutMs = 1000;
// How long StopWebServer waits for the server thread.
constexpr int kWebStopWaitMs = 1500;

// Answers one request held in request[0..length) by writing the response through send.
// Exposed for tests and the fuzzer; the server thread calls it for each connection.
class ResponseSink {
public:
    virtual ~ResponseSink() = default;
    virtual bool Send(const void* data, std::size_t length) = 0;
    // Sends bytes that owner keeps alive; a sink that sends later may keep the reference
    // instead of a copy.
    virtual bool SendShared(const std::shared_ptr<const std::vector<std::uint8_t>>& /*owner*/, const void* data,
                            std::size_t length) {
        return Send(data, length);
    }
    // The event stream asks to stay open after its first event (sent as lastEvent); a sink that
    // cannot keep a connection open says no, and the stream ends there.
    virtual bool Subscribe(std::string_view /*lastEvent*/) { return false; }
    // The event stream also sent its first nowplaying event, made from body: the stream's later
    // events follow from there.
    virtual void SentNowPlaying(const std::shared_ptr<const std::string>& /*body*/) {}
    // An answer that may take long (a query of the stored history): a sink that serves many
    // connections runs work off its loop and sends what work writes once it is done, or says no
    // when its workers are all taken (the router then answers 503). This one runs it at once.
    virtual bool Defer(std::function<void(ResponseSink&)> work) {
        work(*this);
        return true;
    }
    // Whether the answer being made is still wanted: false once its client is gone or the
    // server stops, so a long query can end early.
    virtual bool StillWanted() { return true; }
};
// The request line is taken from the first 2047 bytes of the request; an empty request, or a
// method other than GET, gets no answer at all. The routes that change the state ("/api/channel",
// "/api/images_toggle", "/stop") also read the header fields within the first kWebRequestBytes,
// and refuse with 403 a request that a browser marks as sent by a page of another site (by
// Sec-Fetch-Site, Origin or Referer), unless config's allowed_origins lists that page's origin,
// and one whose Host names neither this machine nor the host of a listed origin (see
// request_site.hpp). The response is written in
// at most two pieces (header block, body); after a piece that the sink refuses nothing more is
// written.
void HandleRequest(WebContext& context, const char* request, std::size_t length, ResponseSink& sink);
// The event stream's pieces, as "/api/events" sends them: an info event carrying the same object
// as "/api/info", and the comment line that keeps an idle stream alive.
std::string WebInfoEvent(WebContext& context);
std::string_view WebHeartbeat();
// The nowplaying event that carries body (the /api/nowplaying object).
std::string WebNowPlayingEvent(const std::string& body);
// The answer to a request whose deferred work took longer than queryWaitMs, or found every
// worker taken: 503 with a Retry-After.
std::string_view WebBusyAnswer();
// The most a subscriber may leave unread before it is disconnected.
constexpr std::size_t kWebSubscriberBacklog = 64 * 1024;

// The most bytes of a request that are read and looked at: room for the header block of a
// browser's request. A request of this length or more counts as cut.
constexpr std::size_t kWebRequestBytes = 8192;

// Copies the NUL-terminated UTF-8 text src into dst (capacity bytes, always terminated when
// capacity > 0), escaped for use inside a JSON string literal: quote, backslash and every control
// character below 0x20 are escaped, a malformed UTF-8 sequence becomes U+FFFD. Output stops before
// the next character once capacity - 6 bytes are written, so at most capacity - 1 bytes of text
// fit and a cut never splits a character or an escape. Returns the bytes written.
std::size_t JsonEscape(const char* src, char* dst, std::size_t capacity);
