// Cost of one record appended to each log store. Every append opens, writes
// and closes its file, so this is mostly system-call and file-system time.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/LogWriter.h"

namespace {

using namespace tessaro;
namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed at the end.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "tessaro-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) FPath = pattern + "/";
  }
  ~TTempDir() {
    std::error_code ec;
    if (!FPath.empty()) fs::remove_all(FPath, ec);
  }
  bool Ok() const { return !FPath.empty(); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// A temporary directory and a device table for one benchmark.
struct TLogSetup {
  TTempDir Dir;
  std::unique_ptr<TUpsInfoTable> Devices = std::make_unique<TUpsInfoTable>();
  TLogSetup() { InitDeviceTable(*Devices); }
};

template <class TLog, class TRecord>
void AppendLoop(benchmark::State& state, TLog& log, const TRecord& record) {
  for (auto _ : state) {
    if (!log.Append(record)) {
      state.SkipWithError(log.LastError().c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

TDateTime BenchTime() { return EncodeDateTime({.Year = 2024, .Month = 5, .Day = 17, .Hour = 12}); }

// Includes the rotation to a backup every 5001 records, as in service.
void BM_EventLogAppend(benchmark::State& state) {
  TLogSetup setup;
  if (!setup.Dir.Ok()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  TManualClock clock(BenchTime());
  TEventLog log(setup.Dir.Path() + "Record/", "EventLog.dat", setup.Dir.Path() + "Backup/", *setup.Devices, clock);
  const EventRecord record = MakeAlarmRecord(clock.Now(), 1, 43, true);
  AppendLoop(state, log, record);
}
BENCHMARK(BM_EventLogAppend);

// What the engine's thread pays per event with the log writer attached: the
// record is only queued. Fewer iterations than the queue holds, so none is refused.
void BM_EventLogQueued(benchmark::State& state) {
  TLogSetup setup;
  if (!setup.Dir.Ok()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  TManualClock clock(BenchTime());
  auto log = std::make_shared<TEventLog>(setup.Dir.Path() + "Record/", "EventLog.dat", setup.Dir.Path() + "Backup/",
                                         *setup.Devices, clock);
  auto data = std::make_shared<TDataLog>(setup.Dir.Path() + "Record/");
  TLogWriter writer(log, data);
  const EventRecord record = MakeAlarmRecord(clock.Now(), 1, 43, true);
  AppendLoop(state, *log, record);
  writer.Stop();  // after the timed loop
}
BENCHMARK(BM_EventLogQueued)->Iterations(50000);

// The writer's side of an alarm burst: one run of 252 events written and
// synced together, as the writer does with what queued up during a sync.
void BM_EventLogGroupCommit252(benchmark::State& state) {
  TLogSetup setup;
  if (!setup.Dir.Ok()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  TManualClock clock(BenchTime());
  TEventLog log(setup.Dir.Path() + "Record/", "EventLog.dat", setup.Dir.Path() + "Backup/", *setup.Devices, clock);
  std::vector<EventRecord> burst;
  for (int a = 1; a <= 252; ++a) burst.push_back(MakeAlarmRecord(clock.Now(), static_cast<uint8_t>(a), 25, true));
  for (auto _ : state) {
    if (!log.WriteRecords(burst).Result.Ok) {
      state.SkipWithError(log.LastError().c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 252);
}
BENCHMARK(BM_EventLogGroupCommit252);

void BM_DataLogAppend(benchmark::State& state) {
  TLogSetup setup;
  if (!setup.Dir.Ok()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  TUpsInfo& ups = (*setup.Devices)[1];
  ups.Measure.InputVoltA = ups.Measure.InputVoltB = ups.Measure.InputVoltC = 220.1;
  ups.Measure.OutputFreq = 50.0;
  TDataLog log(setup.Dir.Path() + "Record/");
  const DataRecord record = MakeDataRecord(ups, BenchTime());
  AppendLoop(state, log, record);
}
BENCHMARK(BM_DataLogAppend);

}  // namespace
