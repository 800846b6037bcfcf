// What the sources share: their names, the track split, query encoding and one JSON request.
#include "covers/cover_source.hpp"

#include <algorithm>
#include <chrono>
#include <new>

#include "common/text.hpp"
#include "platform/http_client.hpp"

namespace {

constexpr const char* kNames[kCoverSourceKinds] = {"image_search", "itunes", "deezer", "musicbrainz"};

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = ToLowerAscii(c);
    return out;
}

}  // namespace

const char* CoverSourceName(CoverSourceKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kNames) ? kNames[index] : "";
}

bool CoverSourceFromName(std::string_view name, CoverSourceKind& kind) {
    for (int i = 0; i < kCoverSourceKinds; ++i) {
        if (name == kNames[i]) {
            kind = static_cast<CoverSourceKind>(i);
            return true;
        }
    }
    return false;
}

CoverTrack SplitCoverTrack(std::string_view text) {
    CoverTrack track;
    const std::size_t dash = text.find(" - ");
    if (dash == std::string_view::npos) {
        track.title = Trim(text);
        return track;
    }
    track.artist = Trim(text.substr(0, dash));
    track.title = Trim(text.substr(dash + 3));
    // "Artist - " or " - Title": the part that is there is searched as the title.
    if (track.title.empty()) track.title.swap(track.artist);
    return track;
}

void AppendQueryValue(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
}

bool SameArtist(std::string_view wanted, std::string_view found) {
    // Loose on purpose: "Artist feat. Other" and "The Artist" still count, a different name does not.
    if (wanted.empty()) return true;
    const std::string a = LowerAscii(Trim(wanted));
    const std::string b = LowerAscii(Trim(found));
    if (a.empty() || b.empty()) return a.empty();
    return a.find(b) != std::string::npos || b.find(a) != std::string::npos;
}

SourceOutcome FetchServiceAnswer(const CoverSourceEnv& env, const std::string& url, std::string& body) {
    body.clear();
    if (env.session == nullptr) return SourceOutcome::Failed;
    if ((env.cancelled && env.cancelled()) || (env.awaitTurn && !env.awaitTurn()))
        return SourceOutcome::Cancelled;
    env.session->SetTimeouts(kServiceAnswerTimeoutMs, kServiceAnswerTimeoutMs);
    // The time-outs only count silence; a service that trickles its answer ends here.
    env.session->SetDeadline(HttpSession::Clock::now() + std::chrono::milliseconds(kServiceAnswerDeadlineMs));
    // Guarded like the search's own requests: the answer's addresses and redirects are a third
    // party's word.
    std::uint32_t flags = kHttpReload | kHttpNoCookies | kHttpGuardAddresses;
    if (EqualsNoCase(std::string_view(url).substr(0, 6), "https:")) flags |= kHttpSecure;
    std::unique_ptr<HttpRequest> request = env.session->OpenUrl(url.c_str(), flags, kServiceAnswerLimitBytes);
    if (!request) return env.cancelled && env.cancelled() ? SourceOutcome::Cancelled : SourceOutcome::Failed;
    std::uint32_t status = 0;
    if (!request->QueryStatusCode(status) || status != 200) return SourceOutcome::Failed;
    try {
        char chunk[16384];
        while (body.size() < kServiceAnswerLimitBytes) {
            if (env.cancelled && env.cancelled()) return SourceOutcome::Cancelled;
            std::size_t got = 0;
            const std::size_t room = std::min(sizeof chunk, kServiceAnswerLimitBytes - body.size());
            if (!request->Read(chunk, room, got)) {
                return env.cancelled && env.cancelled() ? SourceOutcome::Cancelled : SourceOutcome::Failed;
            }
            if (got == 0) break;
            body.append(chunk, std::min(got, room));
        }
    } catch (const std::bad_alloc&) {
        return SourceOutcome::Failed;
    }
    return SourceOutcome::Found;
}
