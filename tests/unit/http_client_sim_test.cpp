// The platform's HTTP client (libcurl here, WinINet on Windows) against the station simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/http_client.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

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

}  // namespace
