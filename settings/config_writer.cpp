#include "settings/config_writer.hpp"

#include <atomic>
#include <charconv>
#include <utility>

#include "common/text.hpp"
#include "platform/file_replace.hpp"

namespace {

std::atomic<ConfigSaveInterruption> gSaveInterruption{nullptr};

void AppendInt(std::string& out, std::int32_t value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// Every key the reader looks for. The reader finds a key in double quotes anywhere in the text,
// also inside a value.
constexpr std::string_view kReaderKeys[] = {
    "rotate_interval_seconds", "port", "last_channel", "last_channel_index", "show_images",
    "window_width", "window_height", "status_url", "image_search_url", "channels",
    "id", "name", "endpoint", "logo", "cover_sources", "itunes_url", "deezer_url", "musicbrainz_url",
    "coverartarchive_url", "cover_cache_folder",
};

void AppendEscaped(std::string& out, std::string_view value) {
    const std::size_t start = out.size();
    for (const char c : value) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                // The reader has no escape for the other control characters, and raw ones would
                // make the file invalid JSON.
                if (static_cast<unsigned char>(c) >= 0x20) out += c;
                break;
        }
    }
    // Inside a value every double quote is escaped, so the only way for a key in quotes to
    // appear is a value that ends in a key right after its opening quote or an escaped quote:
    // the closing quote completes the pattern, and the reader would take it for the key (a
    // channel named "endpoint" would lose its entry). One letter of that key is written as an
    // escape, which the reader turns back into the letter itself.
    const std::string_view written = std::string_view(out).substr(start);
    for (const std::string_view key : kReaderKeys) {
        if (written.size() < key.size() || written.substr(written.size() - key.size()) != key) continue;
        const std::size_t keyStart = written.size() - key.size();
        if (keyStart != 0 && written[keyStart - 1] != '"') continue;
        // Not n, r, t or u: those escapes mean something else.
        const std::size_t letter = key.find_first_not_of("nrtu");
        out.insert(start + keyStart + letter, 1, '\\');
        break;
    }
}

void AppendStringLine(std::string& out, std::string_view indentAndKey, std::string_view value, bool comma) {
    out += indentAndKey;
    out += '"';
    AppendEscaped(out, value);
    out += comma ? "\",\r\n" : "\"\r\n";
}

void AppendIntLine(std::string& out, std::string_view indentAndKey, std::int32_t value) {
    out += indentAndKey;
    AppendInt(out, value);
    out += ",\r\n";
}

// The optional keys of the picture sources, each only when present.
void AppendCoverSourceLines(std::string& out, const AppConfig& cfg) {
    if (cfg.cover_sources_present) {
        out += "  \"cover_sources\": [";
        const int count = cfg.cover_source_count < MAX_COVER_SOURCE_NAMES ? cfg.cover_source_count : MAX_COVER_SOURCE_NAMES;
        for (int i = 0; i < count; ++i) {
            out += i == 0 ? "\"" : ", \"";
            AppendEscaped(out, View(cfg.cover_sources[i]));
            out += '"';
        }
        out += "],\r\n";
    }
    const std::pair<std::string_view, std::string_view> lines[] = {
        {"  \"itunes_url\": ", View(cfg.itunes_url)},
        {"  \"deezer_url\": ", View(cfg.deezer_url)},
        {"  \"musicbrainz_url\": ", View(cfg.musicbrainz_url)},
        {"  \"coverartarchive_url\": ", View(cfg.coverartarchive_url)},
        {"  \"cover_cache_folder\": ", View(cfg.cover_cache_folder)},
    };
    for (const auto& [key, value] : lines) {
        if (!value.empty()) AppendStringLine(out, key, value, true);
    }
}

}  // namespace

std::string FormatConfigText(const AppConfig& cfg) {
    std::string out;
    out.reserve(1024);
    out += "{\r\n";
    AppendIntLine(out, "  \"rotate_interval_seconds\": ", cfg.rotate_interval_seconds);
    AppendIntLine(out, "  \"port\": ", cfg.port);
    AppendStringLine(out, "  \"last_channel\": ", View(cfg.last_channel), true);
    out += cfg.show_images ? "  \"show_images\": true,\r\n" : "  \"show_images\": false,\r\n";
    AppendIntLine(out, "  \"window_width\": ", cfg.window_width > 0 ? cfg.window_width : 500);
    AppendIntLine(out, "  \"window_height\": ", cfg.window_height > 0 ? cfg.window_height : 640);
    if (cfg.status_url[0] != '\0') AppendStringLine(out, "  \"status_url\": ", View(cfg.status_url), true);
    if (cfg.image_search_url[0] != '\0') {
        AppendStringLine(out, "  \"image_search_url\": ", View(cfg.image_search_url), true);
    }
    AppendCoverSourceLines(out, cfg);
    out += "  \"channels\": [\r\n";
    const int count = cfg.channels.count < MAX_CHANNELS ? cfg.channels.count : MAX_CHANNELS;
    for (int row = 0; row < count; ++row) {
        const Channel& channel = cfg.channels.entries[row];
        // The UTF-8 form is cut to 255 bytes at a whole character, as the reader's name buffer
        // holds no more.
        char name[256];
        Utf16ToUtf8(View(channel.name), name);
        out += "    {\r\n";
        AppendStringLine(out, "      \"id\": ", View(channel.id), true);
        AppendStringLine(out, "      \"name\": ", View(name), true);
        const bool logo = channel.logo[0] != '\0';
        AppendStringLine(out, "      \"endpoint\": ", View(channel.endpoint), logo);
        if (logo) AppendStringLine(out, "      \"logo\": ", View(channel.logo), false);
        out += row + 1 < count ? "    },\r\n" : "    }\r\n";
    }
    out += "  ]\r\n";
    out += "}\r\n";
    return out;
}

void SetConfigSaveInterruptionForTest(ConfigSaveInterruption hook) { gSaveInterruption.store(hook); }

bool WriteConfigFile(const std::filesystem::path& path, const AppConfig& cfg) {
    // The replace below would ignore the read-only bit of the old file, which the user set to
    // keep the file as it is.
    if (IsReadOnlyFile(path)) return false;
    const std::string text = FormatConfigText(cfg);
    const std::filesystem::path temp = TempFileBeside(path);
    if (!WriteNewFileDurably(temp, text)) return false;
    const ConfigSaveInterruption interruption = gSaveInterruption.load();
    if (interruption != nullptr && !interruption(temp)) return false;
    if (!ReplaceFileAtomically(temp, path)) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return false;
    }
    return true;
}
