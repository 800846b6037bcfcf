// Arbitrary bytes as the query string of the history's routes, and as the texts of stored plays:
// a query read is within its bounds (limits, times in range, texts valid UTF-8 without NUL), the
// JSON answer parses and gives back each title as stored (malformed UTF-8 aside, up to a NUL), and every CSV
// row reads back as six fields whose texts never start as a formula.
#include "tests/unit/web_test_env.hpp"
#include "web/history_query.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// RFC 4180 rows back into fields; false when the text is not well formed.
bool ReadCsv(const std::string& text, std::vector<std::vector<std::string>>* rows) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<std::string> row;
        for (;;) {
            std::string field;
            if (i < text.size() && text[i] == '"') {
                ++i;
                for (;;) {
                    if (i >= text.size()) return false;
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    field += text[i++];
                }
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n' && text[i] != '"') {
                    field += text[i++];
                }
            }
            row.push_back(field);
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (text.compare(i, 2, "\r\n") != 0) return false;
            i += 2;
            break;
        }
        rows->push_back(row);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const bool csv : {false, true}) {
        PlayQuery q;
        const HistoryQueryRead read = ReadHistoryQuery(text, csv, &q);
        if (read != HistoryQueryRead::Query) continue;
        if (q.limit < 1 || q.limit > (csv ? kHistoryCsvLimit : kHistoryJsonLimit)) std::abort();
        for (const std::string* s : {&q.channelId, &q.text}) {
            if (!IsValidUtf8(*s) || s->find('\0') != std::string::npos) std::abort();
        }
        for (const std::int64_t t : {q.from, q.to, q.before}) {
            if (t != kPlayNone && (t < -62167219200 || t > 253402300799)) std::abort();
        }
    }
    std::int64_t when = 0;
    if (ParseUtcTime(text, &when) && FormatUtcTime(when) != text) std::abort();

    const std::size_t half = text.size() / 2;
    const std::vector<PlayRecord> plays = {
        {text.substr(0, half), text.substr(half), text, 1796724005, kPlayNone, kPlayNone, kPlayNone},
        {"a", text.substr(half), text.substr(0, half), static_cast<std::int64_t>(size) * 1000, 1796724005, 1, 2},
    };
    Json list;
    if (!Json::Parse(FormatPlaysJson(plays, {"a", text}), &list) || list.items.size() != 2) std::abort();
    // The escaper reads a C string: a title ends at a NUL, as it does in every other answer.
    if (IsValidUtf8(text) && list.items[0].Get("title")->text != text.substr(0, text.find('\0'))) std::abort();
    std::vector<std::vector<std::string>> rows;
    if (!ReadCsv(FormatPlaysCsv(plays), &rows) || rows.size() != 3) std::abort();
    for (const auto& row : rows) {
        if (row.size() != 6) std::abort();
        for (std::size_t f = 0; f < 3; ++f) {
            const std::string& field = row[f];
            if (!field.empty() && std::string_view("=+-@\t\r").find(field[0]) != std::string_view::npos) std::abort();
            if (!IsValidUtf8(field)) std::abort();
        }
    }
    return 0;
}
