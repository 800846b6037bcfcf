// The process-wide instances and the start-up and shutdown steps both programs share.
#pragma once

#include "app/window_state.hpp"
#include "covers/cover_set.hpp"
#include "covers/cover_sources.hpp"
#include "history/play_history.hpp"
#include "nowplaying/now_playing.hpp"
#include "nowplaying/station_board.hpp"
#include "platform/http_client.hpp"
#include "settings/app_config.hpp"
#include "web/web_server.hpp"
#include "web/title_history.hpp"
#include "web/web_snapshot.hpp"

#include <filesystem>
#include <memory>

// Created on first use and never destroyed: a cover-search or server thread that outlives its
// bounded wait at shutdown may still touch them while the process ends.
extern Settings& gSettings;
extern CoverSet& gCovers;
// The picture sources, cache and logos gCovers points at.
extern CoverSources& gCoverSources;
extern WebSnapshot& gSnapshot;
extern WindowState& gWindowState;
// The now-playing fetch's context, owning the shared HTTP session (main thread only).
extern NowPlayingContext& gNowPlaying;
// The titles seen, for /api/history: written by the main thread, read by the server thread.
extern TitleHistory& gTitleHistory;
// Every channel's title on air: written by the main thread and the station watcher, read by the
// server thread.
extern StationBoard& gStationBoard;

// Start-up from the settings to the web server: loads config.json beside the executable
// (creating it when missing), opens the shared session, sets up the empty cover set and starts
// the server on the configured port. Returns whether the server listens.
bool StartServices();
// Shutdown from the server to the shared session: stops the server, saves a pictures switch it
// made that is still unsaved, cancels every cover search and waits for all of them (each of the
// two waits bounded at 1500 ms), frees the pictures, closes the session; the station watcher's
// requests are cancelled first and its threads waited for last (at most 1500 ms). Returns false
// when a search or watcher thread is still running: it may be inside the HTTP library, so the
// caller then ends the process without the library's clean-ups at exit.
bool StopServices();

// Sets up the picture sources from the settings: their order and addresses, the cache folder
// (relative to programDir), where logo files are looked for. Before the first search.
void ConfigureCoverSources(CoverSources& sources, const AppConfig& config, const std::filesystem::path& programDir);

// The play history's file from the settings: history.sqlite3 in folder (that of config.json)
// when the key is absent, an empty path (memory only) when it is empty, else the configured
// path taken from folder.
std::filesystem::path HistoryFilePath(const std::filesystem::path& folder, const AppConfig& config);

// The handlers' context over the process-wide instances, drawing on the given view.
AppContext MakeProcessContext(WindowView& view);

// The real now-playing source: FetchNowPlaying over gNowPlaying.
NowPlayingFetch StationFetch();
