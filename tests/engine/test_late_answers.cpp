// A device that answers after the engine has given up on the request: its
// answers must never be decoded as the answers to the requests that follow.
// The simulator's bus (no I/O) answers on the injected clock, so the timing is
// exact: every answer of the late device arrives 1.35 s after its request,
// just after the next request went out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "serial/FakeSerialPort.h"
#include "tools/sim/SimBus.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

struct TCase {
  const char* Name;
  int Protocol;
  sim::TSimProtocol SimProtocol;
};

class LateAnswers : public ::testing::TestWithParam<TCase> {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_late_" + std::to_string(::getpid()) + "_" + GetParam().Name);
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Clock.Set(EncodeDateTime({2026, 12, 10, 8, 0, 0, 0}));
    Ctx = std::make_unique<TContext>(Dir.string(), Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.ComName = "COM1";
    Ctx->Settings.PortInfo.Protocol = GetParam().Protocol;
    Ctx->Settings.RecInterval = 20;
    for (uint8_t a : {1, 2}) {
      TDeviceNode n;
      n.Address = a;
      n.Name = PadDeviceName("UPS-" + std::to_string(a));
      Ctx->DeviceList.AddDevice(n);
    }
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
    Healthy.Protocol = Late.Protocol = GetParam().SimProtocol;
    Healthy.Devices = Late.Devices = {1, 2};
    Late.LateDevices = {1};
    Late.LateMs = 1350;
    UseBus(Healthy);
  }
  void TearDown() override {
    Engine.reset();
    Ctx.reset();
    if (!HasFailure()) fs::remove_all(Dir);
  }

  void UseBus(const sim::TSimOptions& options) {
    Bus = std::make_unique<sim::TSimBus>(options, 7, [](const std::string&) {});
    Pending.clear();
  }

  // Runs the engine for `seconds`; the bus answers what is sent, each answer
  // delivered at the end of the tick in which it falls due.
  void Run(double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
      const size_t before = Port.SentFrames.size();
      Engine->Tick();
      Clock.AdvanceMs(100);
      Now += 0.1;
      for (size_t k = before; k < Port.SentFrames.size(); ++k) {
        const auto& f = Port.SentFrames[k];
        Bus->Receive(std::string(f.begin(), f.end()), Now, Pending);
      }
      std::stable_sort(Pending.begin(), Pending.end(),
                       [](const auto& a, const auto& b) { return a.Due < b.Due; });
      while (!Pending.empty() && Pending.front().Due <= Now + 1e-9) {
        Port.InjectReceive(Pending.front().Bytes);
        Pending.erase(Pending.begin());
      }
    }
  }

  std::vector<EventRecord> EventsOf(int address, size_t from) const {
    std::vector<EventRecord> out;
    const auto all = ReadEventLogFile(Ctx->EventLogger->FullPath);
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].Address == address) out.push_back(all[i]);
    return out;
  }
  size_t EventCount() const { return ReadEventLogFile(Ctx->EventLogger->FullPath).size(); }
  std::vector<DataRecord> DataOf(int address) const {
    std::vector<DataRecord> out;
    for (const DataRecord& r : ReadDataLogFile(DataLogFileName(Ctx->RecordDir, Clock.Now())))
      if (r.Address == address) out.push_back(r);
    return out;
  }

  fs::path Dir;
  TManualClock Clock;
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
  sim::TSimOptions Healthy, Late;
  std::unique_ptr<sim::TSimBus> Bus;
  std::vector<sim::TScheduledWrite> Pending;
  double Now = 0;
};

TEST_P(LateAnswers, AnOnlineDeviceThatTurnsLateIsLostWithNothingFalseLogged) {
  ASSERT_TRUE(Engine->Start());
  Run(60);
  ASSERT_EQ(Ctx->UpsInfo[1].CommState, 0);
  ASSERT_EQ(Ctx->UpsInfo[2].CommState, 0);
  const size_t eventsBefore = EventCount();
  const size_t dataBefore = DataOf(1).size();
  ASSERT_GT(dataBefore, 0u);
  const TMeasureBlock lastGood = DataOf(1).back().Measure;

  UseBus(Late);  // from now on device 1 answers 1.35 s after each request
  Run(90);

  EXPECT_EQ(Ctx->UpsInfo[1].CommState, 2);
  const auto events1 = EventsOf(1, eventsBefore);
  ASSERT_EQ(events1.size(), 1u) << "only the loss of the link may be logged";
  EXPECT_EQ(events1[0].Kind, 0);
  EXPECT_EQ(events1[0].Code, 18);
  // Records of device 1 written before the loss carry its last true values.
  const auto data1 = DataOf(1);
  for (size_t i = dataBefore; i < data1.size(); ++i)
    EXPECT_EQ(std::memcmp(&data1[i].Measure, &lastGood, sizeof lastGood), 0) << i;

  // The device answering in time goes on as before.
  EXPECT_EQ(Ctx->UpsInfo[2].CommState, 0);
  EXPECT_TRUE(EventsOf(2, eventsBefore).empty());
  for (const DataRecord& r : DataOf(2)) {
    EXPECT_LE(r.Measure.LoadA, 100.0);
    EXPECT_NEAR(r.Measure.OutputVoltA, 220.0, 10.0);
  }
}

TEST_P(LateAnswers, ADeviceLateFromTheStartIsNeverEstablished) {
  Late.LateDevices = {2};
  UseBus(Late);
  ASSERT_TRUE(Engine->Start());
  Run(60);
  EXPECT_TRUE(EventsOf(2, 0).empty());
  EXPECT_TRUE(DataOf(2).empty());
  EXPECT_EQ(Ctx->UpsInfo[2].SuccessCount, 0);
  EXPECT_EQ(Ctx->UpsInfo[1].CommState, 0);
}

// Alone on the bus, the late device's step-1 request follows itself while its
// link is lost, so each late answer matches the identical request after it and
// re-establishes the link; the answers to its other steps never match.
TEST_P(LateAnswers, ALoneLateDeviceIsNeverLoggedWithValuesItDidNotSend) {
  Ctx->DeviceList.DeleteDevice(2);
  Late.Devices = {1};
  UseBus(Late);
  ASSERT_TRUE(Engine->Start());
  Run(40);
  ASSERT_GT(Ctx->UpsInfo[1].SuccessCount + EventsOf(1, 0).size(), 0u) << "the late answers do re-establish the link";
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
