// One small interface for every place a cover picture can come from: ask with the track, get
// picture addresses back. Each album-art service lives in its own file (source_*.cpp) as a pure
// function from the service's answer to addresses, plus the request that fetches the answer;
// order, back-off and rate limits live above them, in cover_chain.*.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class HttpSession;

enum class CoverSourceKind : std::uint8_t { ImageSearch, Itunes, Deezer, MusicBrainz };
constexpr int kCoverSourceKinds = 4;

// The name a source has in config.json ("image_search", "itunes", "deezer", "musicbrainz").
const char* CoverSourceName(CoverSourceKind kind);
bool CoverSourceFromName(std::string_view name, CoverSourceKind& kind);

#ifndef TOVREL_STATION_HOST
#define TOVREL_STATION_HOST "radio.tovrel.example"
#endif
// The album-art services ask their clients to say who they are and how to reach them. The image
// search keeps the agent the design gives it.
constexpr const char* kServiceUserAgent = "TovrelRadio/1.0 ( http://" TOVREL_STATION_HOST "/ )";

constexpr std::uint32_t kServiceAnswerTimeoutMs = 5000;        // as the results page
constexpr std::uint32_t kServiceAnswerDeadlineMs = 8000;       // the whole answer, however it trickles
constexpr std::size_t kServiceAnswerLimitBytes = 1024 * 1024;  // far above any answer asked for
constexpr int kServicePicturesMax = 4;  // the services' best few; more are other releases of the same song

// Artist and title of the track on air, split from the cleaned search text at its first " - ".
// Without one, the whole text is the title and the artist is empty.
struct CoverTrack {
    std::string artist;
    std::string title;
};
CoverTrack SplitCoverTrack(std::string_view text);

// The search text without the image search's suffix: the title cut at '[', the station's labels
// removed, bullets made spaces, trailing spaces, commas and dashes dropped; UTF-8. This is what
// the services are asked with, and the key of the picture cache.
std::string CleanCoverText(std::u16string_view query);

enum class SourceOutcome {
    Found,      // addresses to try
    NoMatch,    // the service answered, and has nothing for this track
    Failed,     // no answer, an error status, a time-out or an answer that is not what it should be
    Cancelled,  // the search went stale (or ran out of time) while asking
};

// What a source asks with. session carries the time-outs, the deadline and the cancel check of
// the search; cancelled is asked between steps; awaitTurn, when set, is called before each
// request and blocks until the service's rate limit allows one (false: give up, the search is
// over).
struct CoverSourceEnv {
    HttpSession* session = nullptr;
    std::function<bool()> cancelled;
    std::function<bool()> awaitTurn;
};

class CoverSource {
   public:
    virtual ~CoverSource() = default;
    virtual CoverSourceKind Kind() const = 0;
    // Up to kServicePicturesMax picture addresses for the track, best first (urls cleared first).
    virtual SourceOutcome FindPictures(const CoverSourceEnv& env, const CoverTrack& track,
                                       std::vector<std::string>& urls) = 0;
};

// The album-art services; base is the address up to the path the service documents (empty: the
// public service).
std::unique_ptr<CoverSource> MakeItunesSource(std::string base);
std::unique_ptr<CoverSource> MakeDeezerSource(std::string base);
std::unique_ptr<CoverSource> MakeMusicBrainzSource(std::string base, std::string coverArtArchiveBase);

constexpr const char* kDefaultItunesUrl = "https://itunes.apple.com/search";
constexpr const char* kDefaultDeezerUrl = "https://api.deezer.com/search";
constexpr const char* kDefaultMusicBrainzUrl = "https://musicbrainz.org/ws/2/recording";
constexpr const char* kDefaultCoverArtArchiveUrl = "https://coverartarchive.org";

// The services' answers as data: each turns an answer's bytes into picture addresses for the
// track, best first, at most kServicePicturesMax, no address twice. False when the bytes are not
// an answer of the documented shape (not JSON, an error object, a missing list); true with no
// address when the service found nothing that fits. Never throws.
bool ParseItunesAnswer(std::string_view body, const CoverTrack& track, std::vector<std::string>& urls);
bool ParseDeezerAnswer(std::string_view body, const CoverTrack& track, std::vector<std::string>& urls);
bool ParseMusicBrainzAnswer(std::string_view body, std::string_view coverArtArchiveBase,
                            std::vector<std::string>& urls);

// The request addresses, with the query each service documents.
std::string BuildItunesUrl(std::string_view base, const CoverTrack& track);
std::string BuildDeezerUrl(std::string_view base, const CoverTrack& track);
std::string BuildMusicBrainzUrl(std::string_view base, const CoverTrack& track);

// Shared by the sources: percent-encoding of a query value (RFC 3986 unreserved characters
// pass), the artist test of an answer's entry, and one GET of a JSON answer with status 200
// (Found with the body; Failed or Cancelled otherwise).
void AppendQueryValue(std::string& out, std::string_view value);
bool SameArtist(std::string_view wanted, std::string_view found);
SourceOutcome FetchServiceAnswer(const CoverSourceEnv& env, const std::string& url, std::string& body);
