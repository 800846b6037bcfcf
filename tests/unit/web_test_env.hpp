// What the web server tests share: a context with its own settings, covers and snapshot, a
// recorder in place of the main window, raw loopback clients and a small strict JSON reader.
#pragma once

#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "history/play_history.hpp"
#include "nowplaying/station_board.hpp"
#include "platform/main_window.hpp"
#include "platform/poller.hpp"
#include "platform/sockets.hpp"
#include "settings/app_config.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"
#include "web/title_history.hpp"
#include "web/web_server.hpp"
#include "web/web_snapshot.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class RecordingTarget final : public MessageTarget {
public:
    bool Post(unsigned message, std::uintptr_t wParam) override {
        std::lock_guard<std::mutex> guard(lock_);
        posted_.emplace_back(message, wParam);
        return true;
    }
    // Takes the messages as the window would handle them: a coalesced kind can be posted again.
    std::vector<std::pair<unsigned, std::uintptr_t>> Take() {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& m : posted_) TakePostedValue(m.first, m.second);
        return std::exchange(posted_, {});
    }
    // Messages other than the cover set's repaint notices.
    std::vector<std::pair<unsigned, std::uintptr_t>> TakeCommands() {
        std::vector<std::pair<unsigned, std::uintptr_t>> out;
        for (const auto& m : Take()) {
            if (m.first != MSG_COVERS_CHANGED) out.push_back(m);
        }
        return out;
    }

private:
    std::mutex lock_;
    std::vector<std::pair<unsigned, std::uintptr_t>> posted_;
};

struct WebTestEnv {
    TempDir dir;
    Settings settings;
    CoverSet covers;
    WebSnapshot snapshot;
    TitleHistory history;
    StationBoard board;  // given to the context by the tests that read it
    WebContext context;

    WebTestEnv() {
        ResetConfigDefaults(settings.config);
        settings.file = dir / "config.json";
        InitCoverSet(covers);
        context.settings = &settings;
        context.covers = &covers;
        context.snapshot = &snapshot;
        context.history = &history;
    }

    // Puts one picture on show, as a finished search would.
    void ShowPicture(std::string_view bytes) {
        std::lock_guard<std::mutex> guard(covers.lock);
        FreeCoverSlots(covers);
        covers.slots[0].data = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
        covers.slots[0].size = static_cast<std::uint32_t>(bytes.size());
        covers.count = 1;
        covers.currentIndex = 0;
        ++covers.imageId;
    }
};

// The stored history as a test gives it: plays newest first, handed out as QueryPlays would (by
// channel, times, text and limit), and the last query seen.
struct FakePlays {
    std::mutex lock;
    std::vector<PlayRecord> plays;
    PlayQuery last;
    int queries = 0;

    bool Query(const PlayQuery& q, const std::function<bool(const PlayRecord&)>& each) {
        std::vector<PlayRecord> chosen;
        {
            std::lock_guard<std::mutex> guard(lock);
            last = q;
            ++queries;
            for (const PlayRecord& p : plays) {
                if (!q.channelId.empty() && p.channelId != q.channelId) continue;
                if ((q.from != kPlayNone && p.started < q.from) || (q.to != kPlayNone && p.started >= q.to) ||
                    (q.before != kPlayNone && p.started >= q.before)) {
                    continue;
                }
                if (!q.text.empty() && FindNoCase(p.title, q.text) == std::string_view::npos) continue;
                if (chosen.size() == q.limit) break;
                chosen.push_back(p);
            }
        }
        for (const PlayRecord& p : chosen) {
            if (!each(p)) break;
        }
        return true;
    }
    auto Function() {
        return [this](const PlayQuery& q, const std::function<bool(const PlayRecord&)>& each) { return Query(q, each); };
    }
};

// One exchange with the running server over loopback.
inline std::string WebExchange(std::string_view rawRequest) { return RawHttpExchange(WebServerPort(), rawRequest); }
inline std::string WebGet(std::string_view target) {
    return WebExchange("GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// A client connection to the running server on a loopback address.
inline socket_t WebConnect(const char* address = "127.0.0.1") {
    InitSockets();  // paired with nothing: the tests keep the library for the process
    return ConnectTo(address, WebServerPort());
}

inline bool SendText(socket_t s, std::string_view text) {
    const SendPiece piece{text.data(), text.size()};
    return SendOnce(s, &piece, 1) == static_cast<long>(text.size());
}

// Everything the server sends on s until it closes; each read waits at most timeoutMs.
inline std::string ReadToEnd(socket_t s, int timeoutMs = 5000) {
    std::string out;
    char buf[16384];
    while (WaitReadable(s, timeoutMs) == 1) {
        const long n = ReceiveOnce(s, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Reads from s into got until it holds needle; false when the time ran out or the server closed.
inline bool ReadUntil(socket_t s, std::string& got, std::string_view needle, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[16384];
    while (got.find(needle) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || WaitReadable(s, static_cast<int>(left)) != 1) return false;
        const long n = ReceiveOnce(s, buf, sizeof buf);
        if (n <= 0) return false;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// The exact start of an event stream, and one info event.
inline const std::string kEventStreamHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
inline std::string InfoEvent(const std::string& json) { return "event: info\ndata: " + json + "\n\n"; }

// A subscriber to the event stream, with its first event read.
inline socket_t Subscribe(std::string& got, int timeoutMs = 2000) {
    const socket_t s = WebConnect();
    if (s == kInvalidSocket) return s;
    if (!SendText(s, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") ||
        !ReadUntil(s, got, "}\n\n", timeoutMs)) {
        CloseSocket(s);
        return kInvalidSocket;
    }
    return s;
}

inline std::string HeaderOf(const std::string& response) {
    const auto pos = response.find("\r\n\r\n");
    return pos == std::string::npos ? response : response.substr(0, pos + 4);
}
inline std::string BodyOf(const std::string& response) {
    const auto pos = response.find("\r\n\r\n");
    return pos == std::string::npos ? std::string() : response.substr(pos + 4);
}

// The exact header blocks of the responses.
inline std::string HtmlHeader(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\n\r\n";
}
inline std::string JsonNoCacheHeader(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(length) +
           "\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
}
inline std::string JsonHeader(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(length) + "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
}
inline std::string BadRequestHeader(std::size_t length) {
    return "HTTP/1.1 400 Bad Request\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}
inline std::string ForbiddenHeader(std::size_t length) {
    return "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}
inline std::string PictureHeader(std::string_view type, std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nCache-Control: no-store, no-cache, must-revalidate\r\nConnection: close\r\n\r\n";
}
inline const std::string kNoPictureResponse =
    "HTTP/1.1 404 Not Found\r\nCache-Control: no-store, no-cache, must-revalidate\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
inline const std::string kNotFoundResponse = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

inline bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b < 0x80) need = 0;
        else if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b >= 0xE0 && b <= 0xEF) { need = 2; if (b == 0xE0) lo = 0xA0; if (b == 0xED) hi = 0x9F; }
        else if (b >= 0xF0 && b <= 0xF4) { need = 3; if (b == 0xF0) lo = 0x90; if (b == 0xF4) hi = 0x8F; }
        else return false;
        if (i + need >= text.size()) return false;
        for (std::size_t k = 1; k <= need; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return false;
        }
        i += need + 1;
    }
    return true;
}

// A parsed JSON value; Parse accepts only strict JSON in valid UTF-8 and nothing after it.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::string> keys;  // object members: keys[i] names values[i]
    std::vector<Json> values;

    const Json* Get(std::string_view key) const {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) return &values[i];
        }
        return nullptr;
    }

    static bool Parse(std::string_view in, Json* out) {
        if (!IsValidUtf8(in)) return false;
        std::size_t pos = 0;
        return Value(in, pos, *out, 0) && (SkipSpace(in, pos), pos == in.size());
    }

private:
    static void SkipSpace(std::string_view in, std::size_t& pos) {
        while (pos < in.size() && (in[pos] == ' ' || in[pos] == '\t' || in[pos] == '\n' || in[pos] == '\r')) ++pos;
    }
    static bool Literal(std::string_view in, std::size_t& pos, std::string_view word) {
        if (in.substr(pos, word.size()) != word) return false;
        pos += word.size();
        return true;
    }
    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    static bool StringValue(std::string_view in, std::size_t& pos, std::string& out) {
        if (pos >= in.size() || in[pos] != '"') return false;
        ++pos;
        while (pos < in.size()) {
            const char c = in[pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= in.size()) return false;
            const char e = in[pos++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (pos + 4 > in.size()) return false;
                    unsigned cp = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = in[pos++];
                        cp <<= 4;
                        if (h >= '0' && h <= '9') cp |= static_cast<unsigned>(h - '0');
                        else if (h >= 'a' && h <= 'f') cp |= static_cast<unsigned>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F') cp |= static_cast<unsigned>(h - 'A' + 10);
                        else return false;
                    }
                    if (cp >= 0xD800 && cp <= 0xDFFF) return false;  // never produced by the server
                    AppendUtf8(out, cp);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    static bool Value(std::string_view in, std::size_t& pos, Json& out, int depth) {
        if (depth > 16) return false;
        SkipSpace(in, pos);
        if (pos >= in.size()) return false;
        const char c = in[pos];
        if (c == 'n') { out.kind = Null; return Literal(in, pos, "null"); }
        if (c == 't') { out.kind = Bool; out.boolean = true; return Literal(in, pos, "true"); }
        if (c == 'f') { out.kind = Bool; out.boolean = false; return Literal(in, pos, "false"); }
        if (c == '"') { out.kind = String; return StringValue(in, pos, out.text); }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const std::size_t start = pos;
            if (in[pos] == '-') ++pos;
            if (pos >= in.size() || in[pos] < '0' || in[pos] > '9') return false;
            if (in[pos] == '0' && pos + 1 < in.size() && in[pos + 1] >= '0' && in[pos + 1] <= '9') return false;
            while (pos < in.size() && in[pos] >= '0' && in[pos] <= '9') ++pos;
            out.kind = Number;
            out.number = std::stod(std::string(in.substr(start, pos - start)));
            return true;
        }
        if (c == '[') {
            out.kind = Array;
            ++pos;
            SkipSpace(in, pos);
            if (pos < in.size() && in[pos] == ']') return ++pos, true;
            for (;;) {
                Json item;
                if (!Value(in, pos, item, depth + 1)) return false;
                out.items.push_back(std::move(item));
                SkipSpace(in, pos);
                if (pos >= in.size()) return false;
                if (in[pos] == ']') return ++pos, true;
                if (in[pos++] != ',') return false;
            }
        }
        if (c == '{') {
            out.kind = Object;
            ++pos;
            SkipSpace(in, pos);
            if (pos < in.size() && in[pos] == '}') return ++pos, true;
            for (;;) {
                SkipSpace(in, pos);
                std::string key;
                if (!StringValue(in, pos, key)) return false;
                SkipSpace(in, pos);
                if (pos >= in.size() || in[pos++] != ':') return false;
                Json value;
                if (!Value(in, pos, value, depth + 1)) return false;
                out.keys.push_back(std::move(key));
                out.values.push_back(std::move(value));
                SkipSpace(in, pos);
                if (pos >= in.size()) return false;
                if (in[pos] == '}') return ++pos, true;
                if (in[pos++] != ',') return false;
            }
        }
        return false;
    }
};
