#include "app/process.hpp"

#include "app/stream_outputs.hpp"
#include "nowplaying/station_watch.hpp"
#include "common/text.hpp"
#include "platform/exe_dir.hpp"
#include "platform/address_guard.hpp"
#include "platform/main_window.hpp"
#include "web/picture_switch.hpp"
#include "web/title_history.hpp"

#include <chrono>
#include <mutex>

Settings& gSettings = *new Settings;
CoverSet& gCovers = *new CoverSet;
CoverSources& gCoverSources = *new CoverSources;
WebSnapshot& gSnapshot = *new WebSnapshot;
WindowState& gWindowState = *new WindowState;
NowPlayingContext& gNowPlaying = *new NowPlayingContext(gSettings);
TitleHistory& gTitleHistory = *new TitleHistory;
StationBoard& gStationBoard = *new StationBoard;

namespace {

// The board's rows from the channel table.
std::vector<ChannelOnAir> BoardRows(const AppConfig& config) {
    std::vector<ChannelOnAir> rows;
    const int count = config.channels.count < MAX_CHANNELS ? config.channels.count : MAX_CHANNELS;
    for (int i = 0; i < count; ++i) {
        ChannelOnAir row;
        row.id = View(config.channels.entries[i].id);
        row.name = Utf16ToUtf8(View(config.channels.entries[i].name));
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

void ConfigureCoverSources(CoverSources& sources, const AppConfig& config, const std::filesystem::path& programDir) {
    CoverSourcesConfig chain;
    chain.orderGiven = config.cover_sources_present;
    for (int i = 0; i < config.cover_source_count && i < MAX_COVER_SOURCE_NAMES; ++i) {
        chain.names.emplace_back(View(config.cover_sources[i]));
    }
    chain.itunesUrl = View(config.itunes_url);
    chain.deezerUrl = View(config.deezer_url);
    chain.musicBrainzUrl = View(config.musicbrainz_url);
    chain.coverArtArchiveUrl = View(config.coverartarchive_url);
    sources.chain.Configure(chain);
    sources.logos.SetProgramDir(programDir);
    const std::string_view folder = View(config.cover_cache_folder);
    if (!folder.empty()) {
        // UTF-8 text on every platform; a relative folder lies beside the program.
        std::filesystem::path path(std::u8string(reinterpret_cast<const char8_t*>(folder.data()), folder.size()));
        sources.cache.SetFolder(path.is_relative() ? programDir / path : path);
    }
}

std::filesystem::path HistoryFilePath(const std::filesystem::path& folder, const AppConfig& config) {
    if (!config.history_file_present) return folder / "history.sqlite3";
    return ResolveOutputPath(folder, View(config.history_file));
}

namespace {
WebContext gWebContext;
// Opened at the first start and closed at the stop; the board's hooks and the server's queries
// hold their own references.
std::shared_ptr<PlayHistory> gPlayHistory;
constexpr int kDefaultHistoryDays = 90;
// Created at start-up from the settings; never destroyed (its writer may outlive the stop's wait).
StreamOutputs* gStreamOutputs = nullptr;
// Every channel's title and listeners, unless the settings switch it off. Never destroyed, as
// its threads may outlive the stop's wait.
StationWatch* gStationWatch = nullptr;
static_assert(kWatchRoundMs == kRefreshPeriodMs, "the watcher's rounds follow the window's refresh");
constexpr int kShutdownWaitMs = 1500;

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Every new title and listener count the board takes goes into the play history. Set before
// any thread that writes the board starts; the file is opened on the history's own thread.
void OpenHistory(const AppConfig& config) {
    PlayHistoryOptions options;
    options.file = HistoryFilePath(gSettings.file.parent_path(), config);
    options.keepDays = config.history_days >= 0 ? config.history_days : kDefaultHistoryDays;
    // A start without a stop in between (a test's) ends the earlier history first.
    if (gPlayHistory) ClosePlayHistory(*gPlayHistory, NowSeconds(), kShutdownWaitMs);
    gPlayHistory = OpenPlayHistory(options);
    std::lock_guard<std::mutex> hold(gStationBoard.lock);
    gStationBoard.onTitle = [history = gPlayHistory](const BoardTitleChange& change) {
        PlayRecord play;
        play.channelId = change.channelId;
        play.channelName = change.channelName;
        play.title = change.title;
        play.started = change.started;
        play.listenersAtStart = change.listeners >= 0 ? change.listeners : kPlayNone;
        RecordPlay(*history, play);
    };
    gStationBoard.onListeners = [history = gPlayHistory](std::int32_t, const std::string& channelId,
                                                         std::int64_t listeners) {
        RecordListeners(*history, channelId, listeners);
    };
}

}  // namespace

bool StartServices() {
    if (gSettings.file.empty()) gSettings.file = ConfigFilePath();
    LoadConfig(gSettings);
    gNowPlaying.loadConfig = LoadConfig;
    gNowPlaying.cancelled = ClosePosted;
    if (!gNowPlaying.session) gNowPlaying.session = OpenHttpSession(NOW_PLAYING_USER_AGENT);

    const AppConfig config = ReadConfig(gSettings);
    // The server answers /api/info before the window exists: the set starts with the file's
    // pictures switch, which the window's creation then applies again.
    InitCoverSet(gCovers, config.show_images);
    SetImageSearchUrl(gCovers, View(config.image_search_url));  // empty: the built-in address
    ConfigureCoverSources(gCoverSources, config, ExecutableDirectory());
    gCovers.sources = &gCoverSources;

    // The files for streaming software; relative paths are taken from the program's folder,
    // where config.json lives.
    if (gStreamOutputs == nullptr) {
        const std::filesystem::path folder = gSettings.file.parent_path();
        gStreamOutputs = new StreamOutputs(ResolveOutputPath(folder, View(config.nowplaying_file)),
                                           ResolveOutputPath(folder, View(config.cover_file)));
    }

    gWebContext = WebContext{};
    gWebContext.settings = &gSettings;
    gWebContext.covers = &gCovers;
    gWebContext.snapshot = &gSnapshot;
    gWebContext.history = &gTitleHistory;
    OpenHistory(config);
    SetBoardChannels(gStationBoard, BoardRows(config), config.last_channel_index);
    gWebContext.board = &gStationBoard;
    gWebContext.queryPlays = [history = gPlayHistory](const PlayQuery& query,
                                                      const std::function<bool(const PlayRecord&)>& each) {
        return QueryPlays(*history, query, each);
    };
    if (gStationWatch != nullptr) gStationWatch->Stop(0);  // a start after a stop: the old one is over
    gStationWatch = config.watch_all_channels ? new StationWatch(gSettings, gStationBoard) : nullptr;
    if (!StartWebServer(gWebContext, config.port, View(config.listen_address))) return false;
    SetOwnServerPort(WebServerPort());  // guarded requests never reach it
    return true;
}

bool StopServices() {
    // The watcher's requests are cancelled at once; its threads end while the rest stops.
    if (gStationWatch != nullptr) gStationWatch->Stop(0);
    StopWebServer();
    // A pictures switch the server answered after the window had gone is saved all the same.
    SavePictures(gSettings, gCovers);
    const bool searchesEnded = StopCoverSearches(gCovers, kShutdownWaitMs);
    {
        std::lock_guard<std::mutex> hold(gCovers.lock);
        FreeCoverSlots(gCovers);
    }
    gNowPlaying.session.reset();
    if (gStreamOutputs != nullptr) gStreamOutputs->Stop(kShutdownWaitMs);
    // The watcher first, so that no new title reaches the history after its close.
    const bool watchEnded = gStationWatch == nullptr || gStationWatch->Stop(kShutdownWaitMs);
    // Every play going on ends now; a writer held up by the disk past the wait is left to finish
    // on its own (nothing it holds is lost by that).
    if (gPlayHistory) ClosePlayHistory(*gPlayHistory, NowSeconds(), kShutdownWaitMs);
    return searchesEnded && watchEnded;
}

AppContext MakeProcessContext(WindowView& view) {
    AppContext app;
    app.settings = &gSettings;
    app.covers = &gCovers;
    app.snapshot = &gSnapshot;
    app.state = &gWindowState;
    app.view = &view;
    app.fetch = StationFetch();
    app.history = &gTitleHistory;
    app.board = &gStationBoard;
    app.outputs = gStreamOutputs;
    return app;
}

NowPlayingFetch StationFetch() {
    return [](int channelIndex, char16_t* out, std::size_t outUnits) {
        return FetchNowPlaying(gNowPlaying, channelIndex, out, outUnits);
    };
}
