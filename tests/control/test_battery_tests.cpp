// Battery tests followed to their outcome: one from the window, a refused
// one, and a scheduled one held back while the device does not answer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/BatteryTests.h"
#include "control/Control.h"
#include "core/Clock.h"
#include "engine/Context.h"

namespace tessaro {
namespace {

class BatteryTests : public ::testing::Test {
 protected:
  BatteryTests()
      : Dir(std::filesystem::temp_directory_path() /
            ("tessaro-battery-tests-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name())),
        Ctx(Dir.string() + "/", Clock) {
    std::filesystem::create_directories(Ctx.RecordDir);
    Ctx.Settings.PortInfo.Protocol = ProtocolModbus;
    TDeviceNode node;
    node.Address = 1;
    Ctx.DeviceList.Nodes[1] = node;
    Ctx.DeviceList.Count = 1;
    Ctx.UpsInfo[1].CommState = 0;
    Ctx.UpsInfo[1].Measure.DcInputVolt = 54.2;
    Ctx.UpsInfo[1].Measure.BattCapacity = 100;
    Ctx.UpsInfo[1].Measure.BattBackupTime = 30;
    Watch.OnMessage = [this](const std::string& text) { Said.push_back(text); };
  }
  ~BatteryTests() override { std::filesystem::remove_all(Dir); }

  void PollFor(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      Clock.AdvanceMs(1000);
      Watch.Poll();
    }
  }
  std::string Record() const {
    std::ifstream in(Ctx.RecordDir + TestLogName);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path Dir;
  TManualClock Clock{EncodeDateTime({2026, 12, 11, 2, 59, 0, 0})};
  TContext Ctx;
  TTestWatch Watch{Ctx, [] { return true; }};
  std::vector<std::string> Said;
};

TEST_F(BatteryTests, ATestFromTheWindowIsKeptWithItsBatteryBeforeAndAfter) {
  Watch.Start();
  const TCommandTicket t = QueueControlCommand(Ctx, {1, TCommandKind::BatteryTest, 0, 30}, true);
  ASSERT_EQ(t.Check, TCommandCheck::Ok);
  EXPECT_EQ(Ctx.Tests.ResultText(1), "In progress");
  Ctx.Commands.Resolve(t.Id, TCommandState::Confirmed, Clock.MonotonicMs());
  Ctx.UpsInfo[1].Measure.DcInputVolt = 52.9;
  Ctx.UpsInfo[1].Measure.BattCapacity = 96;
  Ctx.UpsInfo[1].Measure.BattBackupTime = 27;
  PollFor(29);
  EXPECT_TRUE(Record().empty()) << "the test time has not gone by";
  PollFor(3);
  EXPECT_EQ(Record(),
            "ups1 start 2026-12-11 02:59:00 end 2026-12-11 02:59:31 confirmed before 54.2V 100% 1800s after 52.9V "
            "96% 1620s\n");
  EXPECT_EQ(Ctx.Tests.ResultText(1), "Done");
  EXPECT_EQ(Ctx.Tests.DateText(1), "2026-12-11 02:59:00");

  // A refused one ends at once; a restarted monitor serves the last.
  const TCommandTicket refused = QueueControlCommand(Ctx, {1, TCommandKind::BatteryTest, 0, 30}, true);
  Ctx.Commands.Resolve(refused.Id, TCommandState::Refused, Clock.MonotonicMs(), 2);
  PollFor(1);
  TContext again(Dir.string() + "/", Clock);
  std::string error;
  LoadTestOutcomes(again, error);
  EXPECT_TRUE(error.empty()) << error;
  EXPECT_EQ(again.Tests.ResultText(1), "Refused by the device");
}

TEST_F(BatteryTests, AScheduledTestWaitsForTheDeviceToAnswer) {
  Ctx.Settings.TestSchedule = "1:every=1,at=03:00";
  Watch.Start();
  // Never heard from: the link is down, so nothing goes out all day.
  PollFor(120);
  EXPECT_FALSE(Ctx.CommandQueue.HasPending());
  EXPECT_TRUE(Said.empty()) << Said.front();
  Clock.Set(EncodeDateTime({2026, 12, 12, 0, 0, 1, 0}));
  PollFor(1);
  ASSERT_EQ(Said.size(), 1u);
  EXPECT_EQ(Said[0], "scheduled battery test of ups1 skipped: the device did not answer all day");
  EXPECT_TRUE(Record().empty());
}

TEST_F(BatteryTests, ABadScheduleIsSaidAndLeftOff) {
  Ctx.Settings.TestSchedule = "1:every=30";
  Watch.Start();
  ASSERT_EQ(Said.size(), 1u);
  EXPECT_EQ(Said[0], "battery test schedule off: [BatteryTest] Schedule: device 1 needs both every=DAYS and at=HH:MM");
}

}  // namespace
}  // namespace tessaro
