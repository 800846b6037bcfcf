#include "settings/config_writer.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <vector>
#include <utility>

#include "common/text.hpp"
#include "platform/file_replace.hpp"

namespace {

std::atomic<ConfigSaveInterruption> gSaveInterruption{nullptr};

void AppendEscaped(std::string& out, std::string_view value) {
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
}

// The text of the file, with where each key and each string value stands and in which scope the
// reader searches for that key: the whole text for a top-level key, the entry's braces for a
// key of a channel entry. The reader takes the first occurrence of a key in double quotes, also
// inside a value, so Finish() spoils that spelling in a value that stands before the key in its
// scope. Everywhere else the values keep the plain escapes, and the file stays valid JSON.
class ConfigTextWriter {
public:
    void Raw(std::string_view text) { out_ += text; }

    void Key(std::string_view indent, std::string_view key) {
        out_ += indent;
        out_ += '"';
        keys_.push_back({key, out_.size(), scope_});
        out_ += key;
        out_ += "\": ";
    }

    void String(std::string_view value) {
        out_ += '"';
        const std::size_t begin = out_.size();
        AppendEscaped(out_, value);
        values_.push_back({begin, out_.size(), scope_});
        out_ += '"';
    }

    void Int(std::int32_t value) {
        char digits[16];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        out_.append(digits, result.ptr);
    }

    void OpenEntry() { scope_ = ++entries_; }
    void CloseEntry() { scope_ = kTopLevel; }

    std::string Finish() {
        // Backwards, so that an inserted backslash does not move the values still to be looked at.
        for (auto value = values_.rbegin(); value != values_.rend(); ++value) {
            const std::size_t at = HijackedKeyLetter(*value);
            if (at != std::string::npos) out_.insert(at, 1, '\\');
        }
        return std::move(out_);
    }

private:
    static constexpr int kTopLevel = 0;
    struct Mark {
        std::size_t begin;  // first character of the escaped value, or of the key
        std::size_t end;
        int scope;
    };
    struct KeyMark {
        std::string_view key;
        std::size_t begin;
        int scope;
    };

    // Inside a written value every double quote is escaped, so a key in quotes can only form
    // where the value ends in that key right after its opening quote or an escaped quote: the
    // closing quote completes the pattern. Returns where to put a backslash before one letter of
    // the key (the reader turns it back into the letter), or npos when no key later in the
    // value's scope is spelt.
    std::size_t HijackedKeyLetter(const Mark& value) const {
        const std::string_view written = std::string_view(out_).substr(value.begin, value.end - value.begin);
        const std::size_t quote = written.rfind('"');
        const std::string_view tail = quote == std::string_view::npos ? written : written.substr(quote + 1);
        for (const KeyMark& key : keys_) {
            if (key.begin < value.end || (key.scope != kTopLevel && key.scope != value.scope) || key.key != tail) {
                continue;
            }
            // Not n, r, t or u: those escapes mean something else.
            const std::size_t letter = tail.find_first_not_of("nrtu");
            if (letter == std::string_view::npos) return std::string::npos;
            return value.end - tail.size() + letter;
        }
        return std::string::npos;
    }

    std::string out_;
    std::vector<KeyMark> keys_;
    std::vector<Mark> values_;
    int scope_ = kTopLevel;
    int entries_ = 0;
};

void StringLine(ConfigTextWriter& w, std::string_view indent, std::string_view key, std::string_view value,
                bool comma) {
    w.Key(indent, key);
    w.String(value);
    w.Raw(comma ? ",\r\n" : "\r\n");
}

void IntLine(ConfigTextWriter& w, std::string_view key, std::int32_t value) {
    w.Key("  ", key);
    w.Int(value);
    w.Raw(",\r\n");
}

// The optional keys of the picture sources, each only when present.
void CoverSourceLines(ConfigTextWriter& w, const AppConfig& cfg) {
    if (cfg.cover_sources_present) {
        w.Key("  ", "cover_sources");
        w.Raw("[");
        const int count = std::clamp<int>(cfg.cover_source_count, 0, MAX_COVER_SOURCE_NAMES);
        for (int i = 0; i < count; ++i) {
            if (i > 0) w.Raw(", ");
            w.String(View(cfg.cover_sources[i]));
        }
        w.Raw("],\r\n");
    }
    const std::pair<std::string_view, std::string_view> lines[] = {
        {"itunes_url", View(cfg.itunes_url)},
        {"deezer_url", View(cfg.deezer_url)},
        {"musicbrainz_url", View(cfg.musicbrainz_url)},
        {"coverartarchive_url", View(cfg.coverartarchive_url)},
        {"cover_cache_folder", View(cfg.cover_cache_folder)},
    };
    for (const auto& [key, value] : lines) {
        if (!value.empty()) StringLine(w, "  ", key, value, true);
    }
}

// The optional switches of the Windows desktop companion, each only when present.
void DesktopFlagLines(ConfigTextWriter& w, const AppConfig& cfg) {
    const std::pair<std::string_view, std::int8_t> flags[] = {
        {"minimize_to_tray", cfg.minimize_to_tray},
        {"notify_new_title", cfg.notify_new_title},
        {"start_with_windows", cfg.start_with_windows},
    };
    for (const auto& [key, flag] : flags) {
        if (flag == kFlagAbsent) continue;
        w.Key("  ", key);
        w.Raw(flag != 0 ? "true,\r\n" : "false,\r\n");
    }
}

}  // namespace

std::string FormatConfigText(const AppConfig& cfg) {
    ConfigTextWriter w;
    w.Raw("{\r\n");
    IntLine(w, "rotate_interval_seconds", cfg.rotate_interval_seconds);
    IntLine(w, "port", cfg.port);
    StringLine(w, "  ", "last_channel", View(cfg.last_channel), true);
    w.Key("  ", "show_images");
    w.Raw(cfg.show_images ? "true,\r\n" : "false,\r\n");
    IntLine(w, "window_width", cfg.window_width > 0 ? cfg.window_width : 500);
    IntLine(w, "window_height", cfg.window_height > 0 ? cfg.window_height : 640);
    if (cfg.status_url[0] != '\0') StringLine(w, "  ", "status_url", View(cfg.status_url), true);
    if (cfg.image_search_url[0] != '\0') StringLine(w, "  ", "image_search_url", View(cfg.image_search_url), true);
    const int origins = std::clamp<int>(cfg.allowed_origin_count, 0, MAX_ALLOWED_ORIGINS);
    if (origins > 0) {
        w.Key("  ", "allowed_origins");
        w.Raw("[\r\n");
        for (int i = 0; i < origins; ++i) {
            w.Raw("    ");
            w.String(View(cfg.allowed_origins[i]));
            w.Raw(i + 1 < origins ? ",\r\n" : "\r\n");
        }
        w.Raw("  ],\r\n");
    }
    if (cfg.listen_address[0] != '\0') StringLine(w, "  ", "listen_address", View(cfg.listen_address), true);
    if (cfg.nowplaying_file[0] != '\0') StringLine(w, "  ", "nowplaying_file", View(cfg.nowplaying_file), true);
    if (cfg.cover_file[0] != '\0') StringLine(w, "  ", "cover_file", View(cfg.cover_file), true);
    CoverSourceLines(w, cfg);
    if (cfg.history_file_present) StringLine(w, "  ", "history_file", View(cfg.history_file), true);
    if (cfg.history_days >= 0) IntLine(w, "history_days", cfg.history_days);
    if (cfg.watch_all_channels_present) {
        w.Key("  ", "watch_all_channels");
        w.Raw(cfg.watch_all_channels ? "true,\r\n" : "false,\r\n");
    }
    DesktopFlagLines(w, cfg);
    w.Key("  ", "channels");
    w.Raw("[\r\n");
    const int count = cfg.channels.count < MAX_CHANNELS ? cfg.channels.count : MAX_CHANNELS;
    for (int row = 0; row < count; ++row) {
        const Channel& channel = cfg.channels.entries[row];
        // The UTF-8 form is cut to 255 bytes at a whole character, as the reader's name buffer
        // holds no more.
        char name[256];
        Utf16ToUtf8(View(channel.name), name);
        w.Raw("    {\r\n");
        w.OpenEntry();
        StringLine(w, "      ", "id", View(channel.id), true);
        StringLine(w, "      ", "name", View(name), true);
        const bool logo = channel.logo[0] != '\0';
        StringLine(w, "      ", "endpoint", View(channel.endpoint), logo);
        if (logo) StringLine(w, "      ", "logo", View(channel.logo), false);
        w.CloseEntry();
        w.Raw(row + 1 < count ? "    },\r\n" : "    }\r\n");
    }
    w.Raw("  ]\r\n");
    w.Raw("}\r\n");
    return w.Finish();
}

void SetConfigSaveInterruptionForTest(ConfigSaveInterruption hook) { gSaveInterruption.store(hook); }

bool WriteConfigFile(const std::filesystem::path& path, const AppConfig& cfg) noexcept {
    try {
        // A config.json that is a symbolic link stays one: the file it names is replaced.
        const std::filesystem::path target = LinkTargetOf(path);
        // The replace below would ignore the read-only bit of the old file, which the user set to
        // keep the file as it is.
        if (IsReadOnlyFile(target)) return false;
        const std::string text = FormatConfigText(cfg);
        const std::filesystem::path temp = TempFileBeside(target);
        if (WriteNewFileDurably(temp, text)) {
            const ConfigSaveInterruption interruption = gSaveInterruption.load();
            if (interruption != nullptr && !interruption(temp)) return false;
            if (ReplaceFileAtomically(temp, target)) return true;
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
        }
        // A folder that takes no new file (or refuses the replace) may still hold a writable
        // config.json: the change then reaches the file in place rather than living only in memory.
        return OverwriteFileInPlace(target, text);
    } catch (...) {
        return false;  // out of memory: the record keeps the change, as for any failed write
    }
}
