// The cover search worker and the text and page helpers it is made of: the search text built from
// the title, its URL encoding, the picture URLs taken from a results page, and one picture
// download.
#pragma once

#include "covers/cover_set.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class HttpSession;

constexpr const char* kCoverUserAgent = "Lavf/57.83.100";
constexpr const char* kDefaultImageSearchUrl = "https://www.bing.com/images/async";
constexpr const char* kImageSearchQueryTail = "&qft=+filterui:imagesize-medium&first=1&count=10";

constexpr std::uint32_t kResultsPageTimeoutMs = 5000;
constexpr std::uint32_t kPictureTimeoutMs = 3500;
// Overall ends of one request, on top of the time-outs above, which only count silence: a host
// that trickles its answer is cut here. The page (at most 512 KiB) gets 10 s; a picture 30 s,
// enough for 3.5 MiB on a 1 Mbit/s line and for a usual picture of under 1 MiB at 300 kbit/s.
constexpr std::uint32_t kResultsPageDeadlineMs = 10000;
constexpr std::uint32_t kPictureDeadlineMs = 30000;
constexpr std::size_t kResultsPageInitialBytes = 131072;
constexpr std::size_t kResultsPageLimitBytes = 524288;
constexpr std::size_t kPictureInitialBytes = 65536;
constexpr std::size_t kPictureLimitBytes = 4194304;
constexpr std::size_t kPictureMinimumBytes = 512;

constexpr std::size_t kSearchTextSize = 512;
constexpr std::size_t kEncodedTextSize = 1024;
constexpr std::size_t kRequestUrlSize = 2048;
constexpr std::size_t kResultUrlSize = 1024;
constexpr std::size_t kResultUrlMinLength = 11;
constexpr std::size_t kResultUrlMaxLength = 999;

// Picture URLs taken from one results page, each NUL-terminated.
struct CoverUrlTable {
    char urls[MAX_COVERS][kResultUrlSize];
    int count = 0;
};

// The search text for a title (the CoverSet's query): cut at the first '[', the station's labels
// removed, bullets made spaces, trailing spaces, commas and dashes dropped, " album cover" added
// to a text of 1 to 497 units. UTF-8, NUL-terminated; returns its length in bytes (0: nothing to
// search for). A text whose UTF-8 form does not fit is cut at a whole character, before the
// suffix, so the suffix is kept.
std::size_t BuildCoverQuery(std::u16string_view query, char (&out)[kSearchTextSize]);

// Percent-encodes the search text for the query string: letters, digits and ~!*()' pass, every
// other byte becomes %xx (lowercase). At most 1022 bytes, never a split escape; NUL-terminated.
// Returns the length.
std::size_t UrlEncodeQuery(std::string_view text, char (&out)[kEncodedTextSize]);

// Takes up to 8 picture URLs of 11 to 999 bytes from a results page, in page order, with "&amp;"
// turned into '&'. The page ends at its first NUL or the end of the view. Returns the number of URLs.
int ExtractResultUrls(std::string_view page, CoverUrlTable& table);

// The results-page URL for an encoded search text: base (the built-in Bing address when empty),
// '?', then the query string. Returns false when it does not fit into out.
bool BuildResultsPageUrl(std::string_view base, std::string_view encoded, char (&out)[kRequestUrlSize]);

// True when bytes begin with a JPEG, PNG or WebP signature.
bool HasPictureSignature(const std::uint8_t* bytes, std::size_t size);

// Downloads one picture with the worker's session (time-outs set to 3500 ms and the deadline to
// 30 s from now here, and left so). On true, picture holds the bytes of a JPEG, PNG or WebP
// picture of at least 512 and at most 4,194,304 bytes; on false, picture is empty. cancelled,
// when given, is asked between reads (the session's own cancel check, which stops a transfer in
// its middle, is the caller's to set); a download it stops is dropped.
bool DownloadCoverImage(HttpSession& session, const char* url, std::vector<std::uint8_t>& picture,
                        const std::function<bool()>& cancelled = {});

// The search thread's procedure for generation g: fetches the results page for the set's query,
// downloads the pictures one by one and publishes each into the set while g is current. Uses a
// session from factory (OpenHttpSession when null) whose cancel check is "g is no longer
// current", so a stale search drops its transfer at once. Returns 0.
int CoverSearchWorker(CoverSet& set, std::int32_t g, const CoverSessionFactory& factory);

// The worker's course when the set has sources: the cache first; then each source in the chain's
// order until one gives a picture (the image search as designed, the album-art services with
// their own agent), reporting each outcome to the chain; what was found is kept in the cache;
// with nothing found, the channel's logo. cleaned is the search text without the image search's
// suffix (CleanCoverText), searchText and imageSearchBase as the design's worker makes them.
void SearchAllSources(CoverSet& set, std::int32_t g, CoverSources& sources, const CoverSessionFactory& factory,
                      const std::string& cleaned, const char* searchText, const char* imageSearchBase);
