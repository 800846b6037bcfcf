// What only the libcurl client promises: the body is held only up to the caller's limit, the
// header set matches what WinINet sends for the no-cache flag, and https is verified in full
// (WinINet under Wine cannot reach a test certificate at all).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/http_client.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"
#include "tests/unit/http_client_sim_hosts.hpp"

namespace {

constexpr std::uint32_t kPollFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpPragmaNoCache;

// A loopback port that nothing listens on: bound, read back, closed.
int ClosedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(s);
    return port;
}

TEST(HttpClientCurl, BodyIsCutAtTheCallersLimit) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Set(R"({"path":"/huge","body":"x","repeat_to":20000000})"));
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    session->SetTimeouts(3000, 3000);
    const auto start = std::chrono::steady_clock::now();
    auto r = session->OpenUrl((sim.BaseUrl() + "/huge").c_str(), kPollFlags, 1000);
    ASSERT_NE(r, nullptr);
    std::string body(4096, '\0');
    std::size_t total = 0;
    for (;;) {
        std::size_t got = 0;
        ASSERT_TRUE(r->Read(body.data(), body.size(), got));  // reaching the limit is no error
        if (got == 0) break;
        total += got;
    }
    EXPECT_EQ(total, 1000u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    r = session->OpenUrl((sim.BaseUrl() + "/huge").c_str(), kPollFlags, 0);
    ASSERT_NE(r, nullptr);
    std::size_t got = 1;
    EXPECT_TRUE(r->Read(body.data(), body.size(), got));
    EXPECT_EQ(got, 0u);
}

TEST(HttpClientCurl, NoCacheFlagSendsBothHeaders) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    ASSERT_TRUE(sim.SetBody("/h", "x"));
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    ASSERT_NE(session->OpenUrl((sim.BaseUrl() + "/h").c_str(), kPollFlags, 16), nullptr);
    const std::string log = sim.Log();
    EXPECT_NE(log.find("\"cache-control\": \"no-cache\""), std::string::npos) << log;
}

TEST(HttpClientCurl, RefusedConnectionFailsAtOnce) {
    const int port = ClosedPort();
    ASSERT_NE(port, 0);
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    session->SetTimeouts(2000, 2000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session->OpenUrl(("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), kPollFlags, 16), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// The simulator's TLS host has a certificate for "localhost" only.
TEST(HttpClientCurl, CertificateChainAndHostNameAreChecked) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimHosts hosts;
    ASSERT_TRUE(ReadSimHosts(SimulatorPort(), hosts));
    if (hosts.https == 0) GTEST_SKIP() << "no openssl for a test certificate";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.SetBody("/tls", "secret"));
    const std::string port = std::to_string(hosts.https);
    const struct {
        const char* host;
        bool trusted;
        std::uint32_t flags;
        bool fetched;
    } cases[] = {
        {"localhost", true, kPollFlags, true},
        {"127.0.0.1", true, kPollFlags, false},                              // another name
        {"127.0.0.1", true, kPollFlags | kHttpIgnoreCertCnInvalid, true},    // the name waived
        {"localhost", false, kPollFlags, false},                             // an unknown issuer
        {"localhost", false, kPollFlags | kHttpIgnoreCertCnInvalid, false},  // is never waived
    };
    auto session = OpenHttpSession("TovrelRadio/1.0");
    ASSERT_NE(session, nullptr);
    session->SetTimeouts(3000, 3000);
    for (const auto& c : cases) {
        SetTrustedCertificatesForTesting(c.trusted ? hosts.httpsCert.c_str() : "");
        const std::string url = std::string("https://") + c.host + ":" + port + "/tls";
        auto r = session->OpenUrl(url.c_str(), c.flags | kHttpSecure, 64);
        char buf[64];
        std::size_t got = 0;
        const bool fetched = r && r->Read(buf, sizeof buf, got) && std::string(buf, got) == "secret";
        EXPECT_EQ(fetched, c.fetched) << url << (c.trusted ? " trusted" : " untrusted") << " flags " << c.flags;
    }
    SetTrustedCertificatesForTesting(nullptr);
}

}  // namespace
