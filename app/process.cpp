#include "app/process.hpp"

#include "common/text.hpp"

#include <mutex>

Settings& gSettings = *new Settings;
CoverSet& gCovers = *new CoverSet;
WebSnapshot& gSnapshot = *new WebSnapshot;
WindowState& gWindowState = *new WindowState;
std::unique_ptr<HttpSession> gHttpSession;

namespace {
WebContext gWebContext;
constexpr int kShutdownWaitMs = 1500;
}  // namespace

bool StartServices() {
    if (gSettings.file.empty()) gSettings.file = ConfigFilePath();
    LoadConfig(gSettings);
    if (!gHttpSession) gHttpSession = OpenHttpSession(kUserAgent);

    InitCoverSet(gCovers);
    const AppConfig config = ReadConfig(gSettings);
    const std::string_view searchUrl = View(config.image_search_url);
    {
        std::lock_guard<std::mutex> hold(gCovers.lock);
        CopyText(gCovers.imageSearchUrl, searchUrl.empty() ? kDefaultImageSearchUrl : searchUrl);
    }

    gWebContext = WebContext{&gSettings, &gCovers, &gSnapshot};
    return StartWebServer(gWebContext, config.port);
}

void StopServices() {
    StopWebServer();
    WaitForCoverWorker(gCovers, kShutdownWaitMs);
    {
        std::lock_guard<std::mutex> hold(gCovers.lock);
        FreeCoverSlots(gCovers);
    }
    gHttpSession.reset();
}

AppContext MakeProcessContext(WindowView& view) {
    AppContext app;
    app.settings = &gSettings;
    app.covers = &gCovers;
    app.snapshot = &gSnapshot;
    app.state = &gWindowState;
    app.view = &view;
    app.fetch = StationFetch();
    return app;
}
