#include "logs/DataLog.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

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

bool TDataLog::FailAppend(TStoreResult result) {
  FLastError = result.Text();
  if (FFailedAppends < UINT32_MAX) ++FFailedAppends;
  FLastResult = std::move(result);
  if (OnResult) OnResult(FLastResult);
  return false;
}

bool TDataLog::Append(const DataRecord& record) noexcept { return AppendAll({&record, 1}); }

bool TDataLog::AppendAll(std::span<const DataRecord> records) noexcept {
  if (records.empty()) return true;
  try {
    if (auto ec = recfile::EnsureDirectory(Dir)) return FailAppend(TStoreResult::Failure("cannot create", Dir, ec));
    std::string path;
    // One write per run of records that go to the same month's file.
    for (size_t first = 0; first < records.size();) {
      path = FileNameFor(records[first].Time);
      size_t end = first + 1;
      while (end < records.size() && FileNameFor(records[end].Time) == path) ++end;
      // Not synced: a snapshot every minute per device is too frequent to
      // sync, and the next one follows soon.
      if (auto ec = recfile::AppendRecords(path, &records[first], end - first, RecordSize))
        return FailAppend(TStoreResult::Failure("cannot write", path, ec));
      first = end;
    }
    FLastError.clear();
    FLastResult = TStoreResult::Success(path);
    if (OnResult) OnResult(FLastResult);
    return true;
  } catch (...) {
    try {
      return FailAppend(TStoreResult::Failure("cannot write data log in", Dir, std::make_error_code(std::errc::io_error)));
    } catch (...) {
      return false;
    }
  }
}

int32_t TDataLog::RecordCount(const std::string& fullFileName) {
  int32_t count = 0;
  if (auto ec = recfile::CountRecords(fullFileName, RecordSize, count, true))
    throw std::system_error(ec, "cannot open " + fullFileName);
  return count;
}

}  // namespace tessaro
