// The iTunes Search API: songs matching artist and title, each with its album's artwork.
#include "covers/cover_source.hpp"
#include "covers/service_json.hpp"

namespace {

using service_json::Json;

// The API documents artworkUrl100 (100 by 100 pixels); the same address with another size in
// its last path part gives a larger picture, which is what a cover area of a few hundred pixels
// wants. An address of another form is taken as it is.
std::string LargerArtwork(std::string_view url) {
    std::string out(url);
    const std::size_t at = out.rfind("/100x100");
    if (at != std::string::npos) out.replace(at, 8, "/600x600");
    return out;
}

class ItunesSource : public CoverSource {
   public:
    explicit ItunesSource(std::string base) : base_(base.empty() ? kDefaultItunesUrl : std::move(base)) {}
    CoverSourceKind Kind() const override { return CoverSourceKind::Itunes; }
    SourceOutcome FindPictures(const CoverSourceEnv& env, const CoverTrack& track,
                               std::vector<std::string>& urls) override {
        urls.clear();
        std::string body;
        const SourceOutcome fetched = FetchServiceAnswer(env, BuildItunesUrl(base_, track), body);
        if (fetched != SourceOutcome::Found) return fetched;
        if (!ParseItunesAnswer(body, track, urls)) return SourceOutcome::Failed;
        return urls.empty() ? SourceOutcome::NoMatch : SourceOutcome::Found;
    }

   private:
    std::string base_;
};

}  // namespace

std::string BuildItunesUrl(std::string_view base, const CoverTrack& track) {
    std::string url(base.empty() ? std::string_view(kDefaultItunesUrl) : base);
    url += "?term=";
    AppendQueryValue(url, track.artist.empty() ? track.title : track.artist + " " + track.title);
    url += "&media=music&entity=song&limit=10";
    return url;
}

bool ParseItunesAnswer(std::string_view body, const CoverTrack& track, std::vector<std::string>& urls) {
    urls.clear();
    try {
        const Json answer = service_json::Parse(body);
        const Json* results = service_json::List(answer, "results");
        if (results == nullptr) return false;
        for (const Json& item : *results) {
            if (!service_json::Member(item, "artworkUrl100")) continue;
            if (!SameArtist(track.artist, service_json::Text(item, "artistName"))) continue;
            service_json::AddPictureUrl(urls, LargerArtwork(service_json::Text(item, "artworkUrl100")),
                                        kServicePicturesMax);
        }
        return true;
    } catch (...) {
        // Nothing above should throw; whatever does (memory) is a failed answer, not a crash.
        urls.clear();
        return false;
    }
}

std::unique_ptr<CoverSource> MakeItunesSource(std::string base) {
    return std::make_unique<ItunesSource>(std::move(base));
}
