// The config.json reader on texts: the value readers, the range rules, the start channel and
// the walk over the channel entries, with the quirks that hand-edited files rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_writer.hpp"
#include "settings/json_reader.hpp"

namespace {

std::unique_ptr<AppConfig> Parse(std::string_view text) {
    auto cfg = std::make_unique<AppConfig>();
    ParseConfigText(text, *cfg);
    return cfg;
}

std::string Entry(std::string_view id, std::string_view name = "N", std::string_view endpoint = "http://h/e") {
    return "{\"id\": \"" + std::string(id) + "\", \"name\": \"" + std::string(name) + "\", \"endpoint\": \"" +
           std::string(endpoint) + "\"}";
}

std::string Id(const AppConfig& cfg, int row) { return std::string(View(cfg.channels.entries[row].id)); }

TEST(SettingsDefaults, ResetGivesTheBuiltInRecord) {
    auto cfg = std::make_unique<AppConfig>();
    std::memset(cfg.get(), 0x5A, sizeof *cfg);
    ResetConfigDefaults(*cfg);
    EXPECT_EQ(cfg->channels.count, 8);
    EXPECT_EQ(Id(*cfg, 0), "ostrel");
    EXPECT_EQ(View(cfg->channels.entries[0].name), u"Ostrel");
    EXPECT_EQ(Id(*cfg, 7), "kessa");
    EXPECT_EQ(View(cfg->channels.entries[3].name), u"Orchestral (Siro)");
    EXPECT_EQ(View(cfg->channels.entries[7].endpoint), "http://" TOVREL_STATION_HOST "/nowplaying-kessa.txt");
    EXPECT_EQ(View(cfg->last_channel), "ostrel");
    EXPECT_EQ(cfg->last_channel_index, 0);
    EXPECT_EQ(cfg->port, 7555);
    EXPECT_EQ(cfg->rotate_interval_seconds, 20);
    EXPECT_TRUE(cfg->show_images);
    EXPECT_EQ(cfg->window_width, 500);
    EXPECT_EQ(cfg->window_height, 640);
    EXPECT_EQ(cfg->status_url[0], '\0');
    EXPECT_EQ(cfg->image_search_url[0], '\0');
    EXPECT_EQ(cfg->nowplaying_file[0], '\0');
    EXPECT_EQ(cfg->cover_file[0], '\0');
    EXPECT_EQ(cfg->listen_address[0], '\0');
    // Every field is zero-filled behind its text.
    for (int row = 0; row < 8; ++row) {
        const Channel& c = cfg->channels.entries[row];
        EXPECT_EQ(c.id[63], 0);
        EXPECT_EQ(c.name[127], 0);
        EXPECT_EQ(c.endpoint[255], 0);
    }
}

TEST(SettingsValueReaders, Integers) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"\"port\": 8080", true, 8080},
        {"\"port\"::: \r\n\t 8080,", true, 8080},
        {"\"port\"8080", true, 8080},
        {"\"port\": 8080.5", true, 8080},
        {"\"port\": -12x", true, -12},
        {"\"port\": +7", true, 7},
        {"\"port\": \"8080\"", true, 0},
        {"\"port\": {", true, 0},
        {"\"port\":\v 42", true, 42},
        {"\"port\": 99999999999", true, 2147483647},
        {"\"port\": -99999999999", true, -2147483647 - 1},
        {"\"port\": -2147483648", true, -2147483647 - 1},
        {"\"port\": 2147483648", true, 2147483647},
        {"\"port\": :  ", false, 0},
        {"\"Port\": 1", false, 0},
        {"port: 1", false, 0},
        {"\"x\": \"\\\"port\\\"\", \"port\": 5", true, 5},
    };
    for (const auto& c : cases) {
        std::int32_t value = 0;
        EXPECT_EQ(ReadJsonInt(c.text, "port", value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(SettingsValueReaders, BooleansByPrefix) {
    struct Case {
        const char* text;
        bool ok;
        bool value;
    } cases[] = {
        {"\"b\": true", true, true},     {"\"b\": FALSE", true, false}, {"\"b\": TrUeish", true, true},
        {"\"b\": fals", false, false},   {"\"b\": \"false\"", false, false}, {"\"b\": 0", false, false},
        {"\"b\": 1", false, false},      {"\"b\"", false, false},       {"\"c\": true", false, false},
    };
    for (const auto& c : cases) {
        bool value = !c.value;
        EXPECT_EQ(ReadJsonBool(c.text, "b", value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(SettingsValueReaders, StringsWithEscapesBoundsAndCapacity) {
    struct Case {
        std::string text;
        std::size_t bound;  // characters of text the reader may see, 0 for all
        std::size_t capacity;
        bool ok;
        std::string value;
    } cases[] = {
        {R"("s": "abc")", 0, 64, true, "abc"},
        {R"("s": "a\"b\\c\/d\ne\rf\tg\x")", 0, 64, true, "a\"b\\c/d\ne\rf\tgx"},
        {R"("s": "\u0041")", 0, 64, true, "u0041"},
        {R"("s": "unterminated)", 0, 64, true, "unterminated"},
        {R"("s": "ends in \)", 0, 64, true, "ends in \\"},
        {R"("s": 12)", 0, 64, false, ""},
        {R"("s": )", 0, 64, false, ""},
        {R"("s": "abcdef")", 9, 64, true, "abc"},
        {R"("s": "abcdef")", 6, 64, true, ""},
        {R"("s": "abcdef")", 5, 64, false, ""},
        {R"(x "s": "v")", 3, 64, false, ""},
        {R"("s": "0123456789")", 0, 8, true, "0123456"},
        {R"("s": "\"\"\"\"\"\"\"\"\"\"")", 0, 8, true, "\"\"\"\"\"\"\""},
    };
    for (const auto& c : cases) {
        std::string_view text = c.text;
        if (c.bound != 0) text = text.substr(0, c.bound);
        char out[64];
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(ReadJsonString(text, "s", out, c.capacity), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::string(out), c.value) << c.text;
        }
    }
}

TEST(SettingsRangeRules, OutOfRangeValuesKeepTheirDefaults) {
    struct Case {
        const char* text;
        std::int32_t AppConfig::*field;
        std::int32_t expected;
    } cases[] = {
        {"{\"port\": 0}", &AppConfig::port, 7555},
        {"{\"port\": -1}", &AppConfig::port, 7555},
        {"{\"port\": 70000}", &AppConfig::port, 7555},
        {"{\"port\": 65535}", &AppConfig::port, 65535},
        {"{\"port\": 1}", &AppConfig::port, 1},
        {"{\"port\": \"8080\"}", &AppConfig::port, 7555},
        {"{\"rotate_interval_seconds\": 0}", &AppConfig::rotate_interval_seconds, 20},
        {"{\"rotate_interval_seconds\": 1}", &AppConfig::rotate_interval_seconds, 1},
        {"{\"rotate_interval_seconds\": 99999}", &AppConfig::rotate_interval_seconds, 99999},
        {"{\"window_width\": 199}", &AppConfig::window_width, 500},
        {"{\"window_width\": 200}", &AppConfig::window_width, 200},
        {"{\"window_height\": 199}", &AppConfig::window_height, 640},
        {"{\"window_height\": 5000}", &AppConfig::window_height, 5000},
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.text).get()->*c.field, c.expected) << c.text;

    EXPECT_FALSE(Parse("{\"show_images\": FALSE}")->show_images);
    EXPECT_TRUE(Parse("{\"show_images\": \"false\"}")->show_images);
    EXPECT_TRUE(Parse("{\"show_images\": 0}")->show_images);
    const struct {
        const char* text;
        bool present;
        bool watch;
    } watches[] = {
        {"{}", false, true},
        {"{\"watch_all_channels\": false}", true, false},
        {"{\"watch_all_channels\": TRUE}", true, true},
        {"{\"watch_all_channels\": \"false\"}", false, true},
        {"{\"watch_all_channels\": 0}", false, true},
    };
    for (const auto& w : watches) {
        EXPECT_EQ(Parse(w.text)->watch_all_channels_present, w.present) << w.text;
        EXPECT_EQ(Parse(w.text)->watch_all_channels, w.watch) << w.text;
    }
    // Keys are found anywhere and in any order; the first occurrence wins.
    auto cfg = Parse("{\"port\": 9000, \"port\": 9001, \"window_height\": 300 \"window_width\" 250}");
    EXPECT_EQ(cfg->port, 9000);
    EXPECT_EQ(cfg->window_width, 250);
    EXPECT_EQ(cfg->window_height, 300);
}

TEST(SettingsRangeRules, NulByteEndsTheText) {
    const std::string text = std::string("{\"port\": 8000,\0 \"window_width\": 900}", 37);
    auto cfg = Parse(text);
    EXPECT_EQ(cfg->port, 8000);
    EXPECT_EQ(cfg->window_width, 500);
}

TEST(SettingsStartChannel, LastChannelDecidesAndIndexIsTheFallback) {
    // The id in another letter case selects the row; the text is kept as written.
    auto cfg = Parse("{\"last_channel\": \"PAVO\"}");
    EXPECT_EQ(cfg->last_channel_index, 1);
    EXPECT_EQ(View(cfg->last_channel), "PAVO");

    cfg = Parse("{\"last_channel\": \"gone\"}");
    EXPECT_EQ(cfg->last_channel_index, 0);
    EXPECT_EQ(View(cfg->last_channel), "gone");

    cfg = Parse("{\"last_channel_index\": 3}");
    EXPECT_EQ(cfg->last_channel_index, 3);
    EXPECT_EQ(View(cfg->last_channel), "siro");

    cfg = Parse("{\"last_channel_index\": 8}");
    EXPECT_EQ(cfg->last_channel_index, 0);
    EXPECT_EQ(View(cfg->last_channel), "ostrel");

    cfg = Parse("{\"last_channel_index\": -1}");
    EXPECT_EQ(cfg->last_channel_index, 0);

    // With both keys the name decides, even when it matches nothing.
    cfg = Parse("{\"last_channel_index\": 3, \"last_channel\": \"nothing\"}");
    EXPECT_EQ(cfg->last_channel_index, 0);
    EXPECT_EQ(View(cfg->last_channel), "nothing");

    // Matched against the table read from the same file, first row that fits.
    cfg = Parse("{\"last_channel\": \"b\", \"channels\": [" + Entry("a") + "," + Entry("B") + "," + Entry("b") + "]}");
    EXPECT_EQ(cfg->last_channel_index, 1);

    // 70 bytes are cut to 63.
    cfg = Parse("{\"last_channel\": \"" + std::string(70, 'q') + "\"}");
    EXPECT_EQ(View(cfg->last_channel), std::string(63, 'q'));
}

TEST(SettingsChannelWalk, EntriesAreTakenWhenComplete) {
    auto cfg = Parse("{\"channels\": [" + Entry("one") +
                     ", {\"id\": \"skipped\", \"name\": \"x\"}, "
                     "{\"endpoint\": \"http://e/3\", \"extra\": 1, \"name\": \"Three\", \"id\": \"three\"}]}");
    ASSERT_EQ(cfg->channels.count, 2);
    EXPECT_EQ(Id(*cfg, 0), "one");
    EXPECT_EQ(Id(*cfg, 1), "three");
    EXPECT_EQ(View(cfg->channels.entries[1].name), u"Three");
    EXPECT_EQ(View(cfg->channels.entries[1].endpoint), "http://e/3");

    // No complete entry, or an empty array, leaves the built-in table.
    EXPECT_EQ(Parse("{\"channels\": []}")->channels.count, 8);
    EXPECT_EQ(Parse("{\"channels\": [{\"id\": \"a\"}, {\"name\": \"b\"}]}")->channels.count, 8);
    EXPECT_EQ(Parse("{\"channels\": " + Entry("a") + "}")->channels.count, 8);  // no '['
    EXPECT_EQ(Parse("{\"channels\": [" + Entry("a"))->channels.count, 8);         // no ']'
    EXPECT_EQ(Parse("{\"Channels\": [" + Entry("a") + "]}")->channels.count, 8);
}

TEST(SettingsChannelWalk, AtMostThirtyTwo) {
    std::string text = "{\"channels\": [";
    for (int i = 0; i < 40; ++i) text += Entry("c" + std::to_string(i)) + ",";
    text += "]}";
    auto cfg = Parse(text);
    ASSERT_EQ(cfg->channels.count, 32);
    EXPECT_EQ(Id(*cfg, 31), "c31");
}

TEST(SettingsChannelWalk, BracketAndBraceQuirks) {
    // A ']' inside a later value moves the end of the array there, so an object between the
    // real end and that ']' counts as a further entry.
    auto cfg = Parse("{\"channels\": [" + Entry("a") + "], \"more\": " + Entry("b") + ", \"note\": \"]\"}");
    ASSERT_EQ(cfg->channels.count, 2);
    EXPECT_EQ(Id(*cfg, 1), "b");

    // A '}' inside a value ends its entry there: this entry loses its endpoint and is skipped,
    // and the walk goes on after that '}'.
    cfg = Parse("{\"channels\": [{\"id\": \"x\", \"name\": \"a}b\", \"endpoint\": \"e\"}, " + Entry("y") + "]}");
    ASSERT_EQ(cfg->channels.count, 1);
    EXPECT_EQ(Id(*cfg, 0), "y");

    // An entry's keys are looked for only inside its braces.
    cfg = Parse("{\"channels\": [{\"id\": \"x\", \"name\": \"n\"}, {\"endpoint\": \"e\"}]}");
    EXPECT_EQ(cfg->channels.count, 8);

    // The array may stand anywhere and the entries need no commas.
    cfg = Parse("\"channels\"\n[\n" + Entry("p") + Entry("q") + "\n]\n\"port\": 1234");
    ASSERT_EQ(cfg->channels.count, 2);
    EXPECT_EQ(cfg->port, 1234);
}

TEST(SettingsChannelWalk, FieldWidths) {
    const std::string id63(63, 'i');
    const std::string endpoint300(300, 'e');
    auto cfg = Parse("{\"channels\": [" + Entry(id63, std::string(127, 'n'), endpoint300) + "," +
                     Entry(std::string(70, 'j')) + "]}");
    ASSERT_EQ(cfg->channels.count, 2);
    EXPECT_EQ(Id(*cfg, 0), id63);
    EXPECT_EQ(View(cfg->channels.entries[0].name).size(), 127u);
    EXPECT_EQ(View(cfg->channels.entries[0].endpoint), endpoint300.substr(0, 255));
    EXPECT_EQ(Id(*cfg, 1), std::string(63, 'j'));
}

TEST(SettingsChannelWalk, NamesAreUtf8CutAtWholeCharacters) {
    // 200 ASCII letters: the name field holds 127 of them.
    auto cfg = Parse("{\"channels\": [" + Entry("a", std::string(200, 'n')) + "]}");
    EXPECT_EQ(View(cfg->channels.entries[0].name), std::u16string(127, u'n'));

    // 126 letters and then a character outside the BMP: the pair does not fit and is dropped.
    cfg = Parse("{\"channels\": [" + Entry("a", std::string(126, 'n') + "\xF0\x9F\x8E\xB5") + "]}");
    EXPECT_EQ(View(cfg->channels.entries[0].name), std::u16string(126, u'n'));

    // Escapes decoded, \u kept as text, malformed UTF-8 replaced.
    cfg = Parse("{\"channels\": [" + Entry("a", "Caf\xC3\xA9 \\\"Q\\\" \\u00e9 \xFF") + "]}");
    EXPECT_EQ(View(cfg->channels.entries[0].name), u"Caf\u00e9 \"Q\" u00e9 \uFFFD");
}

TEST(SettingsOptionalUrls, ReadIntoTheirFieldsWhole) {
    const std::string url255 = "http://h/" + std::string(246, 'u');
    auto cfg = Parse("{\"status_url\": \"" + url255 + "\", \"image_search_url\": \"" + url255 + "x\"}");
    EXPECT_EQ(View(cfg->status_url), url255);
    EXPECT_EQ(View(cfg->image_search_url), url255);
    cfg = Parse("{\"status_url\": 5}");
    EXPECT_EQ(cfg->status_url[0], '\0');
    cfg = Parse("{\"nowplaying_file\": \"obs\\\\np.txt\", \"cover_file\": \"" + url255 + "x\"}");
    EXPECT_EQ(View(cfg->nowplaying_file), "obs\\np.txt");
    EXPECT_EQ(View(cfg->cover_file), url255);
    // The listen address is kept as read, whether or not it is an address: the server decides.
    EXPECT_EQ(View(Parse("{\"listen_address\": \"my host\"}")->listen_address), "my host");
    EXPECT_EQ(View(Parse("{\"listen_address\": \"" + std::string(70, '9') + "\"}")->listen_address), std::string(63, '9'));
    EXPECT_EQ(Parse("{\"listen_address\": 127}")->listen_address[0], '\0');
}

TEST(SettingsOptionalUrls, CoverSourceKeys) {
    struct Case {
        std::string text;
        bool present;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"{}", false, {}},
        {"{\"cover_sources\": []}", true, {}},
        {"{\"cover_sources\": [\"deezer\", \"bogus\",\"itunes\"]}", true, {"deezer", "bogus", "itunes"}},
        {"{\"cover_sources\":\r\n[ \"musicbrainz\" , ]}", true, {"musicbrainz"}},
        // Values that are not strings, and empty strings, are skipped.
        {"{\"cover_sources\": [\"a\", 5, \"\", {\"x\": [1, \"y,]\"], \"z\": 2}, \"b\"]}", true, {"a", "b"}},
        {"{\"cover_sources\": \"itunes\"}", false, {}},                   // not a list: as if absent
        {"{\"cover_sources\": [\"" + std::string(40, 'x') + "\"]}", true, {std::string(31, 'x')}},
        {"{\"cover_sources\": [\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\",\"9\"]}", true,
         {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {"{\"cover_sources\": [\"unterminated", true, {"unterminated"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto cfg = Parse(c.text);
        EXPECT_EQ(cfg->cover_sources_present, c.present);
        std::vector<std::string> names;
        for (int i = 0; i < cfg->cover_source_count; ++i) names.emplace_back(View(cfg->cover_sources[i]));
        EXPECT_EQ(names, c.names);
    }

    auto cfg = Parse("{\"itunes_url\": \"http://i/search\", \"deezer_url\": \"http://d/search\", "
                     "\"musicbrainz_url\": \"http://m/ws/2/recording\", \"coverartarchive_url\": \"http://c\", "
                     "\"cover_cache_folder\": \"covers cache\", \"channels\": [{\"id\": \"a\", \"name\": \"A\", "
                     "\"logo\": \"logo-a.png\", \"endpoint\": \"http://h/e\"}, " + Entry("b") + "]}");
    EXPECT_EQ(View(cfg->itunes_url), "http://i/search");
    EXPECT_EQ(View(cfg->deezer_url), "http://d/search");
    EXPECT_EQ(View(cfg->musicbrainz_url), "http://m/ws/2/recording");
    EXPECT_EQ(View(cfg->coverartarchive_url), "http://c");
    EXPECT_EQ(View(cfg->cover_cache_folder), "covers cache");
    EXPECT_EQ(View(cfg->channels.entries[0].logo), "logo-a.png");
    EXPECT_EQ(cfg->channels.entries[1].logo[0], '\0');  // the key of the entry before does not count
}

TEST(SettingsOptionalUrls, HistoryKeys) {
    struct Case {
        std::string text;
        bool filePresent;
        std::string file;
        std::int32_t days;  // -1: absent
        std::string written;  // the lines written back, "" when none
    };
    const Case cases[] = {
        {"{}", false, "", -1, ""},
        {"{\"history_file\": \"\"}", true, "", -1, "  \"history_file\": \"\",\r\n"},
        {"{\"history_file\": \"D:\\\\radio\\\\plays.db\", \"history_days\": 0}", true, "D:\\radio\\plays.db", 0,
         "  \"history_file\": \"D:\\\\radio\\\\plays.db\",\r\n  \"history_days\": 0,\r\n"},
        {"{\"history_days\": 365}", false, "", 365, "  \"history_days\": 365,\r\n"},
        {"{\"history_days\": -5, \"history_file\": 7}", false, "", -1, ""},  // out of range, not text: absent
        {"{\"history_file\": \"" + std::string(300, 'h') + "\"}", true, std::string(255, 'h'),
         -1, "  \"history_file\": \"" + std::string(255, 'h') + "\",\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto cfg = Parse(c.text);
        EXPECT_EQ(cfg->history_file_present, c.filePresent);
        EXPECT_EQ(View(cfg->history_file), c.file);
        EXPECT_EQ(cfg->history_days, c.days);
        const std::string text = FormatConfigText(*cfg);
        const std::size_t at = text.find("  \"history_");
        const std::size_t end = text.find("  \"channels\"");
        EXPECT_EQ(at == std::string::npos ? std::string() : text.substr(at, end - at), c.written);
        EXPECT_EQ(FormatConfigText(*Parse(text)), text);
    }
}

TEST(SettingsOptionalUrls, DesktopSwitchesAreAbsentUnlessTrueOrFalse) {
    struct Case {
        std::string text;
        std::int8_t minimize, notify, startup;
        const char* written;  // the lines written back, in order; empty = none
    } const cases[] = {
        {"{}", kFlagAbsent, kFlagAbsent, kFlagAbsent, ""},
        {"{\"minimize_to_tray\": true, \"notify_new_title\": false}", 1, 0, kFlagAbsent,
         "  \"minimize_to_tray\": true,\r\n  \"notify_new_title\": false,\r\n"},
        {"{\"start_with_windows\": false, \"minimize_to_tray\": 1, \"notify_new_title\": \"true\"}", kFlagAbsent,
         kFlagAbsent, 0, "  \"start_with_windows\": false,\r\n"},
        {"{\"start_with_windows\":TRUE,\"start_with_windows\": false}", kFlagAbsent, kFlagAbsent, 1,
         "  \"start_with_windows\": true,\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto cfg = Parse(c.text);
        EXPECT_EQ(cfg->minimize_to_tray, c.minimize);
        EXPECT_EQ(cfg->notify_new_title, c.notify);
        EXPECT_EQ(cfg->start_with_windows, c.startup);
        const std::string text = FormatConfigText(*cfg);
        const std::size_t from = text.find("\r\n", text.find("\"window_height\"")) + 2;
        EXPECT_EQ(text.substr(from, text.find("  \"channels\"") - from), c.written);
        auto back = Parse(text);
        EXPECT_EQ(back->minimize_to_tray, c.minimize);
        EXPECT_EQ(back->notify_new_title, c.notify);
        EXPECT_EQ(back->start_with_windows, c.startup);
    }
    EXPECT_FALSE(FlagOn(kFlagAbsent));
    EXPECT_TRUE(FlagOn(kFlagAbsent, true));
    EXPECT_FALSE(FlagOn(0, true));
    EXPECT_TRUE(FlagOn(1));
}

TEST(SettingsWriter, AwkwardValuesReadBackTheSame) {
    auto cfg = std::make_unique<AppConfig>();
    ResetConfigDefaults(*cfg);
    CopyText(cfg->last_channel, "quote\" back\\ tab\t");
    CopyText(cfg->channels.entries[1].id, "i\"d\\");
    CopyText(cfg->channels.entries[1].name, u"N\u00e4me \"x\" \\ / \r\n\t \U0001F3B5 {[]");
    CopyText(cfg->channels.entries[1].endpoint, "http://h/a?b=\"c\"");
    CopyText(cfg->status_url, "http://127.0.0.1:8000/status-json.xsl");
    CopyText(cfg->image_search_url, "http://127.0.0.1:9/images/async");
    CopyText(cfg->nowplaying_file, "C:\\Users\\\"me\"\\np.txt");
    CopyText(cfg->cover_file, "cover_file");
    CopyText(cfg->listen_address, "listen_address");
    cfg->cover_sources_present = true;
    cfg->cover_source_count = 3;
    CopyText(cfg->cover_sources[0], "deezer");
    CopyText(cfg->cover_sources[1], "q\"uote");
    CopyText(cfg->cover_sources[2], "itunes_url");
    CopyText(cfg->itunes_url, "http://127.0.0.1:9/itunes/search");
    CopyText(cfg->coverartarchive_url, "http://127.0.0.1:9/caa");
    CopyText(cfg->cover_cache_folder, "C:\\covers \"x\"");
    CopyText(cfg->channels.entries[2].logo, "https://h/logo.png?a=\"b\"");
    cfg->show_images = false;
    cfg->watch_all_channels_present = true;
    cfg->watch_all_channels = false;
    cfg->port = 1;
    cfg->rotate_interval_seconds = 2147483647;

    const std::string text = FormatConfigText(*cfg);
    auto back = Parse(text);
    EXPECT_EQ(View(back->last_channel), View(cfg->last_channel));
    EXPECT_EQ(Id(*back, 1), "i\"d\\");
    EXPECT_EQ(View(back->channels.entries[1].name), View(cfg->channels.entries[1].name));
    EXPECT_EQ(View(back->channels.entries[1].endpoint), View(cfg->channels.entries[1].endpoint));
    EXPECT_EQ(View(back->status_url), View(cfg->status_url));
    EXPECT_EQ(View(back->image_search_url), View(cfg->image_search_url));
    EXPECT_EQ(View(back->nowplaying_file), View(cfg->nowplaying_file));
    EXPECT_EQ(View(back->cover_file), "cover_file");
    EXPECT_EQ(View(back->listen_address), "listen_address");
    ASSERT_EQ(back->cover_source_count, 3);
    EXPECT_EQ(View(back->cover_sources[1]), "q\"uote");
    EXPECT_EQ(View(back->cover_sources[2]), "itunes_url");
    EXPECT_EQ(View(back->itunes_url), View(cfg->itunes_url));  // not taken from the list value above
    EXPECT_EQ(View(back->cover_cache_folder), View(cfg->cover_cache_folder));
    EXPECT_EQ(View(back->channels.entries[2].logo), View(cfg->channels.entries[2].logo));
    EXPECT_FALSE(back->show_images);
    EXPECT_TRUE(back->watch_all_channels_present);
    EXPECT_FALSE(back->watch_all_channels);
    EXPECT_EQ(back->port, 1);
    EXPECT_EQ(back->rotate_interval_seconds, 2147483647);
    EXPECT_EQ(back->channels.count, 8);
    EXPECT_EQ(FormatConfigText(*back), text);

    // Raw control characters have no escape the reader knows: they are left out.
    CopyText(cfg->channels.entries[0].id, "a\x01" "b\x1f" "c");
    EXPECT_EQ(Id(*Parse(FormatConfigText(*cfg)), 0), "abc");
}

TEST(SettingsWriter, ValuesThatSpellAKeyLaterInItsScopeDoNotHijackIt) {
    // The reader takes the first "key" in the whole text (top-level keys) or in the entry's
    // braces (id, name, endpoint). A value that spells a key written after it in that scope gets
    // one letter escaped; any other value is written with the plain escapes only.
    enum Field { LastChannel, StatusUrl, ImageUrl, Id, Name, Endpoint };
    struct Case {
        Field field;
        const char* value;
        bool optionalUrls;    // status_url and image_search_url written
        const char* written;  // the value as it stands in the file, quotes included
    } const cases[] = {
        {LastChannel, "show_images", false, R"("\show_images")"},
        {LastChannel, "window_width", false, R"("\window_width")"},
        {LastChannel, "channels", false, R"("\channels")"},
        {LastChannel, "x\"status_url", true, R"("x\"\status_url")"},
        {LastChannel, "x\"status_url", false, R"("x\"status_url")"},
        {LastChannel, "port", true, R"("port")"},
        {LastChannel, "last_channel", true, R"("last_channel")"},
        {LastChannel, "last_channel_index", true, R"("last_channel_index")"},
        {StatusUrl, "image_search_url", true, R"("\image_search_url")"},
        {ImageUrl, "status_url", true, R"("status_url")"},
        {Id, "name", false, R"("n\ame")"},
        {Id, "endpoint", false, R"("\endpoint")"},
        {Id, "id", false, R"("id")"},
        {Id, "q\"id", false, R"("q\"id")"},
        {Id, "channels", false, R"("channels")"},
        {Name, "endpoint", false, R"("\endpoint")"},
        {Name, "x\"endpoint", false, R"("x\"\endpoint")"},
        {Name, "id", false, R"("id")"},
        {Endpoint, "rotate_interval_seconds", false, R"("rotate_interval_seconds")"},
        {Endpoint, "name", false, R"("name")"},
    };
    for (const Case& c : cases) {
        auto cfg = std::make_unique<AppConfig>();
        ResetConfigDefaults(*cfg);
        cfg->show_images = false;
        cfg->window_width = 800;
        if (c.optionalUrls) {
            CopyText(cfg->status_url, "http://s/status");
            CopyText(cfg->image_search_url, "http://s/images");
        }
        Channel& row = cfg->channels.entries[1];
        const char* key = "";
        switch (c.field) {
            case LastChannel: key = "last_channel"; CopyText(cfg->last_channel, c.value); break;
            case StatusUrl: key = "status_url"; CopyText(cfg->status_url, c.value); break;
            case ImageUrl: key = "image_search_url"; CopyText(cfg->image_search_url, c.value); break;
            case Id: key = "id"; CopyText(row.id, c.value); break;
            case Name: key = "name"; Utf8ToUtf16(c.value, row.name); break;
            case Endpoint: key = "endpoint"; CopyText(row.endpoint, c.value); break;
        }
        const std::string text = FormatConfigText(*cfg);
        EXPECT_NE(text.find("\"" + std::string(key) + "\": " + c.written), std::string::npos) << c.value << "\n" << text;
        // Read back, every setting and entry is what was written.
        EXPECT_EQ(FormatConfigText(*Parse(text)), text) << c.value;
    }
}

TEST(SettingsWriter, ChannelValuesThatSpellALogoOrAnotherKeyReadBack) {
    auto cfg = std::make_unique<AppConfig>();
    ResetConfigDefaults(*cfg);
    CopyText(cfg->last_channel, "show_images");
    cfg->show_images = false;
    CopyText(cfg->channels.entries[0].id, "name");
    CopyText(cfg->channels.entries[1].name, u"endpoint");
    CopyText(cfg->channels.entries[2].name, u"x\"endpoint");
    CopyText(cfg->channels.entries[3].endpoint, "rotate_interval_seconds");
    CopyText(cfg->channels.entries[4].name, u"logo");
    CopyText(cfg->channels.entries[4].logo, "l.png");
    const std::string text = FormatConfigText(*cfg);
    EXPECT_NE(text.find("\"last_channel\": \"\\show_images\""), std::string::npos);
    EXPECT_NE(text.find("\"name\": \"\\endpoint\""), std::string::npos);
    auto back = Parse(text);
    EXPECT_FALSE(back->show_images);
    EXPECT_EQ(View(back->last_channel), "show_images");
    ASSERT_EQ(back->channels.count, 8);
    EXPECT_EQ(Id(*back, 0), "name");
    EXPECT_EQ(View(back->channels.entries[0].name), u"Ostrel");
    EXPECT_EQ(View(back->channels.entries[1].name), u"endpoint");
    EXPECT_EQ(View(back->channels.entries[2].name), u"x\"endpoint");
    EXPECT_EQ(View(back->channels.entries[3].endpoint), "rotate_interval_seconds");
    EXPECT_EQ(back->rotate_interval_seconds, 20);
    EXPECT_EQ(View(back->channels.entries[4].name), u"logo");
    EXPECT_EQ(View(back->channels.entries[4].logo), "l.png");
}

TEST(SettingsWriter, LayoutDetails) {
    auto cfg = std::make_unique<AppConfig>();
    ResetConfigDefaults(*cfg);
    cfg->channels.count = 1;
    cfg->window_width = 0;
    cfg->window_height = -5;
    const std::string text = FormatConfigText(*cfg);
    EXPECT_NE(text.find("  \"window_width\": 500,\r\n  \"window_height\": 640,\r\n  \"channels\": [\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("nowplaying-ostrel.txt\"\r\n    }\r\n  ]\r\n}\r\n"), std::string::npos);

    // A name whose UTF-8 form is longer than 255 bytes is cut at a whole character.
    std::u16string wide(84, u'\u20ac');  // three bytes each: 252
    wide += u"\U0001F3B5";                // four more do not fit
    CopyText(cfg->channels.entries[0].name, wide);
    auto back = Parse(FormatConfigText(*cfg));
    EXPECT_EQ(View(back->channels.entries[0].name), std::u16string(84, u'\u20ac'));

    // The optional keys come right after the window height, and only when set.
    CopyText(cfg->image_search_url, "http://s/images/async");
    EXPECT_NE(FormatConfigText(*cfg).find("  \"window_height\": 640,\r\n  \"image_search_url\": "
                                          "\"http://s/images/async\",\r\n  \"channels\""),
              std::string::npos);
    CopyText(cfg->cover_file, "cover.png");
    EXPECT_NE(FormatConfigText(*cfg).find("\"http://s/images/async\",\r\n  \"cover_file\": \"cover.png\",\r\n  \"channels\""),
              std::string::npos);
    CopyText(cfg->listen_address, "127.0.0.1");
    EXPECT_NE(FormatConfigText(*cfg).find("\"http://s/images/async\",\r\n  \"listen_address\": \"127.0.0.1\",\r\n"
                                          "  \"cover_file\""),
              std::string::npos);
    std::memset(cfg->listen_address, 0, sizeof cfg->listen_address);
    std::memset(cfg->cover_file, 0, sizeof cfg->cover_file);
    // The picture sources follow them; a logo comes last in its entry.
    cfg->cover_sources_present = true;
    CopyText(cfg->deezer_url, "http://d/search");
    CopyText(cfg->channels.entries[0].logo, "l.png");
    const std::string withSources = FormatConfigText(*cfg);
    EXPECT_NE(withSources.find("\"http://s/images/async\",\r\n  \"cover_sources\": [],\r\n  \"deezer_url\": "
                               "\"http://d/search\",\r\n  \"channels\""),
              std::string::npos);
    EXPECT_NE(withSources.find("nowplaying-ostrel.txt\",\r\n      \"logo\": \"l.png\"\r\n    }\r\n"), std::string::npos);
    cfg->cover_source_count = 2;
    CopyText(cfg->cover_sources[0], "itunes");
    CopyText(cfg->cover_sources[1], "deezer");
    EXPECT_NE(FormatConfigText(*cfg).find("  \"cover_sources\": [\"itunes\", \"deezer\"],\r\n"), std::string::npos);
    // The watch switch only when it was in the file, after the picture sources.
    EXPECT_EQ(FormatConfigText(*cfg).find("watch_all_channels"), std::string::npos);
    cfg->watch_all_channels_present = true;
    EXPECT_NE(FormatConfigText(*cfg).find("\"http://d/search\",\r\n  \"watch_all_channels\": true,\r\n  \"channels\""),
              std::string::npos);
}

}  // namespace
