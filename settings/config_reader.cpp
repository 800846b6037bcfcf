#include "settings/config_reader.hpp"

#include <cstring>
#include <utility>

#include "common/text.hpp"
#include "settings/json_reader.hpp"

namespace {

// Walks the entries of the "channels" array. The array ends at the last ']' of the text, and an
// entry at the first '}' after its '{': braces and brackets inside values are not recognised,
// which hand-edited files in the field depend on (a stray ']' later in the file widens the
// array). Entries lacking "id", "name" or "endpoint" are skipped; the built-in table stays
// unless at least one entry is complete.
void ReadChannelTable(std::string_view text, ChannelTable& table) {
    const std::size_t key = text.find("\"channels\"");
    if (key == std::string_view::npos) return;
    const std::size_t open = text.find('[', key);
    if (open == std::string_view::npos) return;
    const std::size_t close = text.rfind(']');
    if (close == std::string_view::npos || close < open) return;

    int accepted = 0;
    std::size_t pos = open + 1;
    while (accepted < MAX_CHANNELS && pos < close) {
        const std::size_t begin = text.find('{', pos);
        if (begin == std::string_view::npos || begin >= close) break;
        const std::size_t end = text.find('}', begin + 1);
        if (end == std::string_view::npos || end > close) break;
        const std::string_view entry = text.substr(begin, end - begin);

        char id[64] = {};
        char name[256] = {};
        char endpoint[256] = {};
        if (ReadJsonString(entry, "id", id, sizeof id) && ReadJsonString(entry, "name", name, sizeof name) &&
            ReadJsonString(entry, "endpoint", endpoint, sizeof endpoint)) {
            Channel& slot = table.entries[accepted];
            std::memset(&slot, 0, sizeof slot);
            CopyText(slot.id, View(id));
            CopyText(slot.endpoint, View(endpoint));
            // A name of more than 127 UTF-16 units is cut before the first character that does
            // not fit whole, so the field stays terminated and never ends in half a pair.
            Utf8ToUtf16(View(name), slot.name);
            // Optional, so it does not decide whether the entry counts.
            char logo[256] = {};
            if (ReadJsonString(entry, "logo", logo, sizeof logo)) CopyText(slot.logo, View(logo));
            ++accepted;
        }
        pos = end + 1;
    }
    if (accepted > 0) table.count = accepted;
}

void ReadStartChannel(std::string_view text, AppConfig& cfg) {
    char lastChannel[64] = {};
    if (ReadJsonString(text, "last_channel", lastChannel, sizeof lastChannel)) {
        CopyText(cfg.last_channel, View(lastChannel));
        for (int row = 0; row < cfg.channels.count; ++row) {
            if (EqualsNoCase(View(cfg.channels.entries[row].id), View(lastChannel))) {
                cfg.last_channel_index = row;
                break;
            }
        }
        return;
    }
    std::int32_t index = 0;
    if (ReadJsonInt(text, "last_channel_index", index) && index >= 0 && index < cfg.channels.count) {
        cfg.last_channel_index = index;
        CopyText(cfg.last_channel, View(cfg.channels.entries[index].id));
    }
}

}  // namespace

void ParseConfigText(std::string_view text, AppConfig& cfg) {
    ResetConfigDefaults(cfg);
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);

    std::int32_t value = 0;
    if (ReadJsonInt(text, "rotate_interval_seconds", value) && value >= 1) cfg.rotate_interval_seconds = value;
    if (ReadJsonInt(text, "port", value) && value >= 1 && value <= 65535) cfg.port = value;
    bool show = false;
    if (ReadJsonBool(text, "show_images", show)) cfg.show_images = show;
    if (ReadJsonInt(text, "window_width", value) && value >= 200) cfg.window_width = value;
    if (ReadJsonInt(text, "window_height", value) && value >= 200) cfg.window_height = value;

    bool watch = true;
    if (ReadJsonBool(text, "watch_all_channels", watch)) {
        cfg.watch_all_channels_present = true;
        cfg.watch_all_channels = watch;
    }

    ReadChannelTable(text, cfg.channels);
    ReadStartChannel(text, cfg);

    // Optional: where the stream server's status document and the image search live. Empty
    // means the built-in choice.
    char url[256] = {};
    if (ReadJsonString(text, "status_url", url, sizeof url)) CopyText(cfg.status_url, View(url));
    std::memset(url, 0, sizeof url);
    if (ReadJsonString(text, "image_search_url", url, sizeof url)) CopyText(cfg.image_search_url, View(url));
    const int origins = ReadJsonStringList(text, "allowed_origins", &cfg.allowed_origins[0][0],
                                           sizeof cfg.allowed_origins[0], MAX_ALLOWED_ORIGINS);
    cfg.allowed_origin_count = origins > 0 ? origins : 0;
    char address[sizeof cfg.listen_address] = {};
    if (ReadJsonString(text, "listen_address", address, sizeof address)) CopyText(cfg.listen_address, View(address));

    // Optional: files for streaming software. Empty means no file is written.
    char file[256] = {};
    if (ReadJsonString(text, "nowplaying_file", file, sizeof file)) CopyText(cfg.nowplaying_file, View(file));
    std::memset(file, 0, sizeof file);
    if (ReadJsonString(text, "cover_file", file, sizeof file)) CopyText(cfg.cover_file, View(file));

    // Optional: the picture sources after the image search and where they live.
    const int names = ReadJsonStringList(text, "cover_sources", &cfg.cover_sources[0][0], sizeof cfg.cover_sources[0],
                                         MAX_COVER_SOURCE_NAMES);
    cfg.cover_sources_present = names >= 0;
    cfg.cover_source_count = names > 0 ? names : 0;
    static_assert(sizeof cfg.itunes_url == sizeof url && sizeof cfg.deezer_url == sizeof url &&
                  sizeof cfg.musicbrainz_url == sizeof url && sizeof cfg.coverartarchive_url == sizeof url &&
                  sizeof cfg.cover_cache_folder == sizeof url);
    const std::pair<const char*, char*> urls[] = {
        {"itunes_url", cfg.itunes_url},
        {"deezer_url", cfg.deezer_url},
        {"musicbrainz_url", cfg.musicbrainz_url},
        {"coverartarchive_url", cfg.coverartarchive_url},
        {"cover_cache_folder", cfg.cover_cache_folder},
    };
    for (const auto& [key, field] : urls) {
        std::memset(url, 0, sizeof url);
        if (ReadJsonString(text, key, url, sizeof url)) CopyText(field, sizeof url, View(url));
    }

    // Optional: the play history's file and how many days of it are kept.
    std::memset(file, 0, sizeof file);
    static_assert(sizeof cfg.history_file == sizeof file);
    cfg.history_file_present = ReadJsonString(text, "history_file", file, sizeof file);
    if (cfg.history_file_present) CopyText(cfg.history_file, View(file));
    if (ReadJsonInt(text, "history_days", value) && value >= 0) cfg.history_days = value;
    // Optional: the Windows desktop companion's switches; anything but true or false is absent.
    const std::pair<const char*, std::int8_t*> flags[] = {
        {"minimize_to_tray", &cfg.minimize_to_tray},
        {"notify_new_title", &cfg.notify_new_title},
        {"start_with_windows", &cfg.start_with_windows},
    };
    for (const auto& [key, field] : flags) {
        bool on = false;
        if (ReadJsonBool(text, key, on)) *field = on ? 1 : 0;
    }
}
