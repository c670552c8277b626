// Cost of the poll engine's 100 ms tick on a full bus of 252 devices: the
// ordinary tick (build, send or wait, and the decode and bookkeeping of the
// answer it brings), and the tick that takes a data log snapshot of every
// communicating device. The budget of a tick is 1 ms.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "protocols/MModbus.h"
#include "serial/FakeSerialPort.h"

namespace {

using namespace tessaro;
namespace fs = std::filesystem;

// A Modbus answer to a read request, every register 0x0100.
std::vector<uint8_t> AnswerTo(const std::vector<uint8_t>& request) {
  const int count = request[4] << 8 | request[5];
  std::vector<uint8_t> out = {request[0], request[1], static_cast<uint8_t>(2 * count)};
  for (int i = 0; i < count; ++i) {
    out.push_back(1);
    out.push_back(0);
  }
  const uint16_t crc = TMModbus::Crc16(out.data(), static_cast<int>(out.size()));
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  return out;
}

// A data directory with 252 configured Modbus devices and an engine over a port in memory.
struct TBus {
  TBus() {
    std::string pattern = (fs::temp_directory_path() / "tessaro-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    Dir = pattern;
    Clock.Set(EncodeDateTime({2026, 12, 10, 8, 0, 0, 0}));
    Ctx = std::make_unique<TContext>(Dir, Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.ComName = "COM1";
    Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
    Ctx->Settings.RecInterval = 0;
    for (int a = 1; a <= 252; ++a) {
      TDeviceNode n;
      n.NodeIndex = static_cast<uint8_t>(Ctx->DeviceList.Count);
      n.Address = static_cast<uint8_t>(a);
      n.Name = PadDeviceName("UPS-" + std::to_string(a));
      ++Ctx->DeviceList.Count;
      Ctx->DeviceList.Nodes[Ctx->DeviceList.Count] = n;
    }
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
    Engine->Start();
  }
  ~TBus() {
    Engine.reset();
    Ctx.reset();
    std::error_code ec;
    if (!Dir.empty()) fs::remove_all(Dir, ec);
  }
  // One tick; a frame sent in it is answered at once.
  void Tick() {
    Engine->Tick();
    Clock.AdvanceMs(100);
    if (!Port.SentFrames.empty()) {
      const std::vector<uint8_t> answer = AnswerTo(Port.SentFrames.back());
      Port.SentFrames.clear();
      Port.InjectReceive(answer);
    }
  }

  std::string Dir;
  TManualClock Clock;
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
};

void BM_EngineTick252Devices(benchmark::State& state) {
  TBus bus;
  if (!bus.Engine) {
    state.SkipWithError("no temporary directory");
    return;
  }
  for (int i = 0; i < 13 * 4 * 260; ++i) bus.Tick();  // every device has answered a full cycle
  for (auto _ : state) bus.Tick();
  int communicating = 0;
  for (int a = 1; a <= 252; ++a) communicating += bus.Ctx->UpsInfo[a].CommState == 0;
  state.counters["communicating"] = communicating;
}
BENCHMARK(BM_EngineTick252Devices)->Unit(benchmark::kMicrosecond);

// The receive path of one answer on the full bus: the match against the
// request in flight, the decode, the link bookkeeping and the state and alarm
// checks.
void BM_EngineReceiveOneAnswer252Devices(benchmark::State& state) {
  TBus bus;
  if (!bus.Engine) {
    state.SkipWithError("no temporary directory");
    return;
  }
  for (int i = 0; i < 13 * 4 * 260; ++i) bus.Tick();
  while (bus.Port.SentFrames.empty()) bus.Engine->Tick();
  const std::vector<uint8_t> answer = AnswerTo(bus.Port.SentFrames.back());
  const int before = bus.Ctx->Stats.ParseFailures;
  for (auto _ : state) bus.Port.InjectReceive(answer);
  if (bus.Ctx->Stats.ParseFailures != before) state.SkipWithError("the answer was refused");
}
BENCHMARK(BM_EngineReceiveOneAnswer252Devices)->Unit(benchmark::kMicrosecond);

void BM_EngineSnapshotTick252Devices(benchmark::State& state) {
  TBus bus;
  if (!bus.Engine) {
    state.SkipWithError("no temporary directory");
    return;
  }
  for (int a = 1; a <= 252; ++a) bus.Ctx->UpsInfo[a].CommState = 0;
  bus.Ctx->Vars.Paused = 255;
  bus.Ctx->Settings.RecInterval = 10;
  for (auto _ : state) {
    bus.Engine->RecDelay = 0;  // this tick takes the snapshot
    bus.Tick();
  }
  state.counters["records"] = 252;
}
BENCHMARK(BM_EngineSnapshotTick252Devices)->Unit(benchmark::kMicrosecond);

}  // namespace
