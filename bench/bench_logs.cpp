// Cost of one record appended to each log store. Every append opens, writes
// and closes its file, so this is mostly system-call and file-system time.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"

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
