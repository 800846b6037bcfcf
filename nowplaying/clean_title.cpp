#include <cstring>

#include "nowplaying/now_playing.hpp"

void CleanTitleText(char* text) {
    if (text == nullptr) return;
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '\t')) {
        text[--n] = '\0';
    }
    // The station appends " :: <listener count>" to some titles; only a purely numeric tail
    // after the first separator is dropped, anything else is part of the title.
    char* sep = std::strstr(text, " :: ");
    if (sep == nullptr) return;
    for (const char* p = sep + 4; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return;
    }
    *sep = '\0';
    n = static_cast<std::size_t>(sep - text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
}
