#include "web/request_site.hpp"

#include "common/text.hpp"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

struct SiteFields {
    std::string_view secFetchSite, origin, host;
    bool hasOrigin = false, hasHost = false;
    bool ended = false;  // the empty line that ends the header block was found
};

SiteFields ReadSiteFields(std::string_view text) {
    SiteFields fields;
    // The request line, after any white space before it (the router skips that too).
    std::size_t pos = 0;
    while (pos < text.size() && (IsBlank(text[pos]) || text[pos] == '\r' || text[pos] == '\n')) ++pos;
    std::size_t eol = text.find('\n', pos);
    while (eol != std::string_view::npos && eol + 1 < text.size()) {
        pos = eol + 1;
        eol = text.find('\n', pos);
        // A last line without its end counts too: only a cut request is judged by the end.
        std::string_view line = text.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            fields.ended = true;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "Sec-Fetch-Site")) {
            if (fields.secFetchSite.empty()) fields.secFetchSite = value;
        } else if (EqualsNoCase(name, "Origin")) {
            if (!fields.hasOrigin) fields.origin = value;
            fields.hasOrigin = true;
        } else if (EqualsNoCase(name, "Host")) {
            if (!fields.hasHost) fields.host = value;
            fields.hasHost = true;
        }
    }
    return fields;
}

// host[:port] with the scheme's default port left out, as browsers write both fields.
std::string_view WithoutDefaultPort(std::string_view authority, std::string_view defaultPort) {
    if (authority.size() > defaultPort.size() &&
        authority.substr(authority.size() - defaultPort.size()) == defaultPort) {
        authority.remove_suffix(defaultPort.size());
    }
    return authority;
}

bool SameHostAndPort(std::string_view origin, std::string_view host) {
    const std::size_t sep = origin.find("://");
    if (sep == std::string_view::npos || host.empty()) return false;
    const std::string_view scheme = origin.substr(0, sep);
    std::string_view authority = origin.substr(sep + 3);
    if (const std::size_t slash = authority.find('/'); slash != std::string_view::npos) {
        authority = authority.substr(0, slash);
    }
    const std::string_view defaultPort =
        EqualsNoCase(scheme, "https") ? ":443" : (EqualsNoCase(scheme, "http") ? ":80" : "");
    if (!defaultPort.empty()) {
        authority = WithoutDefaultPort(authority, defaultPort);
        host = WithoutDefaultPort(host, defaultPort);
    }
    return !authority.empty() && EqualsNoCase(authority, host);
}

}  // namespace

RequestSiteInfo ClassifyRequestSite(std::string_view request, bool cut) {
    const SiteFields fields = ReadSiteFields(request);
    RequestSiteInfo info;
    info.origin = fields.origin;
    if (!fields.ended && cut) {
        info.site = RequestSite::Unknown;
    } else if (EqualsNoCase(fields.secFetchSite, "cross-site") || EqualsNoCase(fields.secFetchSite, "same-site")) {
        info.site = RequestSite::Foreign;
    } else if (fields.hasOrigin && !SameHostAndPort(fields.origin, fields.host)) {
        info.site = RequestSite::Foreign;
    }
    return info;
}

bool OriginMatches(std::string_view origin, std::string_view entry) {
    if (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
    return !origin.empty() && EqualsNoCase(origin, entry);
}
