#pragma once
// The poll engine against the simulator's bus (no I/O), on the injected
// clock, so the timing is exact: every frame the engine sends reaches the bus
// at once, and each answer is delivered at the end of the tick in which it
// falls due. Settings: port COM1, a data log snapshot every 2 s.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "serial/FakeSerialPort.h"
#include "tools/sim/SimBus.h"

namespace tessaro::testing {

struct TSimBusRig {
  TSimBusRig(const std::string& name, int protocol, sim::TSimProtocol simProtocol, std::vector<uint8_t> devices) {
    Dir = std::filesystem::temp_directory_path() / ("tessaro_sim_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    Clock.Set(EncodeDateTime({2026, 12, 10, 8, 0, 0, 0}));
    Ctx = std::make_unique<TContext>(Dir.string(), Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.ComName = "COM1";
    Ctx->Settings.PortInfo.Protocol = static_cast<uint8_t>(protocol);
    Ctx->Settings.RecInterval = 20;
    for (uint8_t a : devices) {
      TDeviceNode n;
      n.Address = a;
      n.Name = PadDeviceName("UPS-" + std::to_string(a));
      Ctx->DeviceList.AddDevice(n);
    }
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
    Options.Protocol = simProtocol;
    Options.Devices.assign(devices.begin(), devices.end());
    UseBus(Options);
  }
  ~TSimBusRig() {
    Engine.reset();
    Ctx.reset();
    if (!::testing::Test::HasFailure()) std::filesystem::remove_all(Dir);
  }

  // From now on the bus behaves as `options` say (it keeps a reference).
  void UseBus(const sim::TSimOptions& options) {
    Bus = std::make_unique<sim::TSimBus>(options, 7, [](const std::string&) {});
    Pending.clear();
  }

  void Run(double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) Step([this] { Engine->Tick(); });
  }

  // One tick of time: `tick` stands for the engine's tick (a host may defer
  // it), then the bus takes what was sent and each answer that falls due is
  // received, `beforeAnswer` first.
  void Step(const std::function<void()>& tick, const std::function<void()>& beforeAnswer = {}) {
    const size_t before = Port.SentFrames.size();
    tick();
    Clock.AdvanceMs(100);
    Now += 0.1;
    for (size_t k = before; k < Port.SentFrames.size(); ++k) {
      const auto& f = Port.SentFrames[k];
      Bus->Receive(std::string(f.begin(), f.end()), Now, Pending);
    }
    std::stable_sort(Pending.begin(), Pending.end(), [](const auto& a, const auto& b) { return a.Due < b.Due; });
    while (!Pending.empty() && Pending.front().Due <= Now + 1e-9) {
      if (HoldAnswers) {
        Held.push_back(Pending.front().Bytes);
      } else {
        if (beforeAnswer) beforeAnswer();
        Port.InjectReceive(Pending.front().Bytes);
      }
      Pending.erase(Pending.begin());
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

  std::filesystem::path Dir;
  TManualClock Clock;
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
  sim::TSimOptions Options;  // the healthy bus
  std::unique_ptr<sim::TSimBus> Bus;
  std::vector<sim::TScheduledWrite> Pending;
  double Now = 0;
  // While set, answers that fall due wait in Held, as they would for a loop
  // that is held up.
  bool HoldAnswers = false;
  std::vector<std::string> Held;
};

}  // namespace tessaro::testing
