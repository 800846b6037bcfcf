// Where a request that changes the program's state comes from, as the browser that sent it
// tells: the header fields Sec-Fetch-Site, Origin, Referer and Host. Pure functions over the
// request's bytes, bounded by them.
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
    // Why a request is Foreign, and so which origin an allowed-origins list must hold for it to
    // go on: the Origin field's (empty when there is none: then nothing excuses it), the
    // Referer's, or both.
    bool originMustBeListed = false;
    bool refererMustBeListed = false;
    std::string_view origin;   // the Origin field's value; empty when absent
    std::string_view referer;  // the origin part of the Referer field ("scheme://host[:port]")
    std::string_view host;     // the Host field's value
    bool hasHost = false;
};

// Reads the header fields of request (the bytes from the request line on). The first occurrence
// of a field counts; names are compared ignoring ASCII case, values without the white space
// around them. Foreign when Sec-Fetch-Site is "cross-site" or "same-site", or an Origin field is
// there whose host and port differ from the Host field's (also "null", and an Origin without a
// Host), or a Referer names another host and port than the Host field (a Referer without a
// Host too). The scheme's default port counts as written out. A browser sends a Referer, by
// default, where it sends no Origin and no Sec-Fetch-Site: to a plain-http address of the LAN,
// from an <img>, a link or a navigation. `cut` says that request holds only the first part of
// what the client sent: a header block that does not end within it is then Unknown rather than
// judged on what it shows. Every view handed back lies within request.
RequestSiteInfo ClassifyRequestSite(std::string_view request, bool cut);

// Whether origin equals an entry of an allowed-origins list: ASCII case ignored, and a "/" that
// ends the entry (as a page address would) ignored.
bool OriginMatches(std::string_view origin, std::string_view entry);

// Whether a Host field's value names this machine in a way that no other site's name can stand
// for (a page whose own name is made to resolve to this machine, DNS rebinding, sends its own
// name): an IPv4 address, an IPv6 address in brackets, "localhost" or a name ending in
// ".localhost", or computerName with or without ".local". ASCII case ignored; a port after the
// name (":7555") is allowed. An empty computerName matches no name.
bool HostNamesThisMachine(std::string_view host, std::string_view computerName);

// Whether a Host field's value names the host of an allowed origin ("https://radio.example.org"
// for "radio.example.org:8080"): the port of either is left out, ASCII case ignored.
bool HostMatchesOrigin(std::string_view host, std::string_view origin);
