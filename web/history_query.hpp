// The stored play history as the web server hands it out: the query string of /api/history and
// /api/history.csv read into a PlayQuery, and the plays written as JSON or CSV. Pure functions
// over their inputs; the query itself runs elsewhere (off the server's loop).
#pragma once

#include "history/play_history.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The most plays one answer holds, and how many it holds when the query does not say.
constexpr std::size_t kHistoryJsonLimit = 1000;
constexpr std::size_t kHistoryJsonDefault = 50;
constexpr std::size_t kHistoryCsvLimit = 100000;

enum class HistoryQueryRead {
    None,       // no parameter of the history's: the route answers as without a query
    Query,      // out holds the query
    Malformed,  // a parameter that cannot be read: 400
};

// Reads the query string (what follows '?', without it) of a history route. Parameters are
// "key=value" pairs split at '&'; keys and values are percent-decoded, '+' stands for a space (as
// forms and URLSearchParams write it; a plus itself is "%2B"). channel (an id), from, to and
// before (UTC "YYYY-MM-DDTHH:MM:SSZ"), q (UTF-8 text) and limit (1 to the route's most; its
// default for JSON, all up to the most for CSV). An empty value counts as absent; other keys are
// ignored (a cache-buster such as "_=123" keeps its meaning). Malformed: a bad escape, a NUL or
// malformed UTF-8 in a value, a time or limit out of its form or range, a parameter given twice.
HistoryQueryRead ReadHistoryQuery(std::string_view query, bool csv, PlayQuery* out);

// "YYYY-MM-DDTHH:MM:SSZ" (a real date, years 0000 to 9999) as seconds since 1970; false otherwise.
bool ParseUtcTime(std::string_view text, std::int64_t* seconds);

// The plays as /api/history's JSON array, each object in the form of the short history
// (channel_index, channel_id, title, first_seen) plus ended (null while playing) and listeners
// (the most seen, or null). channel_index is the play's channel's place in channelIds, null when
// the table no longer has that id.
std::string FormatPlaysJson(const std::vector<PlayRecord>& plays, const std::vector<std::string>& channelIds);

// The plays as CSV (RFC 4180, CRLF line ends) under the header row
// "channel_id,channel_name,title,started,ended,listeners"; ended and listeners are empty when
// unknown. A text field that a spreadsheet would take for a formula (it begins with '=', '+',
// '-', '@', a tab or a CR) is prefixed with an apostrophe; malformed UTF-8 becomes U+FFFD.
std::string FormatPlaysCsv(const std::vector<PlayRecord>& plays);
// One CSV field as FormatPlaysCsv writes a text (guarded and quoted as needed), appended to out.
void AppendCsvText(std::string& out, std::string_view text);
