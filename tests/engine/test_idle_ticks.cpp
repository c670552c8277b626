// The headless loop sleeps through the ticks the engine calls idle and runs
// them late, in one go, before anything else reaches the engine. The bus must
// not see the difference: every frame goes out on the same tick, and the
// logs get the same records, as with a loop woken on every tick.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "control/Control.h"
#include "engine/SimBusRig.h"

using namespace tessaro;
using tessaro::testing::TSimBusRig;

namespace {

struct TTrace {
  std::vector<std::pair<int, std::vector<uint8_t>>> Sent;  // tick, frame
  std::vector<std::tuple<int, int, int, TDateTime>> Events;  // kind, address, code, time
  std::vector<TDateTime> DataRecords;  // of device 1
  std::vector<int> Opens;             // tick of every open of the port
  int Slept = 0;
  std::vector<std::pair<TCommandState, int64_t>> Commands;  // with the time of the outcome
};

TTrace Drive(bool sleepThroughIdle) {
  TSimBusRig rig(sleepThroughIdle ? "idle_sleep" : "idle_every", 3, sim::TSimProtocol::Modbus, {1, 2, 3});
  TDeviceNode silent;  // on the list, not on the bus: resends and a lost link
  silent.Address = 9;
  silent.Name = PadDeviceName("UPS-9");
  rig.Ctx->DeviceList.AddDevice(silent);
  rig.Ctx->Settings.PortInfo.MaxReSend = 3;
  EXPECT_TRUE(rig.Engine->Start());

  TTrace trace;
  int owed = 0;
  int budget = 0;
  size_t seen = 0;
  int tick = 0;
  const auto collect = [&] {
    for (; seen < rig.Port.SentFrames.size(); ++seen) trace.Sent.emplace_back(tick, rig.Port.SentFrames[seen]);
    while (trace.Opens.size() < rig.Port.OpenedNames.size()) trace.Opens.push_back(tick);
  };
  // What a wake-up does before it hands the engine anything: the ticks slept through.
  const auto catchUp = [&] {
    for (; owed > 0; --owed) rig.Engine->Tick();
    collect();
  };
  const auto replan = [&] { budget = sleepThroughIdle ? rig.Engine->IdleTicks() : 0; };
  std::vector<uint32_t> commands;
  for (; tick < 1500; ++tick) {
    if (tick == 300 || tick == 900) {  // the adapter goes, and comes back on its own
      catchUp();
      rig.Port.InjectFailure();
      replan();
    }
    if (tick == 1000) {
      catchUp();
      rig.Engine->CloseCommPort();
      replan();
    }
    if (tick == 600 || tick == 1005) {  // a switch command, the second while the port is closed
      catchUp();
      const TCommandTicket ticket = QueueControlCommand(*rig.Ctx, {2, TCommandKind::LoadOff, 0, 0}, true);
      EXPECT_EQ(ticket.Check, TCommandCheck::Ok) << "tick " << tick;
      commands.push_back(ticket.Id);
      replan();
    }
    if (tick == 1010) {
      catchUp();
      rig.Engine->OpenCommPort();
      replan();
    }
    rig.Step(
        [&] {
          if (budget > 0) {
            --budget;
            ++owed;
            ++trace.Slept;
            return;
          }
          catchUp();
          rig.Engine->Tick();
          collect();
          replan();
        },
        [&] {
          catchUp();
          replan();
        });
  }
  catchUp();
  for (const EventRecord& e : ReadEventLogFile(rig.Ctx->EventLogger->FullPath))
    trace.Events.emplace_back(e.Kind, e.Address, e.Code, e.Time);
  for (const DataRecord& r : rig.DataOf(1)) trace.DataRecords.push_back(r.Time);
  for (uint32_t id : commands)
    if (const TTrackedCommand* command = rig.Ctx->Commands.Find(id)) trace.Commands.emplace_back(command->State, command->DoneMs);
  return trace;
}

TEST(IdleTicks, SleepingThroughThemChangesNothingOnTheBusOrInTheLogs) {
  const TTrace every = Drive(false);
  const TTrace sleeping = Drive(true);
  // The run has all it should: answers, resends, a lost link, a failure, commands.
  ASSERT_GT(every.Sent.size(), 100u);
  ASSERT_GT(every.Events.size(), 10u);
  ASSERT_GT(every.DataRecords.size(), 10u);
  ASSERT_EQ(every.Opens.size(), 4u);
  ASSERT_EQ(every.Commands.size(), 2u);
  EXPECT_EQ(every.Commands[0].first, TCommandState::Confirmed);
  EXPECT_EQ(every.Commands[1].first, TCommandState::NotSent);

  EXPECT_EQ(sleeping.Sent, every.Sent);
  EXPECT_EQ(sleeping.Events, every.Events);
  EXPECT_EQ(sleeping.DataRecords, every.DataRecords);
  EXPECT_EQ(sleeping.Opens, every.Opens);
  EXPECT_EQ(sleeping.Commands, every.Commands);
  // Most ticks only count down.
  EXPECT_GT(sleeping.Slept, 1500 / 2);
}

}  // namespace

// A loop held up for 5 s (a long computation on its thread) owes 50 ticks. It
// runs them late, in a burst, then hands over what came in meanwhile, then
// runs the tick now due. However many ticks the burst holds, no request goes
// out before the one before it has had its wait, and the answer that came in
// during the stall is heard, not checked against a later request.
TEST(IdleTicks, AfterAStallTheOwedTicksPutNoRequestsOnTheBusUnanswered) {
  for (const int maxReSend : {2, 3}) {
    SCOPED_TRACE(maxReSend);
    TSimBusRig rig("stall_" + std::to_string(maxReSend), 2, sim::TSimProtocol::Modbus, {1, 2});
    rig.Ctx->Settings.PortInfo.MaxReSend = static_cast<uint8_t>(maxReSend);
    ASSERT_TRUE(rig.Engine->Start());
    std::vector<int64_t> sentMs;
    const auto tick = [&] {
      const size_t before = sentMs.size();
      rig.Engine->Tick();
      while (sentMs.size() < rig.Port.SentFrames.size()) sentMs.push_back(rig.Clock.MonotonicMs());
      return sentMs.size() > before;
    };
    for (int i = 0; i < 200; ++i) rig.Step([&] { tick(); });
    // The stall begins as a request goes out, before its answer is heard.
    for (int i = 0; i < 30 && !rig.HoldAnswers; ++i) rig.Step([&] { rig.HoldAnswers = tick(); });
    ASSERT_TRUE(rig.HoldAnswers);
    rig.Clock.AdvanceMs(4900);
    rig.Now += 4.9;
    rig.Step([] {});  // the answer falls due while the loop is held up
    ASSERT_EQ(rig.Held.size(), 1u);
    const int32_t failures = rig.Ctx->Stats.ParseFailures;
    const size_t sentBefore = sentMs.size();

    for (int i = 0; i < 49; ++i) rig.Engine->LateTick();
    EXPECT_EQ(rig.Port.SentFrames.size(), sentBefore) << "the burst sends nothing";
    rig.HoldAnswers = false;
    for (const std::string& answer : rig.Held) rig.Port.InjectReceive(answer);
    EXPECT_EQ(rig.Ctx->Stats.ParseFailures, failures) << "the answer is checked against its own request";
    for (int i = 0; i < 300; ++i) rig.Step([&] { tick(); });

    ASSERT_GT(sentMs.size(), sentBefore + 20);
    for (size_t k = 1; k < sentMs.size(); ++k)
      EXPECT_GE(sentMs[k] - sentMs[k - 1], 1100) << "send " << k << " at " << sentMs[k] << " ms";
    EXPECT_EQ(rig.Ctx->Stats.ParseFailures, failures);
    EXPECT_EQ(rig.Ctx->UpsInfo[1].CommState, 0);
    EXPECT_EQ(rig.Ctx->UpsInfo[2].CommState, 0);
  }
}
