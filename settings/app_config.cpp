#include "settings/app_config.hpp"

#include <cstring>

#include "common/text.hpp"
#include "platform/exe_dir.hpp"
#include "settings/config_paths.hpp"

#ifndef TOVREL_STATION_HOST
#error "TOVREL_STATION_HOST must name the station's web host"
#endif

namespace {

struct BuiltInChannel {
    const char* id;
    const char16_t* name;
    const char* endpoint;
};

#define TOVREL_ENDPOINT(id) "http://" TOVREL_STATION_HOST "/nowplaying-" id ".txt"

constexpr BuiltInChannel kBuiltInChannels[] = {
    {"ostrel", u"Ostrel", TOVREL_ENDPOINT("ostrel")},
    {"pavo", u"Retro (Pavo)", TOVREL_ENDPOINT("pavo")},
    {"lumo", u"Modern (Lumo)", TOVREL_ENDPOINT("lumo")},
    {"siro", u"Orchestral (Siro)", TOVREL_ENDPOINT("siro")},
    {"orvel", u"Orvel", TOVREL_ENDPOINT("orvel")},
    {"mirel", u"Mirel", TOVREL_ENDPOINT("mirel")},
    {"tenvo", u"Alternative (Tenvo)", TOVREL_ENDPOINT("tenvo")},
    {"kessa", u"Kessa", TOVREL_ENDPOINT("kessa")},
};

#undef TOVREL_ENDPOINT

}  // namespace

void ResetConfigDefaults(AppConfig& cfg) {
    cfg.rotate_interval_seconds = 20;
    cfg.port = 7555;
    cfg.last_channel_index = 0;
    std::memset(cfg.last_channel, 0, sizeof cfg.last_channel);
    CopyText(cfg.last_channel, "ostrel");
    cfg.show_images = true;
    cfg.window_width = 500;
    cfg.window_height = 640;
    cfg.channels.count = static_cast<std::int32_t>(std::size(kBuiltInChannels));
    for (std::size_t i = 0; i < std::size(kBuiltInChannels); ++i) {
        Channel& slot = cfg.channels.entries[i];
        std::memset(&slot, 0, sizeof slot);
        CopyText(slot.id, kBuiltInChannels[i].id);
        CopyText(slot.name, kBuiltInChannels[i].name);
        CopyText(slot.endpoint, kBuiltInChannels[i].endpoint);
    }
    std::memset(cfg.status_url, 0, sizeof cfg.status_url);
    std::memset(cfg.image_search_url, 0, sizeof cfg.image_search_url);
    cfg.allowed_origin_count = 0;
    std::memset(cfg.allowed_origins, 0, sizeof cfg.allowed_origins);
    std::memset(cfg.listen_address, 0, sizeof cfg.listen_address);
    std::memset(cfg.nowplaying_file, 0, sizeof cfg.nowplaying_file);
    std::memset(cfg.cover_file, 0, sizeof cfg.cover_file);
    cfg.cover_sources_present = false;
    cfg.cover_source_count = 0;
    std::memset(cfg.cover_sources, 0, sizeof cfg.cover_sources);
    std::memset(cfg.itunes_url, 0, sizeof cfg.itunes_url);
    std::memset(cfg.deezer_url, 0, sizeof cfg.deezer_url);
    std::memset(cfg.musicbrainz_url, 0, sizeof cfg.musicbrainz_url);
    std::memset(cfg.coverartarchive_url, 0, sizeof cfg.coverartarchive_url);
    std::memset(cfg.cover_cache_folder, 0, sizeof cfg.cover_cache_folder);
    cfg.history_file_present = false;
    std::memset(cfg.history_file, 0, sizeof cfg.history_file);
    cfg.history_days = -1;
    cfg.watch_all_channels_present = false;
    cfg.watch_all_channels = true;
    cfg.minimize_to_tray = kFlagAbsent;
    cfg.notify_new_title = kFlagAbsent;
    cfg.start_with_windows = kFlagAbsent;
}

std::filesystem::path ConfigFilePath() {
    // With the folder unknown the current folder is used, as a bare file name would be.
    return ExecutableDirectory() / "config.json";
}

std::filesystem::path SettingsFilePath(const Settings& settings) {
    // settings.file is set once before any other thread starts, so it is read without the lock.
    return settings.file.empty() ? ConfigFilePath() : settings.file;
}

AppConfig ReadConfig(const Settings& settings) {
    std::lock_guard<std::mutex> guard(settings.lock);
    return settings.config;
}
