// The history viewers at full size, timed in one run: a month of 1,048,576
// data records (128 MiB) and a full event log of 5,001 records are written to
// a fresh directory, then loaded, sorted and exported as the viewers and the
// command line do. Prints each figure next to its target.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchMonth.h"
#include "core/Clock.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "query/CsvExport.h"
#include "query/DataTable.h"
#include "query/EventTable.h"

namespace {

using namespace tessaro;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::MonthRecords;
using bench::WriteMonth;

constexpr size_t EventRecords = 5001;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Peak resident memory since the last ResetPeak, in bytes.
size_t PeakRss() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}
bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  return static_cast<bool>(out);
}

void WriteEvents(const std::string& path) {
  std::vector<EventRecord> recs(EventRecords);
  const TDateTime start = EncodeDateTime({.Year = 2024, .Month = 3, .Day = 1});
  for (size_t i = 0; i < recs.size(); ++i) {
    EventRecord& r = recs[i];
    r = {};
    r.Time = start + static_cast<double>(i) / 200.0;
    r.Address = static_cast<uint8_t>(i % 5);
    r.Kind = static_cast<uint8_t>(r.Address == 0 ? 0 : i % 3);
    r.Code = r.Kind == 0 ? 20 + static_cast<int>(i % 4) : r.Kind == 1 ? 1 + static_cast<int>(i % 11)
                                                                      : 25 + static_cast<int>(i % 40);
    r.Active = r.Kind == 2 ? static_cast<uint8_t>(i % 2) : 255;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(recs.data()), static_cast<std::streamsize>(recs.size() * sizeof(EventRecord)));
}

// The reference: the same records written with one fprintf per line, in the
// grid's columns, to a file in the same directory.
double FprintfReference(const std::string& month, const std::string& out) {
  const std::vector<DataRecord> recs = ReadDataLogFile(month);
  const auto t0 = Clock::now();
  FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) return -1;
  for (const DataRecord& r : recs) {
    const TDateParts p = DecodeDateTime(r.Time);
    const TMeasureBlock& m = r.Measure;
    std::fprintf(f, "%04d-%02d-%02d %02d:%02d:%02d,%u,%.1f,%.1f,%.1f,%.1f,%.1f,%.1f,%.0f,%.0f,%.0f,%.1f,%.1f,%d,%u,\r\n",
                 p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, r.Address, m.InputVoltA, m.InputVoltB,
                 m.InputVoltC, m.OutputVoltA, m.OutputVoltB, m.OutputVoltC, m.LoadA, m.LoadB, m.LoadC, m.OutputFreq,
                 m.DcInputVolt, m.BattCapacity, m.BattBackupTime);
  }
  std::fclose(f);
  return Seconds(t0);
}

const char* Verdict(bool ok) { return ok ? "meets" : "MISSES"; }

}  // namespace

int main() {
  std::string base = (fs::temp_directory_path() / "tessaro-history-XXXXXX").string();
  if (!mkdtemp(base.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = base + "/";
  const std::string month = DataLogFileName(dir, 2024, 3);
  const std::string events = dir + "EventLog.dat";
  WriteMonth(month);
  WriteEvents(events);
  const double fileBytes = static_cast<double>(fs::file_size(month));
  std::printf("month file: %zu records, %.0f MiB, in %s (read from the page cache)\n", MonthRecords,
              fileBytes / 1048576.0, dir.c_str());

  // Peak memory counts from here: the month shown, sorted and re-sorted.
  const bool peakReset = ResetPeak();
  const size_t rssBefore = PeakRss();
  TDataTable table(0, '.');
  auto t0 = Clock::now();
  if (const std::error_code ec = table.Load(dir, {.Year = 2024, .Month = 3})) {
    std::fprintf(stderr, "load failed: %s\n", ec.message().c_str());
    return 1;
  }
  const double loadOnly = Seconds(t0);
  table.Sort(0, false);
  std::string screen;
  for (size_t r = 0; r < 40; ++r)
    for (int c = 0; c < TDataTable::Columns; ++c) table.AppendCell(r, c, screen);
  const double firstView = Seconds(t0);

  double worstSort = 0;
  int worstColumn = 0;
  for (int c = 0; c < TDataTable::Columns; ++c) {
    for (const bool desc : {false, true}) {
      t0 = Clock::now();
      table.Sort(c, desc);
      const double s = Seconds(t0);
      if (s > worstSort) {
        worstSort = s;
        worstColumn = c;
      }
    }
  }
  const size_t peak = PeakRss();
  const double peakRatio = static_cast<double>(peak - (peakReset ? 0 : rssBefore)) / fileBytes;
  table.Unsort();

  // Export as the viewer does (GBK, temporary file, synced, renamed), then
  // the fprintf reference over the same records.
  t0 = Clock::now();
  const TExportResult exported = ExportCsv(table, dir + "month.csv", TCsvEncoding::Gbk);
  const double exportTime = Seconds(t0);
  if (exported.Status != TExportStatus::Done) {
    std::fprintf(stderr, "%s\n", DescribeExportFailure(exported, dir + "month.csv", 0).c_str());
    return 1;
  }
  const double reference = FprintfReference(month, dir + "reference.csv");

  TEventTable eventTable(1);
  t0 = Clock::now();
  (void)eventTable.Load(events, {});
  eventTable.Sort(TEventTable::ColIndex, false);
  const double eventLoad = Seconds(t0);
  t0 = Clock::now();
  const TExportResult eventExport = ExportCsv(eventTable, dir + "events.csv", TCsvEncoding::Gbk);
  const double eventExportTime = Seconds(t0);

  std::printf("rows shown: %zu (no row limit)\n", table.RowCount());
  std::printf("load + filter of the month:              %7.3f s\n", loadOnly);
  std::printf("load + filter + first sorted view:       %7.3f s   target <= 0.5 s   %s\n", firstView,
              Verdict(firstView <= 0.5));
  std::printf("re-sort, slowest column (%2d):            %7.3f s   target <= 0.3 s   %s\n", worstColumn, worstSort,
              Verdict(worstSort <= 0.3));
  std::printf("CSV export of the month (%llu lines):  %7.3f s\n",
              static_cast<unsigned long long>(exported.Lines), exportTime);
  std::printf("fprintf reference over the same records: %7.3f s\n", reference);
  std::printf("export / reference:                      %7.3f     target <= 0.4     %s\n", exportTime / reference,
              Verdict(exportTime / reference <= 0.4));
  std::printf("peak memory while the month is shown:    %7.1f MiB = %.2f x the file   target <= 1.5 x   %s%s\n",
              static_cast<double>(peak) / 1048576.0, peakRatio, Verdict(peakRatio <= 1.5),
              peakReset ? "" : " (peak not reset: includes the program before the load)");
  std::printf("event log (%zu records): load + sort %.4f s, export %.4f s (%s)\n", EventRecords, eventLoad,
              eventExportTime, eventExport.Status == TExportStatus::Done ? "ok" : "failed");

  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
