#include "logs/EventLog.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <cstring>
#include <utility>

#include "logs/LogWriter.h"
#include "logs/RecordFile.h"

namespace tessaro {

EventRecord MakeAlarmRecord(TDateTime time, uint8_t address, int32_t alarmCode, bool raised) {
  EventRecord rec{};
  rec.Time = time;
  rec.Address = address;
  rec.Kind = EventKindAlarm;
  rec.Code = alarmCode;
  rec.Active = raised ? 1 : 0;
  return rec;
}

std::vector<EventRecord> ReadEventLogFile(const std::string& path, std::error_code* ec) {
  std::vector<unsigned char> bytes;
  const std::error_code err = recfile::ReadRecords(path, sizeof(EventRecord), bytes);
  if (ec) *ec = err;
  recfile::DropZeroRecords(bytes, sizeof(EventRecord));
  std::vector<EventRecord> out(bytes.size() / sizeof(EventRecord));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(EventRecord));
  return out;
}

TEventLog::TEventLog(std::string dir, std::string fileName, std::string backupDir, const TUpsInfoTable& devices,
                     const TClock& clock)
    : FileName(std::move(fileName)),
      Dir(std::move(dir)),
      FullPath(Dir + FileName),
      BackupDir(std::move(backupDir)),
      FDevices(devices),
      FClock(clock) {}

std::string TEventLog::RotateBackupName(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "EventLog_%03d.dat", i);
  return buf;
}

std::string TEventLog::ClearBackupName(int n) { return "EventLog" + std::to_string(n) + ".dat"; }

int32_t TEventLog::RecordCount() {
  if (auto ec = recfile::EnsureDirectory(Dir)) throw std::system_error(ec, "cannot create " + Dir);
  int32_t count = 0;
  if (auto ec = recfile::CountRecords(FullPath, RecordSize, count, true))
    throw std::system_error(ec, "cannot open " + FullPath);
  return count;
}

bool TEventLog::Append(const EventRecord& record) noexcept {
  bool taken;
  if (FWriter) {
    taken = FWriter->Queue(record);
  } else {
    TWriteOutcome outcome = WriteRecords({&record, 1});
    taken = outcome.Written == 1;
    try {
      Finish({&record, 1}, outcome);
    } catch (...) {
      // A listener's failure is its own; the record is written regardless.
    }
  }
  for (const auto& observer : Observers) {
    try {
      observer(record);
    } catch (...) {
      // An observer's failure is its own; the record is logged regardless.
    }
  }
  return taken;
}

TWriteOutcome TEventLog::WriteRecords(std::span<const EventRecord> records) noexcept {
  TWriteOutcome out;
  if (records.empty()) {
    out.Result = TStoreResult::Success(FullPath);
    return out;
  }
  auto fail = [&](const char* what, const std::string& path, std::error_code ec) {
    out.Result = TStoreResult::Failure(what, path, ec, records.size() - out.Written);
    return out;
  };
  try {
    std::lock_guard lock(FFileMutex);
    // Directory and file creation failures are reported like write failures:
    // the callers (the poll engine, the link bookkeeping) ignore the result,
    // and an exception from here would stop the poll loop.
    if (auto ec = recfile::EnsureDirectory(Dir)) return fail("cannot create", Dir, ec);
    while (out.Written < records.size()) {
      int32_t count = 0;
      if (auto ec = recfile::CountRecords(FullPath, RecordSize, count, true)) return fail("cannot open", FullPath, ec);
      if (count > RotateAbove && RotateLocked() == TRotateResult::Done) count = 0;
      // Up to the cap, or everything when the rotation failed and the file grows on.
      size_t run = records.size() - out.Written;
      if (count <= RotateAbove) run = std::min(run, static_cast<size_t>(RotateAbove + 1 - count));
      const bool last = out.Written + run == records.size();
      // Events are rare and the last ones before a power cut matter most
      // ("battery low"): what is written is on disk before the writer takes
      // the next batch. A run that ends at the cap is copied to the backup
      // (synced) by the rotation that follows it.
      size_t written = 0;
      const std::error_code ec =
          recfile::AppendRecords(FullPath, &records[out.Written], run, RecordSize, written, last, &Io);
      out.Written += written;
      if (ec) return fail("cannot write", FullPath, ec);
    }
    {
      std::lock_guard state(FStateMutex);
      if (!FRotationPending) FLastError.clear();
    }
    out.Result = TStoreResult::Success(FullPath);
    return out;
  } catch (...) {
    try {
      return fail("cannot write", FullPath, std::make_error_code(std::errc::io_error));
    } catch (...) {
      out.Result.Ok = false;
      out.Result.Lost = records.size() - out.Written;
      return out;
    }
  }
}

void TEventLog::Finish(std::span<const EventRecord> records, const TWriteOutcome& outcome) {
  FLastResult = outcome.Result;
  if (!outcome.Result.Ok) {
    FLostRecords += outcome.Result.Lost;
    std::lock_guard state(FStateMutex);
    FLastError = outcome.Result.Text();
  }
  if (outcome.Written > 0) Changed = 255;
  if (OnResult) OnResult(FLastResult);
  if (OnAppended)
    for (size_t i = 0; i < std::min(outcome.Written, records.size()); ++i) OnAppended(records[i]);
}

bool TEventLog::RotationPending() const {
  std::lock_guard state(FStateMutex);
  return FRotationPending;
}

TRotateResult TEventLog::LastRotateResult() const {
  std::lock_guard state(FStateMutex);
  return FLastRotate;
}

std::string TEventLog::LastBackupPath() const {
  std::lock_guard state(FStateMutex);
  return FLastBackup;
}

std::string TEventLog::LastError() const {
  std::lock_guard state(FStateMutex);
  return FLastError;
}

TRotateResult TEventLog::Rotate() {
  std::lock_guard lock(FFileMutex);
  return RotateLocked();
}

TRotateResult TEventLog::RotateLocked() {
  auto fail = [this](TRotateResult result, std::string text) {
    std::lock_guard state(FStateMutex);
    FLastRotate = result;
    FRotationPending = true;
    FLastError = std::move(text) + "; the log keeps growing until a backup can be made";
    return result;
  };
  if (auto ec = recfile::EnsureDirectory(BackupDir))
    return fail(TRotateResult::CopyFailed, recfile::DescribeError("cannot create backup directory", BackupDir, ec));
  std::string placed;
  const std::error_code ec = recfile::CopyToFreeName(FullPath, BackupDir, RotateBackupName, 0, 999, placed);
  if (ec == std::errc::file_exists)
    return fail(TRotateResult::NoFreeName,
                "no free backup name: " + BackupDir + "EventLog_000.dat to EventLog_999.dat all exist");
  if (ec) return fail(TRotateResult::CopyFailed, recfile::DescribeError("cannot back up event log to", BackupDir, ec));
  {
    std::lock_guard state(FStateMutex);
    FLastBackup = placed;
  }
  // The copy is safe on disk now; should emptying fail, the next append
  // rotates again (the records then appear in two backups, but none is lost).
  if (auto emptyEc = recfile::MakeEmpty(FullPath))
    return fail(TRotateResult::EmptyFailed, recfile::DescribeError("backed up but cannot empty", FullPath, emptyEc));
  std::lock_guard state(FStateMutex);
  FLastRotate = TRotateResult::Done;
  FRotationPending = false;
  FLastError.clear();
  return FLastRotate;
}

bool TEventLog::ClearWithBackup() {
  // What was logged before the clear belongs in the backup.
  if (FWriter) FWriter->Drain(TLogWriter::ClearDrainBound);
  std::unique_lock lock(FFileMutex, std::defer_lock);
  if (!lock.try_lock_for(TLogWriter::ClearDrainBound))
    throw std::system_error(std::make_error_code(std::errc::device_or_resource_busy),
                            "cannot clear " + FullPath + ": the disk has not finished the last write");
  if (auto ec = recfile::EnsureDirectory(BackupDir)) throw std::system_error(ec, "cannot create " + BackupDir);
  bool saved = true;
  std::string placed;
  std::string failure;
  if (RecordCount() > 0) {
    const std::error_code ec = recfile::CopyToFreeName(FullPath, BackupDir, ClearBackupName, 1, INT32_MAX - 1, placed);
    if (ec) {
      saved = false;
      failure = recfile::DescribeError("cannot back up event log to", BackupDir, ec);
    }
  }
  if (auto ec = recfile::MakeEmpty(FullPath)) throw std::system_error(ec, "cannot empty " + FullPath);
  std::lock_guard state(FStateMutex);
  if (!placed.empty()) FLastBackup = placed;
  FRotationPending = false;
  FLastError = failure;
  return saved;
}

EventRecord TEventLog::NewRecord() const {
  EventRecord rec{};
  rec.Time = FClock.Now();
  rec.Active = 255;
  return rec;
}

bool TEventLog::LogProgramEvent(uint8_t type) {
  int32_t code;
  switch (type) {
    case ProgEventStarted: code = EventProgramStarted; break;
    case ProgEventClosed: code = EventProgramClosed; break;
    case ProgEventPortLost: code = EventCommLost; break;
    case ProgEventPortBack: code = EventCommRecovered; break;
    default: return false;
  }
  EventRecord rec = NewRecord();
  rec.Address = 0;
  rec.Kind = EventKindProgram;
  rec.Code = code;
  return Append(rec);
}

bool TEventLog::LogDeviceEvent(uint8_t type, uint8_t address) {
  if (address >= FDevices.size()) return false;
  const TUpsInfo& info = FDevices[address];
  uint8_t kind = EventKindProgram;
  int32_t code;
  switch (type) {
    case DevEventEstablished: code = EventCommEstablished; break;
    case DevEventLost: code = EventCommLost; break;
    case DevEventRecovered: code = EventCommRecovered; break;
    case DevEventError: code = EventCommError; break;
    case DevEventStateChange:
      kind = EventKindState;
      code = info.StateCode;
      break;
    default: return false;
  }
  EventRecord rec = NewRecord();
  rec.Address = info.Address;
  rec.Kind = kind;
  rec.Code = code;
  rec.Status = info.Status;
  return Append(rec);
}

bool TEventLog::LogAlarmEvent(uint8_t address, int32_t alarmCode, bool raised) {
  return Append(MakeAlarmRecord(FClock.Now(), address, alarmCode, raised));
}

}  // namespace tessaro
