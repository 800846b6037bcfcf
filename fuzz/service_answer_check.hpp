// What every album-art service parser must give for any answer: addresses only on a valid
// parse, at most a few, each an http(s) address of bounded length, none twice.
#pragma once

#include "covers/cover_source.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

inline void CheckServiceAnswer(bool valid, const std::vector<std::string>& urls) {
    if (!valid && !urls.empty()) std::abort();
    if (urls.size() > static_cast<std::size_t>(kServicePicturesMax)) std::abort();
    for (const std::string& url : urls) {
        if (url.size() < 11 || url.size() > 999) std::abort();
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) std::abort();
        if (std::count(urls.begin(), urls.end(), url) != 1) std::abort();
    }
}
