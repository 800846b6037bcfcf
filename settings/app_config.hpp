// The settings record with its channel table, and the process-wide store that guards it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>

constexpr int MAX_CHANNELS = 32;
constexpr int MAX_ALLOWED_ORIGINS = 8;
constexpr int MAX_COVER_SOURCE_NAMES = 8;

// One fixed-size slot of the channel table: text only, no pointers.
struct Channel {
    char id[64];          // 8-bit text, at most 63 bytes
    char16_t name[128];   // UTF-16, at most 127 units
    char endpoint[256];   // full URL of the plain-text now-playing endpoint, at most 255 bytes
    char logo[256];       // optional: a picture file beside the program or an http(s) address; empty = none
};

struct ChannelTable {
    std::int32_t count;                 // 1 to MAX_CHANNELS
    Channel entries[MAX_CHANNELS];      // slots from count on are never read
};

struct AppConfig {
    std::int32_t rotate_interval_seconds;
    std::int32_t port;
    std::int32_t last_channel_index;
    char last_channel[64];
    bool show_images;
    std::int32_t window_width;
    std::int32_t window_height;
    ChannelTable channels;
    // Optional keys, written back only when set (empty = not present in the file).
    char status_url[256];
    char image_search_url[256];
    // Pages of other sites ("https://radio.example.org") that may change the state through the
    // web API: the first allowed_origin_count entries. Written back only when there is one.
    std::int32_t allowed_origin_count;
    char allowed_origins[MAX_ALLOWED_ORIGINS][256];
    // The one IPv4 address the web server listens on ("127.0.0.1": this machine only). Empty, or
    // text that is not an address (kept as read, so that a save writes it back): every interface.
    char listen_address[64];
    // Files for streaming software: the title on air and the picture on show (UTF-8 paths,
    // relative to the program's folder or absolute).
    char nowplaying_file[256];
    char cover_file[256];
    // The picture sources after the image search, in the order asked. cover_sources_present is
    // false when the key is absent (every source, in the built-in order); an empty list that is
    // present switches the search off. Names are kept as read, unknown ones included, so that a
    // save writes back what the file held.
    bool cover_sources_present;
    std::int32_t cover_source_count;
    char cover_sources[MAX_COVER_SOURCE_NAMES][32];
    char itunes_url[256];
    char deezer_url[256];
    char musicbrainz_url[256];
    char coverartarchive_url[256];
    char cover_cache_folder[256];  // UTF-8; empty = pictures are cached in memory only
    // The play history's file (UTF-8, relative to the folder of config.json or absolute): absent
    // means history.sqlite3 there; present and empty keeps the history in memory only.
    bool history_file_present;
    char history_file[256];
    std::int32_t history_days;  // days of plays kept, 0 = all; -1 = absent (90)
    // Whether every channel's title and listeners are followed, not only the channel on show's
    // (true when the key is absent; written back only when it was present).
    bool watch_all_channels_present;
    bool watch_all_channels;
    // The Windows desktop companion's switches: kFlagAbsent when the key is not in the file (the
    // default applies and nothing is written back), else 0 or 1 as read.
    std::int8_t minimize_to_tray;    // default off: minimising leaves the window on the taskbar
    std::int8_t notify_new_title;    // default off: no notification for a new title
    std::int8_t start_with_windows;  // absent: the Run value is left as the user or Windows set it
};

constexpr std::int8_t kFlagAbsent = -1;
// A switch's value: its default when the key is absent.
inline bool FlagOn(std::int8_t flag, bool absentValue = false) { return flag == kFlagAbsent ? absentValue : flag != 0; }

// The one AppConfig of the process with the lock that keeps a reload and the savers on two
// threads apart. Readers on threads other than the main thread copy what they need under `lock`.
struct Settings {
    mutable std::mutex lock;    // guards config
    AppConfig config{};
    std::filesystem::path file; // config.json; empty means ConfigFilePath(). Set before other threads start.
    std::mutex saveLock;        // serialises writes of the file
};

// Fills cfg with the defaults and the built-in channel table.
void ResetConfigDefaults(AppConfig& cfg);

// config.json beside the executable.
std::filesystem::path ConfigFilePath();

// Resets to the defaults, then applies settings.file (creating it with the defaults when it
// cannot be opened). The new record is published in one step under settings.lock.
void LoadConfig(Settings& settings);

// Writes cfg to path in the fixed layout, through a temporary file and an atomic replace; in
// place when the folder takes no new file but the file is writable. A symbolic link stays a
// link (the file it names is written). A read-only file is left as it is. Returns false when
// the file was not written.
bool WriteConfigFile(const std::filesystem::path& path, const AppConfig& cfg) noexcept;

// The save operations: each updates the record under settings.lock and rewrites the file; the
// record keeps the change even when the file cannot be written. SaveLastChannel does nothing
// for an index outside [0, count); StoreWindowSize nothing for a side below 200 or the size
// already stored.
void SaveLastChannel(Settings& settings, int currentChannelIndex);
void SaveShowImages(Settings& settings, bool show);
void StoreWindowSize(Settings& settings, int width, int height);
// Saves start_with_windows only when the key is present in the record (see AppConfig).
void SaveStartWithWindows(Settings& settings, bool on);

// A consistent copy of the record, taken under settings.lock.
AppConfig ReadConfig(const Settings& settings);
