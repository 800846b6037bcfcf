// config.json on disk: creation with the defaults, the exact default bytes, size limits, the
// save operations, the read-only file and a save interrupted before the replace.
#include <gtest/gtest.h>

#include <chrono>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "platform/exe_dir.hpp"
#include "platform/file_replace.hpp"
#include "settings/app_config.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_writer.hpp"
#include "tests/support/test_support.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        settings = std::make_unique<Settings>();
        settings->file = dir / "config.json";
    }
    void TearDown() override {
        SetConfigSaveInterruptionForTest(nullptr);
        SetNewFilesRefusedForTest(false);
    }

    const fs::path& File() const { return settings->file; }
    std::string Bytes() const { return ReadFileBytes(File()); }
    AppConfig Config() const { return ReadConfig(*settings); }
    int FilesInFolder() const {
        int n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++n;
        return n;
    }
    void MakeReadOnly() {
        fs::permissions(File(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }

    TempDir dir;
    std::unique_ptr<Settings> settings;
};

std::string GoldenDefaultFile() {
    std::string golden = ReadFileBytes(SourcePath("tests/data/config_default.json"));
    // The golden file is written for the default station host; a build for another station
    // carries its own.
    const std::string placeholder = "radio.tovrel.example";
    for (std::size_t pos = golden.find(placeholder); pos != std::string::npos;
         pos = golden.find(placeholder, pos + 1)) {
        golden.replace(pos, placeholder.size(), TOVREL_STATION_HOST);
    }
    return golden;
}

bool SameRecord(const AppConfig& a, const AppConfig& b) {
    if (a.rotate_interval_seconds != b.rotate_interval_seconds || a.port != b.port ||
        a.last_channel_index != b.last_channel_index || View(a.last_channel) != View(b.last_channel) ||
        a.show_images != b.show_images || a.window_width != b.window_width || a.window_height != b.window_height ||
        View(a.status_url) != View(b.status_url) || View(a.image_search_url) != View(b.image_search_url) ||
        View(a.nowplaying_file) != View(b.nowplaying_file) || View(a.cover_file) != View(b.cover_file) ||
        View(a.listen_address) != View(b.listen_address) ||
        a.watch_all_channels_present != b.watch_all_channels_present || a.watch_all_channels != b.watch_all_channels ||
        a.channels.count != b.channels.count) {
        return false;
    }
    for (int row = 0; row < a.channels.count; ++row) {
        const Channel& x = a.channels.entries[row];
        const Channel& y = b.channels.entries[row];
        if (View(x.id) != View(y.id) || View(x.name) != View(y.name) || View(x.endpoint) != View(y.endpoint)) {
            return false;
        }
    }
    return true;
}

TEST_F(SettingsFile, MissingFileIsCreatedWithTheExactDefaultLayout) {
    ASSERT_FALSE(fs::exists(File()));
    LoadConfig(*settings);
    const std::string golden = GoldenDefaultFile();
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(Bytes(), golden);
    EXPECT_EQ(FilesInFolder(), 1);  // no temporary file left behind

    auto defaults = std::make_unique<AppConfig>();
    ResetConfigDefaults(*defaults);
    EXPECT_TRUE(SameRecord(Config(), *defaults));

    // Read back: the same record, and the file is not rewritten by loading.
    LoadConfig(*settings);
    EXPECT_TRUE(SameRecord(Config(), *defaults));
    EXPECT_EQ(Bytes(), golden);
}

TEST_F(SettingsFile, SavedRecordReadsBackIdentically) {
    ASSERT_TRUE(WriteFileBytes(File(),
                               "{\"port\": 8123, \"rotate_interval_seconds\": 7, \"status_url\": \"http://s/x\",\n"
                               "\"listen_address\": \"127.0.0.1\",\n"
                               "\"channels\": [{\"id\": \"a\\\\b\", \"name\": \"T\\tab \\\"q\\\" \xE2\x82\xAC\", "
                               "\"endpoint\": \"http://e/a\"}, {\"id\": \"zz\", \"name\": \"Z\", \"endpoint\": \"e\"}]}"));
    LoadConfig(*settings);
    StoreWindowSize(*settings, 800, 600);
    SaveLastChannel(*settings, 1);
    SaveShowImages(*settings, false);
    const AppConfig saved = Config();
    EXPECT_EQ(saved.port, 8123);
    EXPECT_EQ(saved.channels.count, 2);

    auto again = std::make_unique<Settings>();
    again->file = File();
    LoadConfig(*again);
    EXPECT_TRUE(SameRecord(ReadConfig(*again), saved));
    EXPECT_EQ(View(ReadConfig(*again).channels.entries[0].name), u"T\tab \"q\" \u20ac");
    EXPECT_EQ(ReadConfig(*again).last_channel_index, 1);
}

TEST_F(SettingsFile, SizeLimits) {
    // Ten bytes: ignored and left as they are, although they hold a valid port.
    ASSERT_TRUE(WriteFileBytes(File(), "{\"port\":1}"));
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 7555);
    EXPECT_EQ(Bytes(), "{\"port\":1}");

    // Eleven bytes of white space and braces are read and change nothing.
    ASSERT_TRUE(WriteFileBytes(File(), "{ \r\n \t  }\r\n"));
    LoadConfig(*settings);
    EXPECT_EQ(Config().channels.count, 8);
    EXPECT_EQ(Bytes(), "{ \r\n \t  }\r\n");

    // 262144 bytes are read; one more and the file is ignored and untouched.
    std::string big = "{\"port\": 8001}";
    big.resize(kConfigMaxBytes, ' ');
    ASSERT_TRUE(WriteFileBytes(File(), big));
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 8001);
    big += ' ';
    ASSERT_TRUE(WriteFileBytes(File(), big));
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 7555);
    EXPECT_EQ(Bytes(), big);

    // The next save replaces it with the record.
    SaveShowImages(*settings, true);
    EXPECT_EQ(Bytes(), GoldenDefaultFile());

    // A folder in the file's place: the defaults, and the folder stays.
    fs::remove(File());
    fs::create_directory(File());
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 7555);
    EXPECT_TRUE(fs::is_directory(File()));
#ifndef _WIN32
    // A pipe in its place: the defaults at once (a plain open would wait for a writer forever).
    fs::remove(File());
    ASSERT_EQ(mkfifo(File().c_str(), 0600), 0);
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 7555);
    EXPECT_EQ(fs::status(File()).type(), fs::file_type::fifo);
#endif
}

TEST_F(SettingsFile, SaveLastChannelTakesTheWindowsIndex) {
    ASSERT_TRUE(WriteFileBytes(File(), "{\"last_channel\": \"PAVO\", \"port\": 9000}"));
    LoadConfig(*settings);
    EXPECT_EQ(Config().last_channel_index, 1);
    const std::string before = Bytes();

    SaveLastChannel(*settings, -1);
    SaveLastChannel(*settings, 8);
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(View(Config().last_channel), "PAVO");

    // The table's own spelling goes into the file.
    SaveLastChannel(*settings, 1);
    EXPECT_EQ(View(Config().last_channel), "pavo");
    EXPECT_NE(Bytes().find("  \"last_channel\": \"pavo\",\r\n"), std::string::npos);
    EXPECT_NE(Bytes().find("  \"port\": 9000,\r\n"), std::string::npos);

    SaveLastChannel(*settings, 7);
    EXPECT_EQ(Config().last_channel_index, 7);
    EXPECT_NE(Bytes().find("\"last_channel\": \"kessa\""), std::string::npos);
}

TEST_F(SettingsFile, WindowSizeAndPicturesSwitch) {
    LoadConfig(*settings);
    fs::remove(File());

    // Too small, or the size already stored: nothing is written.
    StoreWindowSize(*settings, 199, 800);
    StoreWindowSize(*settings, 800, 199);
    StoreWindowSize(*settings, 500, 640);
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(Config().window_width, 500);

    StoreWindowSize(*settings, 800, 600);
    EXPECT_EQ(Config().window_width, 800);
    EXPECT_EQ(Config().window_height, 600);
    EXPECT_NE(Bytes().find("  \"window_width\": 800,\r\n  \"window_height\": 600,\r\n"), std::string::npos);

    // The pictures switch writes even when the value is unchanged.
    fs::remove(File());
    SaveShowImages(*settings, true);
    EXPECT_NE(Bytes().find("  \"show_images\": true,\r\n"), std::string::npos);
    SaveShowImages(*settings, false);
    EXPECT_FALSE(Config().show_images);
    EXPECT_NE(Bytes().find("  \"show_images\": false,\r\n"), std::string::npos);
    EXPECT_EQ(FilesInFolder(), 1);
}

TEST_F(SettingsFile, StartWithWindowsIsSavedOnlyWhenPresent) {
    LoadConfig(*settings);
    fs::remove(File());
    SaveStartWithWindows(*settings, true);
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(Config().start_with_windows, kFlagAbsent);

    ASSERT_TRUE(WriteFileBytes(File(), "{\"start_with_windows\": false}"));
    LoadConfig(*settings);
    SaveStartWithWindows(*settings, true);
    EXPECT_EQ(Config().start_with_windows, 1);
    EXPECT_NE(Bytes().find("  \"start_with_windows\": true,\r\n"), std::string::npos);
    SaveStartWithWindows(*settings, false);
    EXPECT_NE(Bytes().find("  \"start_with_windows\": false,\r\n"), std::string::npos);
}

TEST_F(SettingsFile, ReadOnlyFileIsLeftAsItIs) {
    ASSERT_TRUE(WriteFileBytes(File(), "{\"port\": 9100, \"show_images\": true}"));
    MakeReadOnly();
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 9100);

    SaveShowImages(*settings, false);
    StoreWindowSize(*settings, 900, 700);
    SaveLastChannel(*settings, 2);
    // Memory follows every save; the file stays.
    EXPECT_FALSE(Config().show_images);
    EXPECT_EQ(Config().window_width, 900);
    EXPECT_EQ(Config().last_channel_index, 2);
    EXPECT_EQ(Bytes(), "{\"port\": 9100, \"show_images\": true}");
    EXPECT_EQ(FilesInFolder(), 1);
}

TEST_F(SettingsFile, SaveInterruptedBeforeTheReplaceKeepsTheOldFile) {
    LoadConfig(*settings);
    const std::string before = Bytes();
    static fs::path leftOver;
    SetConfigSaveInterruptionForTest([](const fs::path& temp) {
        leftOver = temp;
        return false;
    });
    SaveShowImages(*settings, false);
    StoreWindowSize(*settings, 1000, 1000);
    EXPECT_EQ(Bytes(), before);
    // The new text had been written whole before the "crash".
    EXPECT_NE(ReadFileBytes(leftOver).find("\"window_width\": 1000,"), std::string::npos);
    EXPECT_EQ(leftOver.parent_path(), File().parent_path());

    // A restart reads the old file; the stray temporary file does not disturb later saves.
    auto restarted = std::make_unique<Settings>();
    restarted->file = File();
    LoadConfig(*restarted);
    EXPECT_TRUE(ReadConfig(*restarted).show_images);
    SetConfigSaveInterruptionForTest(nullptr);
    SaveShowImages(*restarted, false);
    EXPECT_NE(Bytes().find("\"show_images\": false,"), std::string::npos);

    // A start removes leftovers older than a save could take, and keeps a young one (it may
    // belong to a save under way) and files that merely look alike.
    const fs::path young = File().string() + ".999999-0.tmp";
    const fs::path other = dir / "config.json.keep";
    ASSERT_TRUE(WriteFileBytes(young, "x"));
    ASSERT_TRUE(WriteFileBytes(other, "x"));
    // Nothing stray stops the start: a folder named like a leftover, and names that are not
    // valid text (not valid UTF-16 on Windows, not valid UTF-8 elsewhere).
    const fs::path folderLike = File().string() + ".999998-0.tmp";
    ASSERT_TRUE(fs::create_directory(folderLike));
#ifdef _WIN32
    const wchar_t lone = 0xD800;
    const fs::path badNames[] = {dir.path() / (L"x" + std::wstring(1, lone) + L"y"),
                                 File().wstring() + L"." + std::wstring(1, lone) + L".tmp"};
#else
    const fs::path badNames[] = {dir / "x\xFFy", File().string() + ".\xC3.tmp"};
#endif
    std::vector<fs::path> strays;  // Wine cannot store a name with a lone surrogate
    for (const fs::path& bad : badNames) {
        if (WriteFileBytes(bad, "x")) strays.push_back(bad);
    }
    const auto longAgo = fs::file_time_type::clock::now() - std::chrono::minutes(5);
    fs::last_write_time(leftOver, longAgo);
    std::error_code ignored;  // the Windows runtime cannot date a folder
    fs::last_write_time(folderLike, longAgo, ignored);
    LoadConfig(*restarted);
    EXPECT_FALSE(ReadConfig(*restarted).show_images);
    EXPECT_FALSE(fs::exists(leftOver));
    EXPECT_TRUE(fs::exists(young));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_TRUE(fs::exists(folderLike));
    for (const fs::path& stray : strays) EXPECT_TRUE(fs::exists(stray));
}

TEST_F(SettingsFile, FolderThatTakesNoNewFile) {
    LoadConfig(*settings);
    SetNewFilesRefusedForTest(true);
    // The file itself is writable: the save reaches it in place.
    SaveShowImages(*settings, false);
    EXPECT_NE(Bytes().find("  \"show_images\": false,\r\n"), std::string::npos);
    EXPECT_EQ(FilesInFolder(), 1);

    // Read-only, it is still left alone; missing, it cannot be made.
    MakeReadOnly();
    const std::string before = Bytes();
    StoreWindowSize(*settings, 900, 700);
    EXPECT_EQ(Bytes(), before);
    fs::permissions(File(), fs::perms::owner_write, fs::perm_options::add);
    fs::remove(File());
    SaveShowImages(*settings, true);
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(Config().window_width, 900);
}

TEST_F(SettingsFile, SymbolicLinkStaysALink) {
    const fs::path real = dir / "real";
    ASSERT_TRUE(fs::create_directory(real));
    ASSERT_TRUE(WriteFileBytes(real / "settings.json", "{\"port\": 9200}"));
    std::error_code ec;
    fs::create_symlink(fs::path("real") / "settings.json", File(), ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 9200);

    SaveShowImages(*settings, false);
    EXPECT_TRUE(fs::is_symlink(File()));
    EXPECT_NE(ReadFileBytes(real / "settings.json").find("\"show_images\": false,"), std::string::npos);
    // Also when the target's folder takes no new file.
    SetNewFilesRefusedForTest(true);
    SaveShowImages(*settings, true);
    EXPECT_TRUE(fs::is_symlink(File()));
    EXPECT_NE(ReadFileBytes(real / "settings.json").find("\"show_images\": true,"), std::string::npos);
    EXPECT_EQ(FilesInFolder(), 2);
}

TEST_F(SettingsFile, FailedWriteKeepsTheRecord) {
    // The folder does not exist: nothing can be written, and memory still follows the save.
    settings->file = dir / "missing" / "config.json";
    LoadConfig(*settings);
    EXPECT_EQ(Config().port, 7555);
    SaveShowImages(*settings, false);
    EXPECT_FALSE(Config().show_images);
    EXPECT_FALSE(fs::exists(settings->file));

#ifdef _WIN32
    // A file name that is not valid UTF-16 has no 8-bit form: loading and saving still end
    // normally.
    settings->file = dir.path() / (L"config" + std::wstring(1, wchar_t(0xDC00)) + L".json");
    LoadConfig(*settings);
    SaveShowImages(*settings, true);
    EXPECT_TRUE(Config().show_images);
#endif
}

TEST_F(SettingsFile, NonAsciiFolder) {
    const fs::path folder = dir.path() / fs::path(u8"\u03A9mega \u00e9t\u00e9");
    ASSERT_TRUE(fs::create_directory(folder));
    settings->file = folder / "config.json";
    LoadConfig(*settings);
    EXPECT_EQ(Bytes(), GoldenDefaultFile());
    SaveLastChannel(*settings, 4);
    LoadConfig(*settings);
    EXPECT_EQ(Config().last_channel_index, 4);
}

TEST(SettingsPath, ConfigFileLiesBesideTheExecutable) {
    const fs::path path = ConfigFilePath();
    EXPECT_EQ(path.filename(), "config.json");
    EXPECT_TRUE(path.is_absolute());
    const fs::path folder = path.parent_path();
    EXPECT_TRUE(fs::exists(folder / "unit_tests") || fs::exists(folder / "unit_tests.exe")) << folder;
}

TEST(SettingsPath, ConfigFileOfAProgramAtTheRootOfADrive) {
    struct Case {
        fs::path executable;
        fs::path config;
    } const cases[] = {
#ifdef _WIN32
        // "E:config.json" would be a file in the current folder of drive E:.
        {L"E:\\tovrel-radio.exe", L"E:\\config.json"},
        {L"\\\\?\\E:\\tovrel-radio.exe", L"\\\\?\\E:\\config.json"},
        {L"C:\\Program Files\\Tovrel\\tovrel-radio.exe", L"C:\\Program Files\\Tovrel\\config.json"},
        {L"\\\\server\\share\\tovrel-radio.exe", L"\\\\server\\share\\config.json"},
#else
        {"/tovrel-radio", "/config.json"},
        {"/opt/tovrel/tovrel-radio", "/opt/tovrel/config.json"},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ((FolderOfExecutable(c.executable) / "config.json").native(), c.config.native());
    }
}

}  // namespace
