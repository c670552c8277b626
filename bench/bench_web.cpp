// Time to serve the web's two biggest live answers from a snapshot of a full
// bus of 252 devices: /metrics and /api/v1/devices; and to publish the
// snapshot, the engine's share of the work, once per tick.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>

#include "core/DeviceName.h"
#include "engine/Context.h"
#include "web/WebFeed.h"
#include "web/WebModel.h"

namespace {

using namespace tessaro;

struct TFullBus {
  TFullBus() {
    Dir = std::filesystem::temp_directory_path() / ("tessaro_bench_web_" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Ctx = std::make_unique<TContext>(Dir.string() + "/", Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
    for (int a = 1; a <= MaxDevices; ++a) {
      TDeviceNode n;
      n.Address = static_cast<uint8_t>(a);
      n.Name = *StoredDeviceNameText("UPS " + std::to_string(a));
      Ctx->DeviceList.Nodes[++Ctx->DeviceList.Count] = n;
      TUpsInfo& u = Ctx->UpsInfo[static_cast<size_t>(a)];
      u.CommState = 0;
      u.StateCode = 4;
      u.Status.StateValid = 1;
      u.Measure = {.InputVoltA = 220.1, .InputVoltB = 221, .InputVoltC = 219.4, .OutputVoltA = 230,
                   .OutputVoltB = 230, .OutputVoltC = 230, .LoadA = 31, .LoadB = 47, .LoadC = 12,
                   .OutputFreq = 50, .DcInputVolt = 432.5, .BattCapacity = 97, .BattBackupTime = 42};
      if (a % 10 == 0) {
        u.AlarmCount = 1;
        u.AlarmCodes[0] = 25;
      }
    }
    Feed = std::make_unique<web::TWebFeed>(Clock);
    Feed->Publish(*Ctx, true);
  }
  ~TFullBus() { std::filesystem::remove_all(Dir); }
  std::filesystem::path Dir;
  TManualClock Clock{46000};
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<web::TWebFeed> Feed;
};

TFullBus& Bus() {
  static TFullBus bus;
  return bus;
}

void BM_Metrics252(benchmark::State& state) {
  const web::TSnapshotPtr s = Bus().Feed->Current();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = web::MetricsText(*s, "1.0.0");
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Metrics252)->Unit(benchmark::kMillisecond);

void BM_DevicesJson252(benchmark::State& state) {
  const web::TSnapshotPtr s = Bus().Feed->Current();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = web::DevicesJson(*s);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DevicesJson252)->Unit(benchmark::kMillisecond);

void BM_Publish252(benchmark::State& state) {
  for (auto _ : state) Bus().Feed->Publish(*Bus().Ctx, true);
}
BENCHMARK(BM_Publish252)->Unit(benchmark::kMicrosecond);

}  // namespace
