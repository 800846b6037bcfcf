// The listener: its port, its time-outs and its stop, over real loopback sockets.
#include "tests/unit/web_test_env.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

const std::string kInfoBody =
    "{\"channel_index\":0,\"channel\":\"Radio Tovrel\",\"track\":\"Connecting...\",\"has_image\":false,"
    "\"image_id\":0,\"images_enabled\":true}";

class WebServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InitSockets());
        ASSERT_TRUE(StartWebServer(env_.context, 0));
        port_ = WebServerPort();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        StopWebServer();
        CleanupSockets();
    }

    WebTestEnv env_;
    int port_ = 0;
};

TEST_F(WebServer, PortIsExclusive) {
    // Nobody else can take the port while the server holds it, and a second server cannot start.
    const socket_t intruder = OpenListener(port_);
    EXPECT_EQ(intruder, kInvalidSocket);
    CloseSocket(intruder);
    EXPECT_FALSE(StartWebServer(env_.context, 0));
    EXPECT_EQ(WebServerPort(), port_);
    StopWebServer();
    EXPECT_EQ(WebServerPort(), 0);

    // A port held by another listener: the start fails, and stop after it is harmless.
    const socket_t holder = OpenListener(0);
    ASSERT_NE(holder, kInvalidSocket);
    const int taken = LocalPort(holder);
    EXPECT_FALSE(StartWebServer(env_.context, taken));
    EXPECT_EQ(WebServerPort(), 0);
    StopWebServer();
    StopWebServer();
    CloseSocket(holder);

    EXPECT_FALSE(StartWebServer(env_.context, -1));
    EXPECT_FALSE(StartWebServer(env_.context, 65536));
    WebContext incomplete{env_.context.settings, nullptr, env_.context.snapshot};
    EXPECT_FALSE(StartWebServer(incomplete, 0));
}

TEST_F(WebServer, RestartsOnItsPortRightAfterServing) {
#ifdef _WIN32
    GTEST_SKIP() << "the exclusive port option keeps a port with connections in TIME_WAIT for a while";
#else
    // The server closes first, so its connections linger in TIME_WAIT; SO_REUSEADDR lets the
    // next start bind over them.
    EXPECT_EQ(BodyOf(WebGet("/api/info")), kInfoBody);
    StopWebServer();
    ASSERT_TRUE(StartWebServer(env_.context, port_));
    EXPECT_EQ(BodyOf(WebGet("/api/info")), kInfoBody);
#endif
}

TEST_F(WebServer, AnswersOnEveryInterface) {
    // Bound to 0.0.0.0: another loopback address reaches it too.
    const socket_t s = WebConnect("127.0.0.2");
    ASSERT_NE(s, kInvalidSocket);
    ASSERT_TRUE(SendText(s, "GET /api/info HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(BodyOf(ReadToEnd(s)), kInfoBody);
    CloseSocket(s);
}

TEST_F(WebServer, SilentClientHoldsTheServerOnlyUntilTheReceiveTimeOut) {
    const socket_t silent = WebConnect();
    ASSERT_NE(silent, kInvalidSocket);
    std::this_thread::sleep_for(milliseconds(100));
    const auto start = Clock::now();
    // Served one at a time: this waits for the silent one to be dropped.
    EXPECT_EQ(BodyOf(WebGet("/api/info")), kInfoBody);
    const long long waited = MsSince(start);
    EXPECT_GE(waited, kWebReceiveTimeoutMs / 2);
    EXPECT_LT(waited, kWebReceiveTimeoutMs + 1000);
    // The silent client was closed without an answer.
    EXPECT_EQ(ReadToEnd(silent, 1000), "");
    CloseSocket(silent);
}

TEST_F(WebServer, ClientThatNeverReadsHoldsTheServerOnlyUntilTheSendTimeOut) {
    // Far more than the socket buffers of both ends hold.
    env_.ShowPicture(std::string(24 * 1024 * 1024, 'j'));
    const socket_t lazy = WebConnect();
    ASSERT_NE(lazy, kInvalidSocket);
    ASSERT_TRUE(SendText(lazy, "GET /image HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = Clock::now();
    EXPECT_NE(WebGet("/api/info").find("\"has_image\":true"), std::string::npos);
    EXPECT_LT(MsSince(start), kWebSendTimeoutMs + 1500);
    CloseSocket(lazy);
}

TEST_F(WebServer, BigAnswerReachesAClientThatReadsLateWhole) {
    // More than the socket buffers take at once: the server has to wait for room and carry
    // on where the system stopped taking bytes, more than once.
    std::string picture(6 * 1024 * 1024, 'j');
    for (std::size_t i = 0; i < picture.size(); i += 4093) picture[i] = static_cast<char>('a' + i % 23);
    env_.ShowPicture(picture);
    const socket_t late = WebConnect();
    ASSERT_NE(late, kInvalidSocket);
    ASSERT_TRUE(SendText(late, "GET /image HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(milliseconds(250));
    const std::string response = ReadToEnd(late, 2000);
    CloseSocket(late);
    EXPECT_EQ(HeaderOf(response), PictureHeader("image/jpeg", picture.size()));
    EXPECT_TRUE(BodyOf(response) == picture) << "body of " << BodyOf(response).size() << " bytes";
}

TEST_F(WebServer, PeerThatGoesAwayMidAnswerDoesNotHurtTheProcess) {
    env_.ShowPicture(std::string(8 * 1024 * 1024, 'j'));
    for (int i = 0; i < 3; ++i) {
        const socket_t s = WebConnect();
        ASSERT_NE(s, kInvalidSocket);
        ASSERT_TRUE(SendText(s, "GET /image HTTP/1.1\r\n\r\n"));
        char some[1024];
        EXPECT_EQ(WaitReadable(s, 2000), 1);
        EXPECT_GT(ReceiveOnce(s, some, sizeof some), 0);
        CloseSocket(s);  // with unread data: the server's next send meets a reset connection
    }
    EXPECT_NE(WebGet("/api/info").find("\"has_image\":true"), std::string::npos);
}

TEST_F(WebServer, StopIsBoundedWithAndWithoutAClient) {
    auto start = Clock::now();
    StopWebServer();
    EXPECT_LT(MsSince(start), kWebStopWaitMs);
    EXPECT_EQ(RawHttpExchange(port_, "GET /api/info HTTP/1.1\r\n\r\n", 1000), "");

    ASSERT_TRUE(StartWebServer(env_.context, 0));
    const socket_t silent = WebConnect();
    ASSERT_NE(silent, kInvalidSocket);
    std::this_thread::sleep_for(milliseconds(150));  // the server now waits for its request
    start = Clock::now();
    StopWebServer();
    EXPECT_LT(MsSince(start), kWebStopWaitMs);
    EXPECT_EQ(ReadToEnd(silent, 1000), "");
    CloseSocket(silent);

    // A client that asked for a big picture and never reads: the server is stuck in a send.
    env_.ShowPicture(std::string(24 * 1024 * 1024, 'j'));
    ASSERT_TRUE(StartWebServer(env_.context, 0));
    const socket_t lazy = WebConnect();
    ASSERT_NE(lazy, kInvalidSocket);
    ASSERT_TRUE(SendText(lazy, "GET /image HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(milliseconds(150));
    start = Clock::now();
    StopWebServer();
    EXPECT_LT(MsSince(start), kWebStopWaitMs);
    CloseSocket(lazy);
}

}  // namespace
