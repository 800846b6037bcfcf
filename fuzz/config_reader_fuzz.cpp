// Arbitrary bytes as config.json: the reader must stay inside its buffers and leave every field
// within its rule, and what the writer makes of the result must read back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_writer.hpp"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

template <std::size_t N>
void CheckTerminated(const char (&text)[N]) { Check(BoundedLength(text, N) < N); }

void CheckRules(const AppConfig& cfg) {
    Check(cfg.rotate_interval_seconds >= 1);
    Check(cfg.port >= 1 && cfg.port <= 65535);
    Check(cfg.window_width >= 200 && cfg.window_height >= 200);
    Check(cfg.channels.count >= 1 && cfg.channels.count <= MAX_CHANNELS);
    Check(cfg.last_channel_index >= 0 && cfg.last_channel_index < cfg.channels.count);
    CheckTerminated(cfg.last_channel);
    CheckTerminated(cfg.status_url);
    CheckTerminated(cfg.image_search_url);
    CheckTerminated(cfg.nowplaying_file);
    CheckTerminated(cfg.cover_file);
    CheckTerminated(cfg.listen_address);
    Check(cfg.cover_source_count >= 0 && cfg.cover_source_count <= MAX_COVER_SOURCE_NAMES);
    Check(cfg.cover_sources_present || cfg.cover_source_count == 0);
    for (int i = 0; i < cfg.cover_source_count; ++i) CheckTerminated(cfg.cover_sources[i]);
    CheckTerminated(cfg.itunes_url);
    CheckTerminated(cfg.coverartarchive_url);
    CheckTerminated(cfg.cover_cache_folder);
    CheckTerminated(cfg.history_file);
    Check(cfg.history_file_present || cfg.history_file[0] == '\0');
    Check(cfg.history_days >= -1);
    Check(cfg.watch_all_channels_present || cfg.watch_all_channels);
    for (const std::int8_t flag : {cfg.minimize_to_tray, cfg.notify_new_title, cfg.start_with_windows}) {
        Check(flag == kFlagAbsent || flag == 0 || flag == 1);
    }
    for (int row = 0; row < cfg.channels.count; ++row) {
        const Channel& c = cfg.channels.entries[row];
        Check(c.id[63] == '\0' && c.endpoint[255] == '\0' && c.logo[255] == '\0');
        const std::u16string_view name = View(c.name);
        Check(name.size() <= 127);
        // Names are whole UTF-16: no surrogate without its partner.
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char16_t u = name[i];
            if (u >= 0xD800 && u <= 0xDBFF) {
                Check(i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF);
                ++i;
            } else {
                Check(u < 0xDC00 || u > 0xDFFF);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kConfigMaxBytes) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = std::make_unique<AppConfig>();
    ParseConfigText(text, *first);
    CheckRules(*first);

    // Writing drops what has no escape (raw control characters) and cuts over-long names, so
    // the first written text may differ from the input; from then on it must be a fixed point.
    const std::string written = FormatConfigText(*first);
    auto second = std::make_unique<AppConfig>();
    ParseConfigText(written, *second);
    CheckRules(*second);
    const std::string rewritten = FormatConfigText(*second);
    auto third = std::make_unique<AppConfig>();
    ParseConfigText(rewritten, *third);
    Check(rewritten == FormatConfigText(*third));
    Check(second->channels.count == first->channels.count);
    return 0;
}
