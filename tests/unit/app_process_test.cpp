// The process-wide start-up and shutdown against a config.json in a temporary folder.
#include "app/process.hpp"

#include "platform/sockets.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

TEST(ProcessStart, TheServerTellsThePicturesSwitchOfTheFileFromItsFirstAnswer) {
    ASSERT_TRUE(InitSockets());
    const socket_t probe = OpenListener(0);
    ASSERT_NE(probe, kInvalidSocket);
    const int port = LocalPort(probe);
    CloseSocket(probe);
    CleanupSockets();

    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "config.json", "{\"port\": " + std::to_string(port) + ", \"show_images\": false}\n"));
    gSettings.file = dir / "config.json";
    ASSERT_TRUE(StartServices());
    // No window has applied the switch yet.
    const std::string info = RawHttpExchange(port, "GET /api/info HTTP/1.0\r\n\r\n");
    EXPECT_NE(info.find("\"image_id\":0,\"images_enabled\":false}"), std::string::npos) << info;
    EXPECT_TRUE(StopServices());  // no search ran: nothing left behind
}
