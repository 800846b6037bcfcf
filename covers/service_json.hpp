// Reading the services' JSON answers with nlohmann/json, for the source_*.cpp files only (the
// header is not on the include path of anything outside the core). Parsing never throws
// (json::parse with exceptions off); reading a member only through these helpers, which check
// the type first, keeps the rest of a parser free of throwing calls too.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace service_json {

using Json = nlohmann::json;

// The parsed answer; discarded (is_discarded()) when body is not JSON.
inline Json Parse(std::string_view body) {
    return Json::parse(body.begin(), body.end(), nullptr, false);
}

// The member `key` of an object, or null when j is no object or has no such member.
inline const Json* Member(const Json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    const auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

// A string member's text, or empty when it is missing or not a string.
inline std::string_view Text(const Json& j, const char* key) {
    const Json* m = Member(j, key);
    return m != nullptr && m->is_string() ? std::string_view(m->get_ref<const std::string&>())
                                          : std::string_view();
}

// An array member, or null.
inline const Json* List(const Json& j, const char* key) {
    const Json* m = Member(j, key);
    return m != nullptr && m->is_array() ? m : nullptr;
}

// Adds url to urls when it is an http(s) address not held yet and there is room for it.
inline void AddPictureUrl(std::vector<std::string>& urls, std::string_view url, std::size_t most) {
    if (urls.size() >= most || url.size() < 11 || url.size() > 999) return;
    if (url.substr(0, 7) != "http://" && url.substr(0, 8) != "https://") return;
    for (const std::string& held : urls) {
        if (held == url) return;
    }
    urls.emplace_back(url);
}

}  // namespace service_json
