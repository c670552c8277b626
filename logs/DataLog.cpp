#include "logs/DataLog.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "logs/LogWriter.h"
#include "logs/RecordFile.h"

namespace tessaro {

DataRecord MakeDataRecord(const TUpsInfo& info, TDateTime time) {
  DataRecord rec{};
  rec.Time = time;
  rec.Address = info.Address;
  rec.Measure = info.Measure;
  std::memset(rec.Measure.Pad94, 0, sizeof rec.Measure.Pad94);
  return rec;
}

std::string DataLogFileName(const std::string& dir, int year, int month) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "DataLog%04d_%02d.dat", year, month);
  return dir + buf;
}

std::string DataLogFileName(const std::string& dir, TDateTime time) {
  // As the viewer forms it: characters 1-4 and 6-7 of the formatted time, so
  // the file always matches the date the viewer shows for the record.
  const std::string text = FormatDateTime(time);
  return dir + "DataLog" + text.substr(0, 4) + "_" + text.substr(5, 2) + ".dat";
}

std::vector<DataRecord> ReadDataLogFile(const std::string& path, std::error_code* ec) {
  std::vector<unsigned char> bytes;
  const std::error_code err = recfile::ReadRecords(path, sizeof(DataRecord), bytes);
  if (ec) *ec = err;
  recfile::DropZeroRecords(bytes, sizeof(DataRecord));
  std::vector<DataRecord> out(bytes.size() / sizeof(DataRecord));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(DataRecord));
  return out;
}

TDataLog::TDataLog(std::string dir) : Dir(std::move(dir)) {}

bool TDataLog::Append(const DataRecord& record) noexcept { return AppendAll({&record, 1}); }

bool TDataLog::AppendAll(std::span<const DataRecord> records) noexcept {
  if (records.empty()) return true;
  if (FWriter) return FWriter->Queue(records);
  const TWriteOutcome outcome = WriteRecords(records);
  try {
    Finish(outcome);
  } catch (...) {
    // A listener's failure is its own.
  }
  return outcome.Result.Ok;
}

TWriteOutcome TDataLog::WriteRecords(std::span<const DataRecord> records) const noexcept {
  TWriteOutcome out;
  auto fail = [&](const char* what, const std::string& path, std::error_code ec) {
    out.Result = TStoreResult::Failure(what, path, ec, records.size() - out.Written);
    return out;
  };
  try {
    if (records.empty()) {
      out.Result = TStoreResult::Success(Dir);
      return out;
    }
    if (auto ec = recfile::EnsureDirectory(Dir)) return fail("cannot create", Dir, ec);
    std::string path;
    // One write per run of records that go to the same month's file.
    while (out.Written < records.size()) {
      const size_t first = out.Written;
      path = FileNameFor(records[first].Time);
      size_t end = first + 1;
      while (end < records.size() && FileNameFor(records[end].Time) == path) ++end;
      // Not synced: a snapshot every minute per device is too frequent to
      // sync, and the next one follows soon.
      size_t written = 0;
      const std::error_code ec = recfile::AppendRecords(path, &records[first], end - first, RecordSize, written,
                                                        false, &Io);
      out.Written += written;
      if (ec) return fail("cannot write", path, ec);
    }
    out.Result = TStoreResult::Success(path);
    return out;
  } catch (...) {
    try {
      return fail("cannot write data log in", Dir, std::make_error_code(std::errc::io_error));
    } catch (...) {
      out.Result.Ok = false;
      out.Result.Lost = records.size() - out.Written;
      return out;
    }
  }
}

void TDataLog::Finish(const TWriteOutcome& outcome) {
  FLastResult = outcome.Result;
  if (outcome.Result.Ok) {
    FLastError.clear();
  } else {
    FLostRecords += outcome.Result.Lost;
    FLastError = outcome.Result.Text();
  }
  if (OnResult) OnResult(FLastResult);
}

int32_t TDataLog::RecordCount(const std::string& fullFileName) {
  int32_t count = 0;
  if (auto ec = recfile::CountRecords(fullFileName, RecordSize, count, true))
    throw std::system_error(ec, "cannot open " + fullFileName);
  return count;
}

}  // namespace tessaro
