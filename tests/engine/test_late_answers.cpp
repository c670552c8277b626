// A device that answers after the engine has given up on the request: its
// answers must never be decoded as the answers to the requests that follow.
// The simulator's bus (no I/O) answers on the injected clock, so the timing is
// exact: every answer of the late device arrives 1.35 s after its request,
// just after the next request went out.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engine/SimBusRig.h"

using namespace tessaro;
using tessaro::testing::TSimBusRig;

namespace {

struct TCase {
  const char* Name;
  int Protocol;
  sim::TSimProtocol SimProtocol;
};

class LateAnswers : public ::testing::TestWithParam<TCase> {
 protected:
  void SetUp() override {
    Rig = std::make_unique<TSimBusRig>(std::string("late_") + GetParam().Name, GetParam().Protocol,
                                       GetParam().SimProtocol, std::vector<uint8_t>{1, 2});
    Late = Rig->Options;
    Late.LateDevices = {1};
    Late.LateMs = 1350;
  }
  void TearDown() override { Rig.reset(); }

  void UseBus(const sim::TSimOptions& options) { Rig->UseBus(options); }
  void Run(double seconds) { Rig->Run(seconds); }
  std::vector<EventRecord> EventsOf(int address, size_t from) const { return Rig->EventsOf(address, from); }
  size_t EventCount() const { return Rig->EventCount(); }
  std::vector<DataRecord> DataOf(int address) const { return Rig->DataOf(address); }

  std::unique_ptr<TSimBusRig> Rig;
  sim::TSimOptions Late;
};

TEST_P(LateAnswers, AnOnlineDeviceThatTurnsLateIsLostWithNothingFalseLogged) {
  ASSERT_TRUE(Rig->Engine->Start());
  Run(60);
  ASSERT_EQ(Rig->Ctx->UpsInfo[1].CommState, 0);
  ASSERT_EQ(Rig->Ctx->UpsInfo[2].CommState, 0);
  const size_t eventsBefore = EventCount();
  const size_t dataBefore = DataOf(1).size();
  ASSERT_GT(dataBefore, 0u);
  const TMeasureBlock lastGood = DataOf(1).back().Measure;

  UseBus(Late);  // from now on device 1 answers 1.35 s after each request
  Run(90);

  EXPECT_EQ(Rig->Ctx->UpsInfo[1].CommState, 2);
  const auto events1 = EventsOf(1, eventsBefore);
  ASSERT_EQ(events1.size(), 1u) << "only the loss of the link may be logged";
  EXPECT_EQ(events1[0].Kind, 0);
  EXPECT_EQ(events1[0].Code, 18);
  // Records of device 1 written before the loss carry its last true values.
  const auto data1 = DataOf(1);
  for (size_t i = dataBefore; i < data1.size(); ++i)
    EXPECT_EQ(std::memcmp(&data1[i].Measure, &lastGood, sizeof lastGood), 0) << i;

  // The device answering in time goes on as before.
  EXPECT_EQ(Rig->Ctx->UpsInfo[2].CommState, 0);
  EXPECT_TRUE(EventsOf(2, eventsBefore).empty());
  for (const DataRecord& r : DataOf(2)) {
    EXPECT_LE(r.Measure.LoadA, 100.0);
    EXPECT_NEAR(r.Measure.OutputVoltA, 220.0, 10.0);
  }
}

TEST_P(LateAnswers, ADeviceLateFromTheStartIsNeverEstablished) {
  Late.LateDevices = {2};
  UseBus(Late);
  ASSERT_TRUE(Rig->Engine->Start());
  Run(60);
  EXPECT_TRUE(EventsOf(2, 0).empty());
  EXPECT_TRUE(DataOf(2).empty());
  EXPECT_EQ(Rig->Ctx->UpsInfo[2].SuccessCount, 0);
  EXPECT_EQ(Rig->Ctx->UpsInfo[1].CommState, 0);
}

// Alone on the bus, the late device's step-1 request follows itself while its
// link is lost, so each late answer matches the identical request after it and
// re-establishes the link; the answers to its other steps never match.
TEST_P(LateAnswers, ALoneLateDeviceIsNeverLoggedWithValuesItDidNotSend) {
  Rig->Ctx->DeviceList.DeleteDevice(2);
  Late.Devices = {1};
  UseBus(Late);
  ASSERT_TRUE(Rig->Engine->Start());
  Run(40);
  ASSERT_FALSE(EventsOf(1, 0).empty()) << "the late answers do re-establish the link";
  for (const DataRecord& r : DataOf(1)) {
    EXPECT_GT(r.Measure.LoadA, 0.0) << "a load the device never reported";
    EXPECT_GT(r.Measure.OutputFreq, 0.0);
  }
  EXPECT_TRUE(DataOf(1).empty()) << "no request but the first is ever answered in time";
}

INSTANTIATE_TEST_SUITE_P(Protocols, LateAnswers,
                         ::testing::Values(TCase{"modbus", 2, sim::TSimProtocol::Modbus},
                                           TCase{"ydt", 0, sim::TSimProtocol::Ydt},
                                           TCase{"quorvan", 1, sim::TSimProtocol::Quorvan}),
                         [](const auto& p) { return std::string(p.param.Name); });

}  // namespace
