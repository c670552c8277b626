// What the network server serves and the data log records, with the engine
// polling the simulator's bus: nothing until every value has come in since the
// link came up, never a false stale verdict for a device that answers, and
// stale once polling has been paused for longer than a round allows.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/SimBusRig.h"
#include "net/NutCommands.h"

using namespace tessaro;
using tessaro::testing::TSimBusRig;

namespace {

std::string NutGet(TContext& ctx, const std::string& line) {
  const net::TNutSource source{ctx.UpsInfo, ctx.DeviceList, ctx.Settings, ctx.Freshness()};
  net::TNutSession session;
  net::TNutShared logins;
  return net::HandleLine(line, session, source, logins).Text;
}

bool NutServes(TContext& ctx, int address) {
  return NutGet(ctx, "GET VAR ups" + std::to_string(address) + " ups.load") != "ERR DATA-STALE\n";
}

class FreshValues : public ::testing::Test {
 protected:
  void Make(const std::string& name, std::vector<uint8_t> devices) {
    Rig = std::make_unique<TSimBusRig>(name, ProtocolModbus, sim::TSimProtocol::Modbus, std::move(devices));
  }
  void TearDown() override { Rig.reset(); }

  std::string Get(const std::string& line) { return NutGet(*Rig->Ctx, line); }
  bool Served(int address) { return NutServes(*Rig->Ctx, address); }

  std::unique_ptr<TSimBusRig> Rig;
};

TEST_F(FreshValues, NothingIsServedOrLoggedBeforeEveryValueCameIn) {
  Make("first", {1});
  ASSERT_TRUE(Rig->Engine->Start());
  const TUpsInfo& u = Rig->Ctx->UpsInfo[1];
  for (int i = 0; i < 100 && u.CommState != 0; ++i) Rig->Run(0.1);
  ASSERT_EQ(u.CommState, 0);
  EXPECT_FALSE(Served(1)) << "only the first step is in";
  EXPECT_EQ(Rig->Ctx->Freshness().Of(1), TFreshness::Incomplete);
  Rig->Run(6);  // the rest of the cycle
  EXPECT_TRUE(Served(1));
  Rig->Run(10);
  const auto records = Rig->DataOf(1);
  ASSERT_FALSE(records.empty());
  for (const DataRecord& r : records) {
    EXPECT_GT(r.Measure.LoadA, 0.0);
    EXPECT_GT(r.Measure.OutputFreq, 0.0);
  }
}

// A lost device polled one step per visit and another that drops out and
// comes back change the length of the round; the answering device stays
// served throughout.
TEST_F(FreshValues, ADeviceThatAnswersIsNeverCalledStale) {
  Make("never_stale", {1, 2, 3});
  Rig->Options.Devices = {1, 2};  // 3 never answers
  Rig->Options.DropDevices = {2};
  Rig->Options.DropAfter = 40;
  Rig->Options.ReturnAfter = 90;
  Rig->UseBus(Rig->Options);
  Rig->Ctx->Settings.PortInfo.MaxReSend = 3;
  ASSERT_TRUE(Rig->Engine->Start());
  Rig->Run(30);
  ASSERT_TRUE(Served(1));
  int staleTicks = 0;
  for (int i = 0; i < 1500; ++i) {
    Rig->Run(0.1);
    if (!Served(1)) ++staleTicks;
  }
  EXPECT_EQ(staleTicks, 0);
  EXPECT_EQ(Rig->Ctx->UpsInfo[2].CommState, 0) << "device 2 came back";
  EXPECT_EQ(Rig->Ctx->UpsInfo[3].CommState, 2);
}

TEST_F(FreshValues, PausedPollingTurnsServedDataStaleAfterTheBound) {
  Make("paused", {1, 2});
  ASSERT_TRUE(Rig->Engine->Start());
  Rig->Run(30);
  ASSERT_TRUE(Served(1));
  ASSERT_TRUE(Served(2));
  const int64_t bound = Rig->Ctx->Freshness().AllowedAgeMs();

  Rig->Ctx->Vars.Paused = 255;  // the trace window's manual mode
  Rig->Run(2);
  EXPECT_TRUE(Served(1)) << "a short pause is no outage";
  Rig->Run(static_cast<double>(bound) / 1000.0);
  EXPECT_EQ(Get("GET VAR ups1 ups.load"), "ERR DATA-STALE\n");
  EXPECT_EQ(Get("LIST VAR ups2"), "ERR DATA-STALE\n");
  EXPECT_EQ(Rig->Ctx->UpsInfo[1].CommState, 0) << "nothing was sent, so no link changed";
  const size_t logged = Rig->DataOf(1).size();
  Rig->Run(10);
  EXPECT_EQ(Rig->DataOf(1).size(), logged) << "no record of values the device was not asked for";

  Rig->Ctx->Vars.Paused = 0;
  Rig->Run(8);
  EXPECT_TRUE(Served(1));
  EXPECT_TRUE(Served(2));
}

// When a device is first recorded and served, against what went over the bus:
// a device is recorded at the first data log tick after the answer that
// completes its measurements, and served from the answer that completes
// everything served (measurements, state, alarms), not a round later. The
// power-frequency protocol takes state and alarms only from a device's fifth
// answer since its link came up; a resend's answer counts as well. Devices 1
// and 2 answer, 3 is silent; device 1 comes up first.
struct TFirstCase {
  const char* Name;
  uint8_t Protocol;
  sim::TSimProtocol SimProtocol;
  uint32_t MeasureSteps;  // the steps a data log record needs
  uint32_t ServedSteps;
  uint32_t GatedSteps;  // decoded only from the fifth answer on
};

void PrintTo(const TFirstCase& c, std::ostream* os) { *os << c.Name; }

constexpr uint32_t Steps(std::initializer_list<int> steps) {
  uint32_t bits = 0;
  for (int s : steps) bits |= StepBit(s);
  return bits;
}

const TFirstCase FirstCases[] = {
    {"modbus", ProtocolModbus, sim::TSimProtocol::Modbus, Steps({1, 2}), Steps({1, 2, 3}), 0},
    {"ydt", ProtocolYdtV31, sim::TSimProtocol::Ydt, Steps({1, 4, 5}), Steps({1, 2, 3, 4, 5}), 0},
    {"quorvan", ProtocolQuorvan, sim::TSimProtocol::Quorvan, Steps({1, 4, 5}), Steps({1, 2, 3, 4, 5}), Steps({2, 3})},
};

class FirstRecord : public ::testing::TestWithParam<std::tuple<TFirstCase, int, int>> {};

TEST_P(FirstRecord, ComesAtTheFirstTickAfterTheLastNeededAnswer) {
  const auto& [c, maxReSend, address] = GetParam();
  TSimBusRig rig(std::string("first_") + c.Name + std::to_string(maxReSend) + "_" + std::to_string(address), c.Protocol,
                 c.SimProtocol, {1, 2, 3});
  rig.Options.Devices = {1, 2};
  rig.UseBus(rig.Options);
  rig.Ctx->Settings.PortInfo.MaxReSend = static_cast<uint8_t>(maxReSend);
  rig.Ctx->Settings.RecInterval = 50;
  TPollEngine& engine = *rig.Engine;

  // The oracle: every accepted answer of the device, with the step it answered.
  int answers = 0;
  uint32_t in = 0;
  std::optional<int64_t> measuredMs, servedMs;
  engine.OnAnswerAccepted = [&](uint8_t addr) {
    if (addr != address) return;
    const uint32_t step = StepBit(engine.Request().Step);
    if (!(step & c.GatedSteps) || answers >= 4) in |= step;
    ++answers;
    const int64_t now = rig.Clock.MonotonicMs();
    if (!measuredMs && (in & c.MeasureSteps) == c.MeasureSteps) measuredMs = now;
    if (!servedMs && (in & c.ServedSteps) == c.ServedSteps) servedMs = now;
  };
  ASSERT_TRUE(engine.Start());

  std::map<int64_t, TDateTime> snapshots;  // monotonic ms of each data log tick
  std::optional<int64_t> firstServedMs;
  for (int i = 0; i < 2000 && !(firstServedMs && measuredMs && rig.Clock.MonotonicMs() > *measuredMs + 6000); ++i) {
    const int64_t tickMs = rig.Clock.MonotonicMs();
    const TDateTime tickTime = rig.Clock.Now();
    rig.Run(0.1);
    if (engine.RecDelay == rig.Ctx->Settings.RecInterval) snapshots.emplace(tickMs, tickTime);
    if (!firstServedMs && NutServes(*rig.Ctx, address)) firstServedMs = rig.Clock.MonotonicMs();
  }
  ASSERT_TRUE(measuredMs && servedMs && firstServedMs) << "answers " << answers;
  EXPECT_EQ(*firstServedMs, *servedMs) << "served from the answer that completes the values, and not before";

  const auto tick = snapshots.lower_bound(*measuredMs);
  ASSERT_NE(tick, snapshots.end());
  const auto records = rig.DataOf(address);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front().Time, tick->second) << "first record at " << (records.front().Time - snapshots.begin()->second) * 86400
                                                << " s, measurements complete at " << *measuredMs / 1000.0 << " s";
  EXPECT_GT(records.front().Measure.OutputFreq, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, FirstRecord,
                         ::testing::Combine(::testing::ValuesIn(FirstCases), ::testing::Values(2, 3, 4),
                                            ::testing::Values(1, 2)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param).Name) + "_MaxReSend" +
                                  std::to_string(std::get<1>(p.param)) + "_device" + std::to_string(std::get<2>(p.param));
                         });

}  // namespace
