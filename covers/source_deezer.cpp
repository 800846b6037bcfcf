// The Deezer search API: tracks matching artist and title, each with its album's covers.
#include "covers/cover_source.hpp"
#include "covers/service_json.hpp"

namespace {

using service_json::Json;

class DeezerSource : public CoverSource {
   public:
    explicit DeezerSource(std::string base) : base_(base.empty() ? kDefaultDeezerUrl : std::move(base)) {}
    CoverSourceKind Kind() const override { return CoverSourceKind::Deezer; }
    SourceOutcome FindPictures(const CoverSourceEnv& env, const CoverTrack& track,
                               std::vector<std::string>& urls) override {
        urls.clear();
        std::string body;
        const SourceOutcome fetched = FetchServiceAnswer(env, BuildDeezerUrl(base_, track), body);
        if (fetched != SourceOutcome::Found) return fetched;
        if (!ParseDeezerAnswer(body, track, urls)) return SourceOutcome::Failed;
        return urls.empty() ? SourceOutcome::NoMatch : SourceOutcome::Found;
    }

   private:
    std::string base_;
};

// A value for the advanced search: in double quotes, which the field syntax cannot escape, so
// quotes in the text become spaces.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? ' ' : c;
    return out + "\"";
}

}  // namespace

std::string BuildDeezerUrl(std::string_view base, const CoverTrack& track) {
    std::string url(base.empty() ? std::string_view(kDefaultDeezerUrl) : base);
    url += "?q=";
    if (track.artist.empty()) {
        AppendQueryValue(url, track.title);
    } else {
        AppendQueryValue(url, "artist:" + Quoted(track.artist) + " track:" + Quoted(track.title));
    }
    url += "&limit=10";
    return url;
}

bool ParseDeezerAnswer(std::string_view body, const CoverTrack& track, std::vector<std::string>& urls) {
    urls.clear();
    try {
        const Json answer = service_json::Parse(body);
        // An error (quota, bad query) comes back as {"error": {...}} with status 200.
        const Json* data = service_json::List(answer, "data");
        if (data == nullptr || service_json::Member(answer, "error") != nullptr) return false;
        for (const Json& item : *data) {
            const Json* artist = service_json::Member(item, "artist");
            const Json* album = service_json::Member(item, "album");
            if (artist == nullptr || album == nullptr) continue;
            if (!SameArtist(track.artist, service_json::Text(*artist, "name"))) continue;
            std::string_view cover = service_json::Text(*album, "cover_xl");
            if (cover.empty()) cover = service_json::Text(*album, "cover_big");
            service_json::AddPictureUrl(urls, cover, kServicePicturesMax);
        }
        return true;
    } catch (...) {
        urls.clear();
        return false;
    }
}

std::unique_ptr<CoverSource> MakeDeezerSource(std::string base) {
    return std::make_unique<DeezerSource>(std::move(base));
}
