// What only the WinINet client has to get right: the flags of each redirect hop it follows
// itself, the lifetime of a handle that a call thread may still use, and guarded requests through
// the system's proxy.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"
#include "platform/http_client_wininet.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"
#include "tests/unit/http_client_sim_hosts.hpp"

namespace {

constexpr std::uint32_t kPictureFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpGuardAddresses;

// The caller's kHttpSecure speaks for the URL it asked for; a redirect takes its own scheme's.
TEST(WinInetClient, EachHopTakesItsOwnSchemesFlags) {
    const struct {
        const char* url;
        std::uint32_t flags;
        bool firstHop;
        bool secure;
    } cases[] = {
        {"https://pics.example/a.jpg", kPictureFlags | kHttpSecure, true, true},
        {"http://pics.example/a.jpg", kPictureFlags | kHttpSecure, false, false},  // https -> http
        {"https://pics.example/a.jpg", kPictureFlags, false, true},  // http -> https
        {"http://pics.example/a.jpg", kPictureFlags, true, false},
    };
    const std::uint32_t plain = WinInetHopFlags("http://pics.example/", kPictureFlags, true);
    for (const auto& c : cases) {
        const std::uint32_t flags = WinInetHopFlags(c.url, c.flags, c.firstHop);
        EXPECT_EQ((flags & INTERNET_FLAG_SECURE) != 0, c.secure) << c.url << (c.firstHop ? " first" : " redirect");
        EXPECT_EQ(flags & ~static_cast<std::uint32_t>(INTERNET_FLAG_SECURE), plain) << c.url;
    }
}

std::atomic<bool> gCallTaken{false};
std::atomic<bool> gCallReleased{false};

// A call thread can be descheduled for any time between taking its handle and making its call.
// A request given up meanwhile must not free that handle under it (its value could belong to
// another request by then): the late call goes out on its own handle, while the request's thread
// has long left.
TEST(WinInetClient, AnAbandonedCallKeepsItsHandle) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    ASSERT_TRUE(sim.SetBody("/abandoned", "late"));
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    session->SetTimeouts(3000, 3000);
    session->SetCancelCheck([] { return gCallTaken.load(); });
    gCallTaken = false;
    gCallReleased = false;
    SetCallHookForTesting([] {
        gCallTaken = true;
        WaitFor([] { return gCallReleased.load(); }, std::chrono::milliseconds(5000));
    });
    EXPECT_EQ(session->OpenUrl((sim.BaseUrl() + "/abandoned").c_str(), kHttpReload, 64), nullptr);
    EXPECT_TRUE(gCallTaken.load());
    gCallReleased = true;
    EXPECT_TRUE(WaitFor([&] { return sim.Log().find("/abandoned") != std::string::npos; }, std::chrono::milliseconds(5000)))
        << "the late call found its handle closed";
    SetCallHookForTesting(nullptr);
}

// WinINet reads the system's proxy settings once per process, so a child process of this program
// runs the check with the simulator as its proxy (under Wine, http_proxy names it).
constexpr char kProxyChild[] = "TOVREL_PROXY_CHILD";

bool SystemUsesAProxy() {
    HINTERNET root = InternetOpenW(L"probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    alignas(INTERNET_PROXY_INFO) unsigned char buffer[4096];
    DWORD size = sizeof buffer;
    const bool read = root != nullptr && InternetQueryOptionW(root, INTERNET_OPTION_PROXY, buffer, &size);
    if (root != nullptr) InternetCloseHandle(root);
    return read && reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer)->dwAccessType == INTERNET_OPEN_TYPE_PROXY;
}

int RunProxyChild(int simPort) {
    wchar_t exe[MAX_PATH];
    const DWORD len = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) return -1;
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_brief=1 --gtest_filter=WinInetClient.GuardedRequestsThroughTheSystemProxy";
    wchar_t noProxy[256] = L"";
    GetEnvironmentVariableW(L"no_proxy", noProxy, 256);
    SetEnvironmentVariableW(L"http_proxy", (L"http://127.0.0.1:" + std::to_wstring(simPort) + L"/").c_str());
    SetEnvironmentVariableW(L"no_proxy", L"*.direct.invalid");  // WinINet connects to these itself
    SetEnvironmentVariableW(L"TOVREL_PROXY_CHILD", L"1");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(L"http_proxy", nullptr);
    SetEnvironmentVariableW(L"no_proxy", noProxy[0] != L'\0' ? noProxy : nullptr);
    SetEnvironmentVariableW(L"TOVREL_PROXY_CHILD", nullptr);
    if (!started) return -1;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

TEST(WinInetClient, GuardedRequestsThroughTheSystemProxy) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    if (std::getenv(kProxyChild) == nullptr) {
        EXPECT_EQ(RunProxyChild(SimulatorPort()), 0);
        return;
    }
    if (!SystemUsesAProxy()) GTEST_SKIP() << "this system takes no proxy from http_proxy";
    SimControl sim(SimulatorPort());
    SimHosts hosts;
    ASSERT_TRUE(ReadSimHosts(sim.port(), hosts));
    ASSERT_TRUE(sim.Reset());
    ASSERT_TRUE(sim.SetBody("/target", "arrived"));
    ASSERT_TRUE(sim.SetBody("/lan", "secret"));
    SetOwnServerPort(hosts.second);
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    session->SetTimeouts(3000, 3000);
    const auto fetches = [&](const std::string& url, const std::string& expected) {
        auto r = session->OpenUrl(url.c_str(), kPictureFlags, 64);
        char buf[64];
        std::size_t got = 0;
        return r && r->Read(buf, sizeof buf, got) && std::string(buf, got) == expected;
    };
    const std::string host = "http://covers.proxied.invalid";
    const std::string own = std::to_string(hosts.second);
    const auto redirect = [&](const std::string& path, const std::string& to) {
        EXPECT_TRUE(sim.Set("{\"path\": \"" + path + "\", \"redirect\": \"" + to + "\"}"));
        return host + path;
    };
    // A name that only the proxy can resolve is left to it, and so are the names it leads to.
    EXPECT_TRUE(fetches(host + "/target", "arrived"));
    EXPECT_TRUE(fetches(redirect("/r1", "http://pics.proxied.invalid/target"), "arrived"));
    // What can be told without a lookup is still refused: the local network behind a public
    // name, written as an address or as this machine's name, and the own port under any name.
    EXPECT_FALSE(fetches(redirect("/r2", "http://10.0.0.1/lan"), "secret"));
    EXPECT_FALSE(fetches(redirect("/r3", "http://0x7f.1:" + own + "/lan"), "secret"));
    EXPECT_FALSE(fetches(redirect("/r4", "http://app.localhost/lan"), "secret"));
    EXPECT_FALSE(fetches(host + ":" + own + "/lan", "secret"));
    // A name the proxy is bypassed for is looked up here, as before (and this one resolves nowhere).
    EXPECT_FALSE(fetches("http://covers.direct.invalid/target", "arrived"));
    const std::string log = sim.Log();
    EXPECT_EQ(log.find("/lan"), std::string::npos) << log;
    EXPECT_EQ(log.find("direct.invalid"), std::string::npos) << log;
    SetOwnServerPort(0);
}

}  // namespace
