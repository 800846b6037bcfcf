// MusicBrainz with the Cover Art Archive: recordings matching artist and title, then the front
// cover of each recording's release group (or release) from the archive.
#include "covers/cover_source.hpp"
#include "covers/service_json.hpp"

namespace {

using service_json::Json;

// Recordings scored below this (0 to 100) are other songs that share a word or two.
constexpr int kMinimumScore = 80;

class MusicBrainzSource : public CoverSource {
   public:
    MusicBrainzSource(std::string base, std::string archive)
        : base_(base.empty() ? kDefaultMusicBrainzUrl : std::move(base)),
          archive_(archive.empty() ? kDefaultCoverArtArchiveUrl : std::move(archive)) {}
    CoverSourceKind Kind() const override { return CoverSourceKind::MusicBrainz; }
    SourceOutcome FindPictures(const CoverSourceEnv& env, const CoverTrack& track,
                               std::vector<std::string>& urls) override {
        urls.clear();
        std::string body;
        const SourceOutcome fetched = FetchServiceAnswer(env, BuildMusicBrainzUrl(base_, track), body);
        if (fetched != SourceOutcome::Found) return fetched;
        if (!ParseMusicBrainzAnswer(body, archive_, urls)) return SourceOutcome::Failed;
        return urls.empty() ? SourceOutcome::NoMatch : SourceOutcome::Found;
    }

   private:
    std::string base_;
    std::string archive_;
};

// A phrase of the search syntax (Lucene): quotes and backslashes inside it are escaped.
std::string Phrase(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The score is a number in the JSON answers; older answers carried it as text.
int Score(const Json& recording) {
    const Json* score = service_json::Member(recording, "score");
    if (score == nullptr) return 100;
    if (score->is_number_integer()) return score->get<int>();
    if (score->is_number()) {
        const double value = score->get<double>();
        return value >= 0 && value <= 100 ? static_cast<int>(value) : 0;
    }
    const std::string_view text = service_json::Text(recording, "score");
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > 1000) break;
        value = value * 10 + (c - '0');
    }
    return value;
}

// An MBID is 36 characters of hex digits and dashes; anything else is not put into an address.
bool IsMbid(std::string_view id) {
    if (id.size() != 36) return false;
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-'))
            return false;
    }
    return true;
}

}  // namespace

std::string BuildMusicBrainzUrl(std::string_view base, const CoverTrack& track) {
    std::string url(base.empty() ? std::string_view(kDefaultMusicBrainzUrl) : base);
    std::string query = "recording:" + Phrase(track.title);
    if (!track.artist.empty()) query += " AND artist:" + Phrase(track.artist);
    url += "?query=";
    AppendQueryValue(url, query);
    url += "&fmt=json&limit=10";
    return url;
}

bool ParseMusicBrainzAnswer(std::string_view body, std::string_view coverArtArchiveBase,
                            std::vector<std::string>& urls) {
    urls.clear();
    std::string archive(coverArtArchiveBase.empty() ? std::string_view(kDefaultCoverArtArchiveUrl)
                                                    : coverArtArchiveBase);
    while (!archive.empty() && archive.back() == '/') archive.pop_back();
    try {
        const Json answer = service_json::Parse(body);
        const Json* recordings = service_json::List(answer, "recordings");
        if (recordings == nullptr) return false;
        for (const Json& recording : *recordings) {
            if (Score(recording) < kMinimumScore) continue;
            const Json* releases = service_json::List(recording, "releases");
            if (releases == nullptr) continue;
            for (const Json& release : *releases) {
                // The release group's front cover is the album's, whichever edition has it.
                const Json* group = service_json::Member(release, "release-group");
                const std::string_view groupId =
                    group != nullptr ? service_json::Text(*group, "id") : std::string_view();
                const std::string_view releaseId = service_json::Text(release, "id");
                std::string url;
                if (IsMbid(groupId)) {
                    url = archive + "/release-group/" + std::string(groupId) + "/front-500";
                } else if (IsMbid(releaseId)) {
                    url = archive + "/release/" + std::string(releaseId) + "/front-500";
                } else {
                    continue;
                }
                service_json::AddPictureUrl(urls, url, kServicePicturesMax);
            }
        }
        return true;
    } catch (...) {
        urls.clear();
        return false;
    }
}

std::unique_ptr<CoverSource> MakeMusicBrainzSource(std::string base, std::string coverArtArchiveBase) {
    return std::make_unique<MusicBrainzSource>(std::move(base), std::move(coverArtArchiveBase));
}
