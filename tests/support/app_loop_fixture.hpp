// The headless loop under test: its view quits the loop but is never made the process-wide
// message target (the loop dies with the test).
#pragma once

#include "app/headless_loop.hpp"
#include "tests/support/app_fixture.hpp"

class TestLoopView : public HeadlessView {
public:
    using HeadlessView::HeadlessView;
    void AttachMessageTarget() override {}
};

class HeadlessLoopTest : public AppTest {
protected:
    HeadlessLoop loop;
    TestLoopView loopView{loop};

    void SetUp() override {
        AppTest::SetUp();
        app.view = &loopView;
    }
};
