// Where a request that changes the program's state comes from, as the browser that sent it
// tells: the header fields Sec-Fetch-Site, Origin and Host. Pure functions over the request's
// bytes, bounded by them.
#pragma once

#include <string_view>

enum class RequestSite {
    Own,      // no sign of another site: no such fields (a script, curl, an older browser), or
              // a page of this server itself
    Foreign,  // a browser says a page of another site sent it
    Unknown,  // the header block did not end within the bytes looked at: a field that would
              // tell may lie beyond them
};

struct RequestSiteInfo {
    RequestSite site = RequestSite::Own;
    std::string_view origin;  // the Origin field's value; empty when absent
};

// Reads the header fields of request (the bytes from the request line on). The first occurrence
// of a field counts; names are compared ignoring ASCII case, values without the white space
// around them. Foreign when Sec-Fetch-Site is "cross-site" or "same-site", or an Origin field is
// there whose host and port differ from the Host field's (also "null", and an Origin without a
// Host). `cut` says that request holds only the first part of what the client sent: a header
// block that does not end within it is then Unknown rather than judged on what it shows.
RequestSiteInfo ClassifyRequestSite(std::string_view request, bool cut);

// Whether origin equals an entry of an allowed-origins list: ASCII case ignored, and a "/" that
// ends the entry (as a page address would) ignored.
bool OriginMatches(std::string_view origin, std::string_view entry);
