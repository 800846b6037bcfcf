#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nowplaying/now_playing.hpp"

namespace {

// A source entry as an Icecast 2.4 server writes it: members in alphabetical order, the title
// member (already in its JSON form, or empty for none) before "dummy":null.
std::string Source(const std::string& mount, const std::string& titleJson, const std::string& serverName = "Radio") {
    std::string s = "{\"audio_info\":\"bitrate=160\",\"bitrate\":160,\"genre\":\"Pop\",\"listener_peak\":4,"
                    "\"listeners\":2,\"listenurl\":\"http://radio.example:8000/" +
                    mount + "\",\"server_description\":\"Desc\",\"server_name\":\"" + serverName +
                    "\",\"server_type\":\"audio/mpeg\",\"stream_start\":\"Mon, 01 Jan 2024 00:00:00 +0000\","
                    "\"stream_start_iso8601\":\"2024-01-01T00:00:00+0000\",";
    if (!titleJson.empty()) s += "\"title\":" + titleJson + ",";
    return s + "\"dummy\":null}";
}

std::string Doc(const std::vector<std::string>& sources) {
    std::string s = "{\"icestats\":{\"admin\":\"icemaster@localhost\",\"host\":\"radio.example\",\"location\":\"Earth\","
                    "\"server_id\":\"Icecast 2.4.4\",\"server_start\":\"Mon, 01 Jan 2024 00:00:00 +0000\","
                    "\"server_start_iso8601\":\"2024-01-01T00:00:00+0000\"";
    if (sources.size() == 1) {
        s += ",\"source\":" + sources[0];
    } else if (!sources.empty()) {
        s += ",\"source\":[";
        for (std::size_t i = 0; i < sources.size(); ++i) s += (i ? "," : "") + sources[i];
        s += "]";
    }
    return s + "}}";
}

struct Result {
    bool ok;
    std::string text;
};

Result Extract(const std::string& doc, const char* id) {
    char text[TITLE_TEXT_BYTES];
    std::memset(text, 'x', sizeof text);
    text[sizeof text - 1] = '\0';
    const bool ok = ExtractStatusJsonTitle(doc, id, text);
    return {ok, ok ? std::string(text) : std::string()};
}

void ExpectTitle(const std::string& doc, const char* id, const std::string& title) {
    const Result r = Extract(doc, id);
    EXPECT_TRUE(r.ok) << doc;
    EXPECT_EQ(r.text, title) << doc;
}

void ExpectNone(const std::string& doc, const char* id) {
    EXPECT_FALSE(Extract(doc, id).ok) << doc;
}

TEST(StatusJsonTitle, PrefersThe160StreamAndFallsBackToMp3) {
    ExpectTitle(Doc({Source("ostrel-mp3", "\"Mp3 Title\"")}), "ostrel", "Mp3 Title");
    ExpectTitle(Doc({Source("ostrel-160", "\"Hi Title\""), Source("ostrel-mp3", "\"Mp3 Title\"")}), "ostrel",
                "Hi Title");
    // The preference does not depend on the order of the entries.
    ExpectTitle(Doc({Source("ostrel-mp3", "\"Mp3 Title\""), Source("ostrel-160", "\"Hi Title\"")}), "ostrel",
                "Hi Title");
    ExpectNone(Doc({Source("other-160", "\"T\"")}), "ostrel");
    ExpectNone(Doc({}), "ostrel");
}

TEST(StatusJsonTitle, TheOtherMountIsTriedWhenThePreferredGivesNoTitle) {
    const std::string mp3 = Source("ostrel-mp3", "\"Mp3 Title\"");
    ExpectTitle(Doc({Source("ostrel-160", ""), mp3}), "ostrel", "Mp3 Title");        // no title member
    ExpectTitle(Doc({Source("ostrel-160", "null"), mp3}), "ostrel", "Mp3 Title");    // empty title
    ExpectTitle(Doc({Source("ostrel-160", "\"   \""), mp3}), "ostrel", "Mp3 Title"); // empty after cleaning
    ExpectTitle(Doc({Source("ostrel-160", "\"<b>x</b>\""), mp3}), "ostrel", "Mp3 Title");
    ExpectNone(Doc({Source("ostrel-160", "null")}), "ostrel");
    ExpectNone(Doc({Source("ostrel-160", "\"  \\t \"")}), "ostrel");
}

TEST(StatusJsonTitle, TitleMustBelongToTheChannelsOwnEntry) {
    // The channel's entry has no title; the next entry's title is not taken.
    ExpectNone(Doc({Source("ostrel-160", ""), Source("zeta-160", "\"Zeta Song\"")}), "ostrel");
    // A channel id that is the tail of another mount name.
    ExpectNone(Doc({Source("pavo-mp3", "\"Pavo Song\"")}), "vo");
    ExpectTitle(Doc({Source("pavo-mp3", "\"Pavo Song\""), Source("vo-mp3", "\"Vo Song\"")}), "vo", "Vo Song");
    // A channel id that occurs in another entry's text.
    ExpectNone(Doc({Source("alpha-160", "\"Alpha Song\"", "see /ostrel-160")}), "ostrel");
    ExpectTitle(Doc({Source("alpha-160", "\"Alpha\"", "ostrel-160"), Source("ostrel-160", "\"Mine\"")}), "ostrel",
                "Mine");
    // A title that names another mount's URL is text, not a listen URL.
    ExpectNone(Doc({Source("alpha-160", "\"http://x/ostrel-160\"")}), "ostrel");
}

TEST(StatusJsonTitle, ValuesAreReadAsIcecastWritesThem) {
    struct Case {
        const char* json;
        const char* title;
    } const cases[] = {
        {"\"Say \\\"Hello\\\"\"", "Say \"Hello\""},
        {"\"AC\\\\DC - Back\"", "AC\\DC - Back"},
        {"\"A\\/B\"", "A/B"},
        {"\"caf\\u00e9 \\u00C9\"", "caf\xC3\xA9 \xC3\x89"},
        {"\"note \\ud83c\\udfb5\"", "note \xF0\x9F\x8E\xB5"},
        {"\"lone \\ud83c x\"", "lone \xEF\xBF\xBD x"},
        {"\"line\\nbreak\\ttab\"", "line\nbreak\ttab"},
        {"\"raw caf\xC3\xA9 & <tag> /\"", "raw caf\xC3\xA9 & <tag> /"},
        {"\"odd \\q escape\"", "odd \\q escape"},
        {"\"nul\\u0000gone\"", "nulgone"},
        {"1984", "1984"},
        {"007", "007"},
        {"true", "true"},
        {"false", "false"},
        {"\"Artist - Song :: 321\"", "Artist - Song"},
        {"\"{curly}\"", "{curly}"},
        {" \"spaced\"", "spaced"},
    };
    for (const auto& c : cases) ExpectTitle(Doc({Source("ostrel-160", c.json)}), "ostrel", c.title);
    ExpectNone(Doc({Source("ostrel-160", "nonsense")}), "ostrel");
    ExpectNone(Doc({Source("ostrel-160", "\"\"")}), "ostrel");
}

TEST(StatusJsonTitle, LengthLimitAppliesToTheValueAsWritten) {
    const std::string v1023(1023, 'a');
    const std::string v1024(1024, 'a');
    ExpectTitle(Doc({Source("ostrel-160", "\"" + v1023 + "\"")}), "ostrel", v1023);
    ExpectNone(Doc({Source("ostrel-160", "\"" + v1024 + "\"")}), "ostrel");
    // 1020 bytes as written, fewer once decoded.
    std::string escaped;
    for (int i = 0; i < 170; ++i) escaped += "\\u00e9";
    ExpectTitle(Doc({Source("ostrel-160", "\"" + escaped + "\"")}), "ostrel", [] {
        std::string s;
        for (int i = 0; i < 170; ++i) s += "\xC3\xA9";
        return s;
    }());
    escaped += "\\\"x";  // 1023 bytes written
    EXPECT_TRUE(Extract(Doc({Source("ostrel-160", "\"" + escaped + "\"")}), "ostrel").ok);
    escaped += "y";
    ExpectNone(Doc({Source("ostrel-160", "\"" + escaped + "\"")}), "ostrel");
}

TEST(StatusJsonTitle, BrokenDocumentsGiveNoTitle) {
    const std::string good = Doc({Source("ostrel-160", "\"Song\"")});
    for (std::size_t cut : {std::size_t{0}, std::size_t{40}, good.find("ostrel"), good.find("\"title\"") + 10,
                            good.find("Song") + 2}) {
        ExpectNone(good.substr(0, cut), "ostrel");
    }
    ExpectNone("\"listenurl\":\"http://x/ostrel-160", "ostrel");
    ExpectNone("\"listenurl\":\"http://x/ostrel-160\",\"title\":", "ostrel");
    ExpectNone("\"listenurl\":\"http://x/ostrel-160\",\"title\":\"open", "ostrel");
    ExpectTitle("\"listenurl\":\"http://x/ostrel-160\",\"title\":\"T\"", "ostrel", "T");
    // The document ends at its first NUL byte.
    const std::string nul(1, '\0');
    ExpectNone(nul + good, "ostrel");
    ExpectNone(good.substr(0, good.find("\"title\"")) + nul + good.substr(good.find("\"title\"")), "ostrel");
    ExpectNone(good.substr(0, good.find("Song") + 2) + nul + good.substr(good.find("Song") + 2), "ostrel");
    ExpectTitle(good + nul + Doc({Source("ostrel-160", "\"Later\"")}), "ostrel", "Song");
    ExpectNone(good, "");
    EXPECT_FALSE(ExtractStatusJsonTitle(good, nullptr, nullptr));
}

}  // namespace

namespace {

// A source entry with its listener member as given ("" leaves it out).
std::string Counted(const std::string& mount, const std::string& listenersJson) {
    std::string s = Source(mount, "\"T\"");
    const std::string member = "\"listeners\":2,";
    s.replace(s.find(member), member.size(), listenersJson.empty() ? "" : "\"listeners\":" + listenersJson + ",");
    return s;
}

TEST(StatusJsonListeners, SumOfTheChannelsTwoMounts) {
    const struct Case {
        std::string doc;
        const char* id;
        std::int64_t listeners;
    } cases[] = {
        {Doc({Counted("ostrel-160", "2"), Counted("ostrel-mp3", "7"), Counted("pavo-160", "100")}), "ostrel", 9},
        {Doc({Counted("ostrel-mp3", "7")}), "ostrel", 7},  // one source: an object, not a list
        {Doc({Counted("ostrel-160", "0")}), "ostrel", 0},
        {Doc({Counted("pavo-160", "3")}), "ostrel", -1},
        {Doc({}), "ostrel", -1},
        {Doc({Counted("pavo-160", "3"), Counted("pavo-mp3", "4")}), "vo", -1},  // the tail of a mount
        {Doc({Counted("ostrel-160", ""), Counted("ostrel-mp3", "5")}), "ostrel", 5},
        {Doc({Counted("ostrel-160", "")}), "ostrel", -1},
        // Not a whole non-negative count: left out.
        {Doc({Counted("ostrel-160", "\"5\""), Counted("ostrel-mp3", "1")}), "ostrel", 1},
        {Doc({Counted("ostrel-160", "-3")}), "ostrel", -1},
        {Doc({Counted("ostrel-160", "1.5")}), "ostrel", -1},
        {Doc({Counted("ostrel-160", "1e3")}), "ostrel", -1},
        {Doc({Counted("ostrel-160", "1234567890")}), "ostrel", -1},
        {Doc({Counted("ostrel-160", "999999999"), Counted("ostrel-mp3", "999999999")}), "ostrel", 1999999998},
        // Members in another order, spaces, and a member of a nested object that does not count.
        {R"({"source":[{"listenurl": "http://h/ostrel-160", "x":{"listeners":50}, "listeners" : 4 }]})", "ostrel", 4},
        {R"({"source":[{"x":{"listeners":50},"listenurl":"http://h/ostrel-160"}]})", "ostrel", -1},
        {R"({"source":[{"server_name":"\"listeners\":8 {","listenurl":"http://h/ostrel-160"}]})", "ostrel", -1},
        // A document cut inside the entry.
        {R"({"source":[{"listeners":3,"listenurl":"http://h/ostrel-160","title":"a)", "ostrel", -1},
        {R"({"source":[{"listeners":3,"listenurl":"http://h/ostrel-160"}]})" + std::string(1, '\0') + "]", "ostrel", 3},
    };
    for (const Case& c : cases) EXPECT_EQ(ExtractStatusJsonListeners(c.doc, c.id), c.listeners) << c.id << " " << c.doc;
    EXPECT_EQ(ExtractStatusJsonListeners(Doc({Counted("ostrel-160", "2")}), nullptr), -1);
}

}  // namespace
