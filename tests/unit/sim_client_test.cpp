#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

TEST(StationSimulator, ServesScriptedAnswersAndLogsRequests) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    const std::string bytes("a\0b\xFF", 4);
    ASSERT_TRUE(sim.SetBody("/probe", bytes, 203));
    const std::string answer = RawHttpExchange(SimulatorPort(), "GET /probe?q=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 203", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 4), bytes);
    EXPECT_NE(sim.Log().find("/probe?q=1"), std::string::npos);
}
