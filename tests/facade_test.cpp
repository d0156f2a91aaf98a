// The public C++ interface over the simulator: the state beside the methods
// (start-up, the last failure's description, the stored result's test ID)
// and the errors that reach the caller.
#include <gtest/gtest.h>

#include <thread>

#include "dezozevo/dezozevo.hpp"
#include "sim/sim.h"
#include "support/plant.h"

namespace {

TEST(Facade, StateFollowsTheStationCycle) {
    dz::test::Plant p(10);
    p.setIni("ResendOnNetErr=no", "ResendOnNetErr=yes");
    dezozevo::Tester t;
    dezozevo::State s = t.state();
    EXPECT_EQ(s.startupStatus, 0) << p.log();
    EXPECT_EQ(s.generation, 10);
    EXPECT_EQ(s.server, "sim:plant.db");
    EXPECT_EQ(s.station, "FCT-01");
    EXPECT_EQ(s.iniFile, p.home.file("DEZozevo.ini"));
    EXPECT_TRUE(s.iniFound);
    EXPECT_FALSE(s.lastFailure);

    // A refusal: the status and the line the worker logged.
    const int32_t refused = t.CheckRoute("SN24001-0008", "FCT-01");
    ASSERT_GT(refused, 0);
    ASSERT_TRUE(t.state().lastFailure);
    EXPECT_EQ(t.state().lastFailure->status, refused);
    EXPECT_EQ(t.state().lastFailure->description, "CheckRoute10 returned value=" + std::to_string(refused));

    std::string info;
    ASSERT_EQ(t.GetUnitInfo(dz::test::unitRequest("SN24001-0003"), info), 0);
    ASSERT_EQ(t.SaveResult(dz::test::siteFile("SampleResult.xml")), 0) << p.log();
    ASSERT_TRUE(t.state().testId);
    EXPECT_EQ(*t.state().testId, p.results().back()["test_id"].get<long>());

    // A result that is not XML stores nothing: no test ID, its own failure.
    const int32_t unreadable = t.SaveResult("<TestRun");
    EXPECT_NE(unreadable, 0);
    EXPECT_FALSE(t.state().testId);
    EXPECT_EQ(t.state().lastFailure->status, unreadable);

    // A failure of the connection keeps the client's description.
    dz::sim::loadAnswers(p.db(), R"({"procedures": {"uspCheckRouting": {"drop": true}}})");
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 9002);
    EXPECT_NE(t.state().lastFailure->description.find("General network error"), std::string::npos)
        << t.state().lastFailure->description;

    // A result kept while uploads fail shows in the state; resend() sends it once they work.
    dz::sim::loadAnswers(p.db(), R"({"procedures": {"uspTestSaveResult": {"drop": true}}})");
    EXPECT_EQ(t.SaveResult(dz::test::siteFile("SampleResult.xml")), 9002);
    EXPECT_EQ(t.state().queue.kept, 1u);
    EXPECT_EQ(t.resend(), 9002);
    EXPECT_EQ(t.state().lastFailure->status, 9002);
    dz::sim::loadAnswers(p.db(), "");
    EXPECT_EQ(t.resend(), 0);
    EXPECT_EQ(t.state().queue.kept, 0u);
    EXPECT_FALSE(t.state().queue.oldestSeconds);
}

TEST(Facade, ErrorsThatReachTheCaller) {
    dz::test::Plant p(10);
    dezozevo::Tester t;
    const size_t calls = p.calls().size();
    std::thread([&] {
        EXPECT_THROW(t.CheckRoute("SN24001-0003", "FCT-01"), dezozevo::Error);
        EXPECT_THROW(t.state(), dezozevo::Error);
    }).join();
    EXPECT_EQ(p.calls().size(), calls);  // refused before the database is asked

    dezozevo::Tester moved = std::move(t);
    EXPECT_EQ(moved.getStation(), "FCT-01");
    EXPECT_THROW(t.getStation(), dezozevo::Error);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
