#pragma once
// The month the history benchmarks work on: 1,048,576 data records (128 MiB),
// four devices every 10 s for 30 days from 2024-03-01, then a fifth device
// for the records still missing. Deterministic, so runs compare.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "logs/DataLog.h"

namespace tessaro::bench {

constexpr size_t MonthRecords = size_t{1} << 20;

inline bool WriteMonth(const std::string& path) {
  constexpr int Devices = 4;
  constexpr int IntervalSeconds = 10;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const TDateTime start = EncodeDateTime({.Year = 2024, .Month = 3, .Day = 1});
  std::vector<DataRecord> block;
  block.reserve(65536);
  uint32_t seed = 12345;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0;  // 0..1
  };
  for (size_t i = 0; i < MonthRecords; ++i) {
    DataRecord r{};
    const size_t tick = i / Devices;
    const bool extra = tick * IntervalSeconds >= 30u * 86400u;
    r.Time = start + static_cast<double>(tick * IntervalSeconds) / 86400.0;
    r.Address = static_cast<uint8_t>(extra ? 5 : 1 + i % Devices);
    TMeasureBlock& m = r.Measure;
    m.InputVoltA = 220 + 10 * noise();
    m.InputVoltB = 220 + 10 * noise();
    m.InputVoltC = 220 + 10 * noise();
    m.OutputVoltA = 219.5 + noise();
    m.OutputVoltB = 219.5 + noise();
    m.OutputVoltC = 219.5 + noise();
    m.LoadA = 100 * noise();
    m.LoadB = 100 * noise();
    m.LoadC = 100 * noise();
    m.OutputFreq = 49.9 + 0.2 * noise();
    m.DcInputVolt = 400 + 20 * noise();
    m.BattCapacity = static_cast<int32_t>(100 * noise());
    m.BattBackupTime = static_cast<uint16_t>(120 * noise());
    block.push_back(r);
    if (block.size() == block.capacity() || i + 1 == MonthRecords) {
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * sizeof r));
      block.clear();
    }
  }
  return static_cast<bool>(out.flush());
}

}  // namespace tessaro::bench
