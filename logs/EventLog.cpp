#include "logs/EventLog.h"

#include <cstdio>
#include <climits>
#include <cstring>
#include <utility>

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

bool TEventLog::FailAppend(TStoreResult result) {
  FLastError = result.Text();
  if (FFailedAppends < UINT32_MAX) ++FFailedAppends;
  FLastResult = std::move(result);
  if (OnResult) OnResult(FLastResult);
  return false;
}

bool TEventLog::Append(const EventRecord& record) noexcept {
  const bool written = Write(record);
  for (const auto& observer : Observers) {
    try {
      observer(record);
    } catch (...) {
      // An observer's failure is its own; the record is logged regardless.
    }
  }
  return written;
}

bool TEventLog::Write(const EventRecord& record) noexcept {
  try {
    // Directory and file creation failures are reported like write failures:
    // the callers (the poll engine, the link bookkeeping) ignore the result,
    // and an exception from here would stop the poll loop.
    if (auto ec = recfile::EnsureDirectory(Dir)) return FailAppend(TStoreResult::Failure("cannot create", Dir, ec));
    int32_t count = 0;
    if (auto ec = recfile::CountRecords(FullPath, RecordSize, count, true))
      return FailAppend(TStoreResult::Failure("cannot open", FullPath, ec));
    if (count > RotateAbove) Rotate();
    // Events are rare and the last ones before a power cut matter most
    // ("battery low"): each is on disk before the next poll step.
    if (auto ec = recfile::AppendRecord(FullPath, &record, RecordSize, true))
      return FailAppend(TStoreResult::Failure("cannot write", FullPath, ec));
    if (!FRotationPending) FLastError.clear();
    Changed = 255;
    FLastResult = TStoreResult::Success(FullPath);
    if (OnResult) OnResult(FLastResult);
    if (OnAppended) OnAppended(record);
    return true;
  } catch (...) {
    try {
      return FailAppend(TStoreResult::Failure("cannot write", FullPath, std::make_error_code(std::errc::io_error)));
    } catch (...) {
      return false;
    }
  }
}

TRotateResult TEventLog::Rotate() {
  auto fail = [this](TRotateResult result, std::string text) {
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
  FLastBackup = placed;
  // The copy is safe on disk now; should emptying fail, the next append
  // rotates again (the records then appear in two backups, but none is lost).
  if (auto emptyEc = recfile::MakeEmpty(FullPath))
    return fail(TRotateResult::EmptyFailed, recfile::DescribeError("backed up but cannot empty", FullPath, emptyEc));
  FLastRotate = TRotateResult::Done;
  FRotationPending = false;
  FLastError.clear();
  return FLastRotate;
}

bool TEventLog::ClearWithBackup() {
  if (auto ec = recfile::EnsureDirectory(BackupDir)) throw std::system_error(ec, "cannot create " + BackupDir);
  bool saved = true;
  if (RecordCount() > 0) {
    std::string placed;
    const std::error_code ec = recfile::CopyToFreeName(FullPath, BackupDir, ClearBackupName, 1, INT32_MAX - 1, placed);
    if (ec) {
      saved = false;
      FLastError = recfile::DescribeError("cannot back up event log to", BackupDir, ec);
    } else {
      FLastBackup = placed;
    }
  }
  if (auto ec = recfile::MakeEmpty(FullPath)) throw std::system_error(ec, "cannot empty " + FullPath);
  FRotationPending = false;
  if (saved) FLastError.clear();
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
