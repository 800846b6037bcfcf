#include "web/request_site.hpp"

#include "common/ipv4.hpp"
#include "common/text.hpp"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

struct SiteFields {
    std::string_view secFetchSite, origin, referer, host;
    bool hasOrigin = false, hasReferer = false, hasHost = false;
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
        } else if (EqualsNoCase(name, "Referer")) {
            if (!fields.hasReferer) fields.referer = value;
            fields.hasReferer = true;
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

// The "host[:port]" of an address or origin: from after "scheme://" to the first "/", "?" or
// "#". Empty when there is no "://".
std::string_view AuthorityOf(std::string_view address) {
    const std::size_t sep = address.find("://");
    if (sep == std::string_view::npos) return {};
    const std::string_view authority = address.substr(sep + 3);
    return authority.substr(0, authority.find_first_of("/?#"));
}

// The origin part of a Referer ("scheme://host[:port]"), or the whole value when it has no
// "://" (no browser sends that; it then matches no Host).
std::string_view RefererOrigin(std::string_view referer) {
    const std::string_view authority = AuthorityOf(referer);
    if (authority.empty()) return referer;
    return referer.substr(0, static_cast<std::size_t>(authority.data() - referer.data()) + authority.size());
}

bool SameHostAndPort(std::string_view origin, std::string_view host) {
    std::string_view authority = AuthorityOf(origin);
    if (authority.empty() || host.empty()) return false;
    const std::string_view scheme = origin.substr(0, origin.find("://"));
    const std::string_view defaultPort =
        EqualsNoCase(scheme, "https") ? ":443" : (EqualsNoCase(scheme, "http") ? ":80" : "");
    if (!defaultPort.empty()) {
        authority = WithoutDefaultPort(authority, defaultPort);
        host = WithoutDefaultPort(host, defaultPort);
    }
    return !authority.empty() && EqualsNoCase(authority, host);
}

// The name part of a "host[:port]" ("[v6]" keeps its brackets). False when nothing is before
// the port, or what follows the name is not ":" and digits.
bool NameOf(std::string_view authority, std::string_view* name) {
    std::size_t end = authority.size();
    if (!authority.empty() && authority.front() == '[') {
        end = authority.find(']');
        if (end == std::string_view::npos) return false;
        ++end;
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        end = colon;
    }
    std::string_view port = authority.substr(end);
    if (!port.empty()) {
        if (port.front() != ':') return false;
        port.remove_prefix(1);
        if (port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    }
    *name = authority.substr(0, end);
    return end > 0;
}

// "[...]" holding only what an IPv6 address is written with. A browser puts a host in brackets
// only when it is one, so no name of another site can take this form.
bool IsIpv6Literal(std::string_view name) {
    if (name.size() < 4 || name.front() != '[' || name.back() != ']') return false;
    const std::string_view inside = name.substr(1, name.size() - 2);
    return inside.find(':') != std::string_view::npos &&
           inside.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
}

bool EndsWithNoCase(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && EqualsNoCase(text.substr(text.size() - end.size()), end);
}

}  // namespace

RequestSiteInfo ClassifyRequestSite(std::string_view request, bool cut) {
    const SiteFields fields = ReadSiteFields(request);
    RequestSiteInfo info;
    info.origin = fields.origin;
    info.host = fields.host;
    info.hasHost = fields.hasHost;
    // An empty Referer tells nothing (browsers leave the field out instead).
    if (!fields.referer.empty()) info.referer = RefererOrigin(fields.referer);
    if (!fields.ended && cut) {
        info.site = RequestSite::Unknown;
        return info;
    }
    info.originMustBeListed = EqualsNoCase(fields.secFetchSite, "cross-site") ||
                              EqualsNoCase(fields.secFetchSite, "same-site") ||
                              (fields.hasOrigin && !SameHostAndPort(fields.origin, fields.host));
    info.refererMustBeListed = !info.referer.empty() && !SameHostAndPort(info.referer, fields.host);
    if (info.originMustBeListed || info.refererMustBeListed) info.site = RequestSite::Foreign;
    return info;
}

bool OriginMatches(std::string_view origin, std::string_view entry) {
    if (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
    return !origin.empty() && EqualsNoCase(origin, entry);
}

bool HostNamesThisMachine(std::string_view host, std::string_view computerName) {
    std::string_view name;
    if (!NameOf(host, &name)) return false;
    if (name.front() == '[') return IsIpv6Literal(name);
    if (ParseIpv4(name, nullptr)) return true;
    if (EqualsNoCase(name, "localhost") || (name.size() > 10 && EndsWithNoCase(name, ".localhost"))) return true;
    // "name" and "name.local" (the form a LAN's multicast DNS answers to) alike, whichever of the
    // two the system reports.
    const auto withoutLocal = [](std::string_view text) {
        return text.size() > 6 && EndsWithNoCase(text, ".local") ? text.substr(0, text.size() - 6) : text;
    };
    return !computerName.empty() && EqualsNoCase(withoutLocal(name), withoutLocal(computerName));
}

bool HostMatchesOrigin(std::string_view host, std::string_view origin) {
    std::string_view hostName, originName;
    return NameOf(host, &hostName) && NameOf(AuthorityOf(origin), &originName) && EqualsNoCase(hostName, originName);
}
