// The yardstick of the whole-process export timing (export_whole.py): a plain
// C program that reads a data log month and writes the grid's columns with
// one fprintf per record, as anyone would write it without care for speed.
//
//   tessaro-export-reference MONTH.dat OUT.csv [--sync]   the fprintf loop;
//                                                          --sync adds fsync
//   tessaro-export-reference --write-month MONTH.dat       the benchmark month

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bench/BenchMonth.h"
#include "core/Clock.h"
#include "logs/DataLog.h"

using namespace tessaro;

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-month") == 0) return bench::WriteMonth(argv[2]) ? 0 : 1;
  const bool sync = argc == 4 && std::strcmp(argv[3], "--sync") == 0;
  if (argc != 3 && !sync) {
    std::fprintf(stderr, "usage: %s MONTH.dat OUT.csv [--sync] | --write-month MONTH.dat\n", argv[0]);
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) {
    std::perror(argv[1]);
    return 1;
  }
  FILE* out = std::fopen(argv[2], "wb");
  if (!out) {
    std::perror(argv[2]);
    return 1;
  }
  static DataRecord block[4096];
  size_t n;
  while ((n = std::fread(block, sizeof(DataRecord), 4096, in)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      const DataRecord& r = block[i];
      const TDateParts p = DecodeDateTime(r.Time);
      const TMeasureBlock& m = r.Measure;
      std::fprintf(out, "%04d-%02d-%02d %02d:%02d:%02d,%u,%.1f,%.1f,%.1f,%.1f,%.1f,%.1f,%.0f,%.0f,%.0f,%.1f,%.1f,%d,%u,\r\n",
                   p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, r.Address, m.InputVoltA, m.InputVoltB,
                   m.InputVoltC, m.OutputVoltA, m.OutputVoltB, m.OutputVoltC, m.LoadA, m.LoadB, m.LoadC,
                   m.OutputFreq, m.DcInputVolt, m.BattCapacity, m.BattBackupTime);
    }
  }
  std::fclose(in);
  if (sync && (std::fflush(out) != 0 || ::fsync(fileno(out)) != 0)) {
    std::perror(argv[2]);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
