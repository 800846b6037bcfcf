// The platform's HTTP client (libcurl here, WinINet on Windows) against the station simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/address_guard.hpp"
#include "platform/http_client.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"
#include "tests/unit/http_client_sim_hosts.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPollFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpPragmaNoCache;

class HttpClientSim : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
        sim = std::make_unique<SimControl>(SimulatorPort());
        ASSERT_TRUE(sim->Reset());
        session = OpenHttpSession("TovrelRadio/1.0");
        ASSERT_NE(session, nullptr);
        session->SetTimeouts(3000, 3000);
    }

    std::string Url(const std::string& path) const { return sim->BaseUrl() + path; }

    // Reads the whole body in pieces of `piece` bytes; false when a read fails.
    static bool ReadAll(HttpRequest& r, std::string& body, std::size_t piece = 4096) {
        body.clear();
        std::string buf(piece, '\0');
        for (int i = 0; i < 100000; ++i) {
            std::size_t got = 0;
            if (!r.Read(buf.data(), piece, got)) return false;
            if (got == 0) return true;
            body.append(buf.data(), got);
        }
        return false;
    }

    std::unique_ptr<SimControl> sim;
    std::unique_ptr<HttpSession> session;
};

TEST_F(HttpClientSim, StatusAndBody) {
    ASSERT_TRUE(sim->SetBody("/np/a", "Artist - Song\r\n"));
    auto r = session->OpenUrl(Url("/np/a").c_str(), kPollFlags, 1023);
    ASSERT_NE(r, nullptr);
    std::uint32_t code = 0;
    ASSERT_TRUE(r->QueryStatusCode(code));
    EXPECT_EQ(code, 200u);
    std::string body;
    ASSERT_TRUE(ReadAll(*r, body, 7));
    EXPECT_EQ(body, "Artist - Song\r\n");

    ASSERT_TRUE(sim->SetBody("/missing", "<html>gone</html>", 404, "text/html"));
    r = session->OpenUrl(Url("/missing").c_str(), kPollFlags, 1023);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(r->QueryStatusCode(code));
    EXPECT_EQ(code, 404u);

    // A large body arrives whole when the caller's limit allows it.
    ASSERT_TRUE(sim->Set(R"({"path":"/big","body":"0123456789","repeat_to":300000})"));
    r = session->OpenUrl(Url("/big").c_str(), kPollFlags, 524288);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(ReadAll(*r, body));
    EXPECT_EQ(body.size(), 300000u);
    EXPECT_EQ(body.substr(299990), "0123456789");
}

TEST_F(HttpClientSim, RequestCarriesAgentPathAndNoCacheHeader) {
    ASSERT_TRUE(sim->SetBody("/np/q", "x"));
    auto r = session->OpenUrl(Url("/np/q?a=1&b=%20c").c_str(), kPollFlags, 16);
    ASSERT_NE(r, nullptr);
    r.reset();
    const std::string log = sim->Log();
    EXPECT_NE(log.find("\"method\": \"GET\", \"target\": \"/np/q?a=1&b=%20c\""), std::string::npos) << log;
    EXPECT_NE(log.find("\"user-agent\": \"TovrelRadio/1.0\""), std::string::npos) << log;
    EXPECT_NE(log.find("\"pragma\": \"no-cache\""), std::string::npos) << log;
    EXPECT_EQ(log.find("cookie"), std::string::npos) << log;

    // Without the flag no no-cache header is sent.
    ASSERT_TRUE(sim->Reset());
    ASSERT_TRUE(sim->SetBody("/np/q", "x"));
    r = session->OpenUrl(Url("/np/q").c_str(), kHttpReload | kHttpNoCookies, 16);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(sim->Log().find("no-cache"), std::string::npos);
}

TEST_F(HttpClientSim, RedirectsAreFollowed) {
    ASSERT_TRUE(sim->SetBody("/target", "arrived"));
    auto r = session->OpenUrl(Url("/_station/redirect?to=/target").c_str(), kPollFlags, 1023);
    ASSERT_NE(r, nullptr);
    std::uint32_t code = 0;
    ASSERT_TRUE(r->QueryStatusCode(code));
    EXPECT_EQ(code, 200u);
    std::string body;
    ASSERT_TRUE(ReadAll(*r, body));
    EXPECT_EQ(body, "arrived");
}

TEST_F(HttpClientSim, OtherSchemesAreRefused) {
    EXPECT_EQ(session->OpenUrl("file:///etc/hosts", kPollFlags, 1023), nullptr);
    EXPECT_EQ(session->OpenUrl("ftp://127.0.0.1/x", kPollFlags, 1023), nullptr);
    EXPECT_EQ(session->OpenUrl("not a url", kPollFlags, 1023), nullptr);
}

TEST_F(HttpClientSim, ServerThatNeverAnswersTimesOut) {
    ASSERT_TRUE(sim->Set(R"({"path":"/hang","hang":true})"));
    session->SetTimeouts(1000, 1000);
    const auto start = Clock::now();
    auto r = session->OpenUrl(Url("/hang").c_str(), kPollFlags, 1023);
    const auto took = Clock::now() - start;
    if (r) {  // a client may report the failure at the first read instead
        char buf[16];
        std::size_t got = 0;
        EXPECT_FALSE(r->Read(buf, sizeof buf, got));
    }
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
}

TEST_F(HttpClientSim, BodyThatStallsFailsTheRead) {
    ASSERT_TRUE(sim->Set(R"({"path":"/stall","body":"abcdef","trickle_ms":4000,"chunk":2})"));
    session->SetTimeouts(1000, 1000);
    const auto start = Clock::now();
    auto r = session->OpenUrl(Url("/stall").c_str(), kPollFlags, 1023);
    std::string body;
    if (r) {
        EXPECT_FALSE(ReadAll(*r, body));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3500));
    EXPECT_LE(body.size(), 2u);
}

// The receive time-out counts only silence; a deadline bounds the whole request however the
// server paces its bytes, and hands over what arrived by then.
TEST_F(HttpClientSim, DeadlineEndsATricklingRead) {
    ASSERT_TRUE(sim->Set(R"({"path":"/drip","body":"abcdefghijklmnopqrstuvwxyz","trickle_ms":300,"chunk":1})"));
    const auto start = Clock::now();
    session->SetDeadline(start + std::chrono::milliseconds(1200));
    auto r = session->OpenUrl(Url("/drip").c_str(), kPollFlags, 1023);
    ASSERT_NE(r, nullptr);
    char buf[1023];
    std::size_t got = 0;
    ASSERT_TRUE(r->Read(buf, sizeof buf, got));
    const auto took = Clock::now() - start;
    EXPECT_GE(got, 1u);
    EXPECT_LE(got, 6u);
    EXPECT_EQ(std::string(buf, got), std::string("abcdefghijklmnopqrstuvwxyz").substr(0, got));
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::milliseconds(1700));
    // The body was cut: the next read fails at once rather than reporting its end.
    const auto again = Clock::now();
    EXPECT_FALSE(r->Read(buf, sizeof buf, got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(400));
}

TEST_F(HttpClientSim, DeadlineBoundsAServerThatNeverAnswers) {
    ASSERT_TRUE(sim->Set(R"({"path":"/hang","hang":true})"));
    const auto start = Clock::now();
    session->SetDeadline(start + std::chrono::milliseconds(800));
    auto r = session->OpenUrl(Url("/hang").c_str(), kPollFlags, 1023);
    if (r) {
        char buf[16];
        std::size_t got = 0;
        EXPECT_FALSE(r->Read(buf, sizeof buf, got));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1400));
    // A deadline already passed makes no request at all.
    session->SetDeadline(Clock::now() - std::chrono::milliseconds(1));
    EXPECT_EQ(session->OpenUrl(Url("/hang").c_str(), kPollFlags, 1023), nullptr);
}

TEST_F(HttpClientSim, DeadlineLeavesAPromptAnswerWhole) {
    std::string doc;
    for (int i = 0; doc.size() < 20000; ++i) doc += "line " + std::to_string(i) + "\n";
    ASSERT_TRUE(sim->SetBody("/doc", doc));
    session->SetDeadline(Clock::now() + std::chrono::seconds(5));
    // One read yields all it is asked for, as without a deadline.
    auto r = session->OpenUrl(Url("/doc").c_str(), kPollFlags, 1023);
    ASSERT_NE(r, nullptr);
    char buf[1023];
    std::size_t got = 0;
    ASSERT_TRUE(r->Read(buf, sizeof buf, got));
    EXPECT_EQ(std::string(buf, got), doc.substr(0, 1023));
    r = session->OpenUrl(Url("/doc").c_str(), kPollFlags, 65535);
    ASSERT_NE(r, nullptr);
    std::string body;
    ASSERT_TRUE(ReadAll(*r, body));
    EXPECT_EQ(body, doc);
    session->SetDeadline(std::nullopt);
    r = session->OpenUrl(Url("/doc").c_str(), kPollFlags, 65535);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(ReadAll(*r, body));
    EXPECT_EQ(body, doc);
}

// A cancel check that turns true ends the request at once wherever it waits: for the answer, or
// in the middle of a body that trickles a byte a second (with or without a deadline far away, as
// the cover search runs its requests). The clients ask it every 50 ms at least; without it the
// request would go on for seconds. The bound leaves room for a loaded machine; the times are
// recorded.
TEST_F(HttpClientSim, CancelDropsTheTransferAtOnce) {
    const struct {
        const char* name;
        const char* spec;
        bool withDeadline;
    } cases[] = {
        {"no answer", R"({"path":"/c","hang":true})", false},
        {"trickling body", R"({"path":"/c","body":"abcdefghijklmnopqrstuvwxyz","trickle_ms":1000,"chunk":1})", false},
        {"trickling body, deadline set", R"({"path":"/c","body":"abcdefghijklmnopqrstuvwxyz","trickle_ms":1000,"chunk":1})",
         true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(sim->Set(c.spec)) << c.name;
        std::atomic<bool> cancelled{false};
        std::atomic<Clock::rep> flippedAt{0};
        session->SetTimeouts(10000, 10000);
        session->SetDeadline(c.withDeadline ? std::optional(Clock::now() + std::chrono::seconds(20)) : std::nullopt);
        session->SetCancelCheck([&cancelled] { return cancelled.load(); });
        std::thread flipper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            flippedAt = Clock::now().time_since_epoch().count();
            cancelled = true;
        });
        bool failed = false;
        if (auto r = session->OpenUrl(Url("/c").c_str(), kPollFlags, 1023)) {
            std::string body;
            failed = !ReadAll(*r, body, 64);
        } else {
            failed = true;
        }
        const auto ended = Clock::now();
        flipper.join();
        const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                ended - Clock::time_point(Clock::duration(flippedAt.load())))
                                .count();
        EXPECT_TRUE(failed) << c.name;
        EXPECT_LT(stopMs, 1000) << c.name;
        RecordProperty(std::string("cancel_ms ") + c.name, static_cast<int>(stopMs));
    }
    session->SetCancelCheck(nullptr);
    session->SetDeadline(std::nullopt);
    ASSERT_TRUE(sim->SetBody("/after", "fine"));
    auto r = session->OpenUrl(Url("/after").c_str(), kPollFlags, 16);
    ASSERT_NE(r, nullptr);
    std::string body;
    ASSERT_TRUE(ReadAll(*r, body));
    EXPECT_EQ(body, "fine");
}

// Guarded requests: the simulator's second listener plays the program's own server, or a host
// on the local network behind a public one (the main listener then plays a public host).
class HttpClientGuard : public HttpClientSim {
protected:
    void SetUp() override {
        HttpClientSim::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(ReadSimHosts(sim->port(), hosts));
        gPublicPort = sim->port();
        ASSERT_TRUE(sim->SetBody("/stop", "stopped"));
        ASSERT_TRUE(sim->SetBody("/target", "arrived"));
    }
    void TearDown() override {
        SetOwnServerPort(0);
        SetAddressClassifierForTesting(nullptr);
    }

    std::string SecondUrl(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(hosts.second) + path;
    }
    std::string RedirectTo(const std::string& target) const { return Url("/_station/redirect?to=" + target); }

    // True when the request ended in the body `expected`.
    bool Fetches(const std::string& url, std::uint32_t flags, const std::string& expected) {
        auto r = session->OpenUrl(url.c_str(), flags, 1023);
        std::string body;
        return r && ReadAll(*r, body) && body == expected;
    }
    bool Reached(const std::string& path) {
        return sim->Log().find("\"target\": \"" + path + "\"") != std::string::npos;
    }

    static AddressClass PlayPublic(const IpAddress& a) {
        return a.port == gPublicPort ? AddressClass::kPublic : ClassifyAddress(a);
    }

    static inline std::atomic<int> gPublicPort{0};
    SimHosts hosts;
};

TEST_F(HttpClientGuard, NeverReachesTheOwnServer) {
    SetOwnServerPort(hosts.second);
    constexpr std::uint32_t kGuarded = kPollFlags | kHttpGuardAddresses;
    EXPECT_FALSE(Fetches(RedirectTo(SecondUrl("/stop")), kGuarded, "stopped"));
    EXPECT_FALSE(Fetches(RedirectTo("http://localhost:" + std::to_string(hosts.second) + "/stop"), kGuarded, "stopped"));
    EXPECT_FALSE(Fetches(SecondUrl("/stop"), kGuarded, "stopped"));
    EXPECT_FALSE(Reached("/stop")) << sim->Log();
    // Other local hosts stay reachable, redirects included, and unguarded requests are as before.
    EXPECT_TRUE(Fetches(RedirectTo("/target"), kGuarded, "arrived"));
    EXPECT_TRUE(Fetches(RedirectTo(SecondUrl("/stop")), kPollFlags, "stopped"));
}

// Each request is judged by the address it first connects to, whatever the session did before.
TEST_F(HttpClientGuard, PublicHostCannotLeadIntoTheLocalNetwork) {
    SetAddressClassifierForTesting(PlayPublic);
    constexpr std::uint32_t kGuarded = kPollFlags | kHttpGuardAddresses;
    ASSERT_TRUE(sim->SetBody("/lan", "lan"));
    ASSERT_TRUE(sim->SetBody("/lan-behind-public", "lan"));
    // A local request first (a station's search service on its LAN) opens no way for the next.
    EXPECT_TRUE(Fetches(SecondUrl("/lan"), kGuarded, "lan"));
    EXPECT_TRUE(Fetches(RedirectTo(SecondUrl("/lan")), kPollFlags, "lan"));  // unguarded: as before
    EXPECT_FALSE(Fetches(RedirectTo(SecondUrl("/lan-behind-public")), kGuarded, "lan"));
    // Public to public is followed; after it a request to a local host is its own.
    EXPECT_TRUE(Fetches(RedirectTo("/target"), kGuarded, "arrived"));
    EXPECT_TRUE(Fetches(SecondUrl("/lan"), kGuarded, "lan"));
    EXPECT_FALSE(Fetches(RedirectTo(SecondUrl("/lan-behind-public")), kGuarded, "lan"));
    EXPECT_FALSE(Reached("/lan-behind-public")) << sim->Log();
    // A request that starts local may be redirected anywhere but to the own server.
    EXPECT_TRUE(Fetches(SecondUrl("/_station/redirect?to=" + Url("/target")), kGuarded, "arrived"));
}

}  // namespace
