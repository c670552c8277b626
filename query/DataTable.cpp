#include "query/DataTable.h"

#include <cstring>
#include <iterator>
#include <new>

namespace tessaro {

namespace {
const char* const TitlesZh[] = {"时间", "设备地址", "输入A相电压(V)", "输入B相电压(V)", "输入C相电压(V)",
                                "输出A相电压(V)", "输出B相电压(V)", "输出C相电压(V)", "A相负载率(%)",
                                "B相负载率(%)", "C相负载率(%)", "输出频率(Hz)", "直流输入电压(V)",
                                "电池容量率(%)", "电池后备时间(分)"};
const char* const TitlesEn[] = {"Time", "Address", "InV-A (V)", "InV-B (V)", "InV-C (V)",
                                "OutV-A (V)", "OutV-B (V)", "OutV-C (V)", "Load-A (%)",
                                "Load-B (%)", "Load-C (%)", "OutFreq (Hz)", "DC V(V)",
                                "BattCapa (%)", "BattSuppTime(min)"};

// Columns 2..12: the measurement and the decimals it is shown with.
struct TDoubleColumn {
  double TMeasureBlock::*Field;
  int Decimals;
};
constexpr TDoubleColumn DoubleColumns[] = {
    {&TMeasureBlock::InputVoltA, 1},  {&TMeasureBlock::InputVoltB, 1},  {&TMeasureBlock::InputVoltC, 1},
    {&TMeasureBlock::OutputVoltA, 1}, {&TMeasureBlock::OutputVoltB, 1}, {&TMeasureBlock::OutputVoltC, 1},
    {&TMeasureBlock::LoadA, 0},       {&TMeasureBlock::LoadB, 0},       {&TMeasureBlock::LoadC, 0},
    {&TMeasureBlock::OutputFreq, 1},  {&TMeasureBlock::DcInputVolt, 1},
};
constexpr int FirstDoubleColumn = 2;
constexpr int CapacityColumn = 13;
static_assert(std::size(DoubleColumns) == CapacityColumn - FirstDoubleColumn);
constexpr int BackupTimeColumn = 14;
}  // namespace

void TDataTable::Clear() {
  FBuffer = {};
  FCount = 0;
  FOrder.clear();
  FOrder.shrink_to_fit();
}

namespace {
// Slides the records of [from, to) that `filter` passes down to positions
// kept, kept + 1, ... of the same buffer; returns the new kept count.
size_t KeepPassing(unsigned char* base, size_t from, size_t to, size_t kept, const TRecFilter& filter) {
  for (size_t i = from; i < to; ++i) {
    const unsigned char* src = base + i * sizeof(DataRecord);
    if (IsZeroRecord(src, sizeof(DataRecord))) continue;
    TDateTime time;
    std::memcpy(&time, src, sizeof time);
    if (!IsShowableTime(time)) continue;
    if (filter.Address != 0 && src[offsetof(DataRecord, Address)] != filter.Address) continue;
    if (filter.Day != 0) {
      int y, m, d;
      ShownDate(time, y, m, d);
      if (y != filter.Year || m != filter.Month || d != filter.Day) continue;
    }
    if (kept != i) std::memcpy(base + kept * sizeof(DataRecord), src, sizeof(DataRecord));
    ++kept;
  }
  return kept;
}
}  // namespace

std::error_code TDataTable::Load(const std::string& recordDir, const TRecFilter& filter, const TProgressFn& progress) {
  Clear();
  size_t kept = 0;
  TRecordBuffer buf;
  // Each block is filtered as soon as it is read, while it is in the cache,
  // and the records kept slide down to the front of the same buffer.
  const TBlockFn compact = [&](size_t first, size_t count, size_t total) {
    kept = KeepPassing(buf.Data.get(), first, first + count, kept, filter);
    return !progress || progress(first + count, total);
  };
  const std::error_code ec = ReadRecordFile(filter.FileName(recordDir), sizeof(DataRecord), buf, compact);
  if (ec) return ec;
  if (kept < buf.Count / 2) {
    // A day or one device out of a full month: give back what is not shown.
    TRecordBuffer small;
    if (kept > 0) {
      small.Data.reset(new (std::nothrow) unsigned char[kept * sizeof(DataRecord)]);
      if (small.Data) {
        std::memcpy(small.Data.get(), buf.Data.get(), kept * sizeof(DataRecord));
        buf = std::move(small);
      }
    } else {
      buf = {};
    }
  }
  FBuffer = std::move(buf);
  FBuffer.Count = kept;
  FCount = kept;
  return {};
}

std::error_code TDataTable::LoadInBlocks(const std::string& recordDir, const TRecFilter& filter,
                                         const std::function<bool()>& block) {
  Clear();
  const std::error_code ec =
      ReadRecordBlocks(filter.FileName(recordDir), sizeof(DataRecord), FBuffer, [&](size_t, size_t count, size_t) {
        FCount = KeepPassing(FBuffer.Data.get(), 0, count, 0, filter);
        return block();
      });
  Clear();
  return ec;
}

void TDataTable::Unsort() {
  FOrder.clear();
  FOrder.shrink_to_fit();
}

void TDataTable::Sort(int column, bool descending) {
  if (column < 0 || column >= Columns) return;
  const DataRecord* recs = Records();
  std::vector<TSortKey> keys(FCount);
  for (size_t i = 0; i < FCount; ++i) {
    const DataRecord& r = recs[i];
    uint64_t key;
    if (column == 0) {
      key = OrderedKey(static_cast<double>(ShownSeconds(r.Time)));
    } else if (column == 1) {
      key = r.Address;
    } else if (column == CapacityColumn) {
      key = r.Measure.BattCapacity > 0 ? OrderedKey(r.Measure.BattCapacity) : EmptyCellKey;
    } else if (column == BackupTimeColumn) {
      key = r.Measure.BattBackupTime != 0 ? OrderedKey(r.Measure.BattBackupTime) : EmptyCellKey;
    } else {
      const TDoubleColumn& c = DoubleColumns[column - FirstDoubleColumn];
      key = OrderedKey(ShownFixed(r.Measure.*c.Field, c.Decimals));
    }
    keys[i] = {key, static_cast<uint32_t>(i)};
  }
  SortKeys(keys, descending, FOrder);
}

std::string TDataTable::Title(int column) const {
  if (column < 0 || column >= Columns) return {};
  return FLanguage == 1 ? TitlesZh[column] : TitlesEn[column];
}

void TDataTable::AppendCell(size_t row, int column, std::string& out) const {
  if (row < FCount) AppendRecordCell(RecordAt(row), column, out);
}

void TDataTable::AppendRow(size_t row, std::string& out) const {
  if (row >= FCount) {
    out.append(Columns, ',');
    return;
  }
  // The row is put together on the stack and appended once: the export
  // formats a million of them.
  const DataRecord& r = RecordAt(row);
  char buf[Columns * (CellChars + 1)];
  char* p = PutDateTime(r.Time, buf);
  *p++ = ',';
  p = PutUnsigned(r.Address, p);
  *p++ = ',';
  for (const TDoubleColumn& c : DoubleColumns) {
    p = PutFixed(r.Measure.*c.Field, c.Decimals, FPoint, p);
    *p++ = ',';
  }
  if (r.Measure.BattCapacity > 0) p = PutSigned(r.Measure.BattCapacity, p);
  *p++ = ',';
  if (r.Measure.BattBackupTime != 0) p = PutUnsigned(r.Measure.BattBackupTime, p);
  *p++ = ',';
  out.append(buf, p);
}

void TDataTable::AppendRecordCell(const DataRecord& r, int column, std::string& out) const {
  switch (column) {
    case 0: AppendDateTime(r.Time, out); break;
    case 1: AppendUnsigned(r.Address, out); break;
    case CapacityColumn:
      if (r.Measure.BattCapacity > 0) AppendSigned(r.Measure.BattCapacity, out);
      break;
    case BackupTimeColumn:
      if (r.Measure.BattBackupTime != 0) AppendUnsigned(r.Measure.BattBackupTime, out);
      break;
    default:
      if (column >= FirstDoubleColumn && column < CapacityColumn) {
        const TDoubleColumn& c = DoubleColumns[column - FirstDoubleColumn];
        AppendFixed(r.Measure.*c.Field, c.Decimals, FPoint, out);
      }
      break;
  }
}

}  // namespace tessaro
