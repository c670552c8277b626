// What the network server serves and the data log records, with the engine
// polling the simulator's bus: nothing until every value has come in since the
// link came up, never a false stale verdict for a device that answers, and
// stale once polling has been paused for longer than a round allows.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/SimBusRig.h"
#include "net/NutCommands.h"

using namespace tessaro;
using tessaro::testing::TSimBusRig;

namespace {

class FreshValues : public ::testing::Test {
 protected:
  void Make(const std::string& name, std::vector<uint8_t> devices) {
    Rig = std::make_unique<TSimBusRig>(name, ProtocolModbus, sim::TSimProtocol::Modbus, std::move(devices));
  }
  void TearDown() override { Rig.reset(); }

  std::string Get(const std::string& line) {
    TContext& ctx = *Rig->Ctx;
    const net::TNutSource source{ctx.UpsInfo, ctx.DeviceList, ctx.Settings, ctx.Freshness()};
    net::TNutSession session;
    net::TNutShared logins;
    return net::HandleLine(line, session, source, logins).Text;
  }
  bool Served(int address) { return Get("GET VAR ups" + std::to_string(address) + " ups.load") != "ERR DATA-STALE\n"; }

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

}  // namespace
