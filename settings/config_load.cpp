#include <fstream>
#include <memory>
#include <string>

#include "settings/app_config.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_paths.hpp"

namespace {

enum class ReadResult { Text, NotOpened, Ignored };

// Reads the whole file when its size is within the limits. A size outside them, or one that
// cannot be found, leaves the file alone: it may be a file the user is still editing.
ReadResult ReadConfigText(const std::filesystem::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return ReadResult::NotOpened;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < static_cast<std::streamoff>(kConfigMinBytes) || size > static_cast<std::streamoff>(kConfigMaxBytes)) {
        return ReadResult::Ignored;
    }
    in.seekg(0, std::ios::beg);
    // A file that shrank since its size was taken gives fewer bytes; only those are used.
    text.assign(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), size);
    text.resize(static_cast<std::size_t>(in.gcount()));
    return ReadResult::Text;
}

}  // namespace

void LoadConfig(Settings& settings) {
    // Held for the whole load so that a save on another thread cannot slip in between reading
    // the file and publishing the record (its change would be lost from memory).
    std::lock_guard<std::mutex> saveGuard(settings.saveLock);
    const std::filesystem::path path = SettingsFilePath(settings);

    auto fresh = std::make_unique<AppConfig>();
    std::string text;
    switch (ReadConfigText(path, text)) {
        case ReadResult::Text:
            ParseConfigText(text, *fresh);
            break;
        case ReadResult::NotOpened:
            ResetConfigDefaults(*fresh);
            WriteConfigFile(path, *fresh);
            break;
        case ReadResult::Ignored:
            ResetConfigDefaults(*fresh);
            break;
    }
    // Other threads read the table under this lock: they see the old record or the new one,
    // never a table half replaced.
    std::lock_guard<std::mutex> guard(settings.lock);
    settings.config = *fresh;
}
