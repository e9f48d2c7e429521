#include "Plugin/PlaceholderEngines.h"

#include <gtest/gtest.h>

#include "support/TestUtil.h"

TEST(PlaceholderEngineTest, ThreadIdlesUntilPausedResumedAndStopped) {
    CEngineIDS engine;

    ASSERT_EQ(0, engine.Oninit(0));
    EXPECT_EQ(0, engine.ConfigureEventSections(nullptr));
    ASSERT_NE(nullptr, engine.GetRuleContainer());
    EXPECT_EQ(0u, engine.GetRuleContainer()->Count());

    ASSERT_EQ(0, engine.OnStart(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return engine.IsRunning(); }));
    EXPECT_EQ(0, engine.OnPauseInit(0));
    EXPECT_EQ(0, engine.OnPause(0));
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_EQ(0, engine.OnResume(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return engine.IsRunning(); }));
    EXPECT_EQ(0, engine.OnStopInit(0));
    EXPECT_EQ(0, engine.OnStop(0));
    EXPECT_FALSE(engine.IsRunning());
}

TEST(PlaceholderEngineTest, RunningEngineIsStoppedWhenDeleted) {
    auto* engine = new CEngineTextLog;
    ASSERT_EQ(0, engine->OnStart(0));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return engine->IsRunning(); }));

    delete engine;
}
