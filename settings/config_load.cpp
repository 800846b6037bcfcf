#include <chrono>
#include <system_error>
#include <memory>
#include <new>
#include <string>

#include "platform/file_read.hpp"
#include "settings/app_config.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_paths.hpp"

namespace {

enum class ReadResult { Text, NotOpened, Ignored };

// Reads the whole file when its size is within the limits. A size outside them, or one that
// cannot be found, leaves the file alone: it may be a file the user is still editing.
ReadResult ReadConfigText(const std::filesystem::path& path, std::string& text) {
    // A file that shrank since its size was taken gives fewer bytes; only those are used. No
    // memory for the text: the defaults stay.
    switch (ReadSmallFile(path, kConfigMinBytes, kConfigMaxBytes, text)) {
        case SmallFileRead::kRead:
            return ReadResult::Text;
        case SmallFileRead::kNotOpened:
            return ReadResult::NotOpened;
        case SmallFileRead::kSizeOutside:
        case SmallFileRead::kFailed:
            break;
    }
    return ReadResult::Ignored;
}

// A save that was interrupted between writing its temporary file and the replace leaves that
// file behind ("config.json.<pid>-<n>.tmp"). Those of other processes that are older than a
// save could take are removed; a young one may belong to a save under way right now. Names are
// compared in the system's own form: turning a name into 8-bit text throws when it is not valid
// UTF-16, and a stray file must never stop the start. A file that cannot be looked at is skipped.
void RemoveStaleTempFiles(const std::filesystem::path& config) noexcept {
    namespace fs = std::filesystem;
    using Name = fs::path::string_type;
    constexpr auto kStaleAfter = std::chrono::minutes(1);
    try {
        const Name prefix = config.filename().native() + fs::path(".").native();
        const Name suffix = fs::path(".tmp").native();
        const auto now = fs::file_time_type::clock::now();
        const fs::path folder = config.parent_path().empty() ? fs::path(".") : config.parent_path();
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const Name name = it->path().filename().native();
            if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            std::error_code fileEc;
            const auto written = fs::last_write_time(it->path(), fileEc);
            if (!fileEc && now - written > kStaleAfter && it->is_regular_file(fileEc)) fs::remove(it->path(), fileEc);
        }
    } catch (...) {
        // Out of memory while listing the folder: the leftovers wait for the next start.
    }
}

}  // namespace

void LoadConfig(Settings& settings) {
    // Held for the whole load so that a save on another thread cannot slip in between reading
    // the file and publishing the record (its change would be lost from memory).
    std::lock_guard<std::mutex> saveGuard(settings.saveLock);
    const std::filesystem::path path = SettingsFilePath(settings);
    RemoveStaleTempFiles(path);

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
