#pragma once
// The data log store: periodic snapshots of each communicating
// device's measurement block, one headerless file of 128-byte DataRecords per
// month, Record/DataLog<yyyy>_<mm>.dat. Every operation opens, works on and
// closes the file it needs. With a TLogWriter attached, appends are queued
// and written on the writer's thread (see EventLog.h).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/RecordFile.h"
#include "logs/StoreHealth.h"

namespace tessaro {

class TLogWriter;

static_assert(std::endian::native == std::endian::little, "log records are stored as little-endian memory images");

// One snapshot, exactly as stored. Bytes 16-127 are the device's measurement
// block byte for byte; the padding bytes 9-15 and 110-111 are written as zeros.
struct DataRecord {
  TDateTime Time;  // OLE date, local time
  uint8_t Address;
  uint8_t Pad9[7];
  TMeasureBlock Measure;  // bytes 16..127
};
static_assert(std::is_standard_layout_v<DataRecord> && std::is_trivially_copyable_v<DataRecord>);
static_assert(sizeof(DataRecord) == 128);
static_assert(offsetof(DataRecord, Time) == 0);
static_assert(offsetof(DataRecord, Address) == 8);
static_assert(offsetof(DataRecord, Pad9) == 9);
static_assert(offsetof(DataRecord, Measure) == 16);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, InputVoltA) == 16);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, InputVoltB) == 24);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, InputVoltC) == 32);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, OutputVoltA) == 40);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, OutputVoltB) == 48);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, OutputVoltC) == 56);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, LoadA) == 64);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, LoadB) == 72);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, LoadC) == 80);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, OutputFreq) == 88);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, DcInputVolt) == 96);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, BattCapacity) == 104);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, BattBackupTime) == 108);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, Pad94) == 110);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, BattChargeCurr) == 112);
static_assert(offsetof(DataRecord, Measure) + offsetof(TMeasureBlock, BattDischargeCurr) == 120);

// A snapshot of the device in `info` taken at `time`.
DataRecord MakeDataRecord(const TUpsInfo& info, TDateTime time);

// dir + "DataLog" + yyyy + "_" + mm + ".dat" for the month of `time`, as
// "yyyy-mm-dd hh:mm:ss" shows it (so 23:59:59.5 on 31 December stays in
// December).
std::string DataLogFileName(const std::string& dir, TDateTime time);
std::string DataLogFileName(const std::string& dir, int year, int month);

// Every whole record of a data log file in file order; a trailing partial
// record and all-zero records (a tail left by a crash) are ignored. A missing
// or unreadable file yields an empty list and, when `ec` is given, the reason.
std::vector<DataRecord> ReadDataLogFile(const std::string& path, std::error_code* ec = nullptr);

class TDataLog {
 public:
  static constexpr size_t RecordSize = sizeof(DataRecord);

  // `dir` ends with "/"; touches no file.
  explicit TDataLog(std::string dir);
  TDataLog(const TDataLog&) = delete;
  TDataLog& operator=(const TDataLog&) = delete;

  const std::string Dir;
  // Told of the outcome of every append, good or bad.
  std::function<void(const TStoreResult&)> OnResult;
  // The disk under the writes; set before the first append.
  recfile::TWriteSeam Io;

  // The month file a record stamped `time` goes to.
  std::string FileNameFor(TDateTime time) const { return DataLogFileName(Dir, time); }

  // Appends the record to the file of its Time's month, creating the
  // directory and the file when missing. False when anything failed (never
  // throws); the record is then lost.
  bool Append(const DataRecord& record) noexcept;
  // Appends several records, one write per month file; stops at the first
  // failure (the records from there on are lost, and counted). With a
  // TLogWriter attached the records are only queued: false when the queue
  // has no room for all of them (none is then taken).
  bool AppendAll(std::span<const DataRecord> records) noexcept;

  // The file work of AppendAll, safe on another thread; tells no one.
  TWriteOutcome WriteRecords(std::span<const DataRecord> records) const noexcept;
  // Hands an outcome to the counters and OnResult; on the engine's thread.
  void Finish(const TWriteOutcome& outcome);

  // Whole records in `fullFileName`; creates the file empty when missing,
  // throws std::system_error when it cannot.
  int32_t RecordCount(const std::string& fullFileName);

  // A one-line English description of the last append failure, empty after a
  // successful append.
  const std::string& LastError() const { return FLastError; }
  // Records lost since construction.
  uint64_t LostRecords() const { return FLostRecords; }
  // The outcome of the last append.
  const TStoreResult& LastResult() const { return FLastResult; }

 private:
  friend class TLogWriter;
  TLogWriter* FWriter = nullptr;  // set and cleared by the writer
  std::string FLastError;
  uint64_t FLostRecords = 0;
  TStoreResult FLastResult;
};

}  // namespace tessaro
