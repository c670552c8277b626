#include "query/DataTable.h"

#include <cstring>
#include <iterator>
#include <new>

namespace tessaro {

namespace {
// Columns 0 and 1; the others are the measures' (core/MeasureCatalogue.h).
const char* const TitlesZh[] = {"时间", "设备地址"};
const char* const TitlesEn[] = {"Time", "Address"};
static_assert(std::size(TitlesZh) == FirstLogColumn);

// A whole-number column is empty while the device reports nothing (0).
bool EmptyCell(const TMeasure& m, double shown) { return m.Integer && !(shown > 0); }

const TMeasure& ColumnMeasure(int column) { return *LogColumns()[static_cast<size_t>(column - FirstLogColumn)]; }

// The cell of a measure's column at `p` (room for CellChars); returns its end.
char* PutMeasure(const TMeasure& m, const TMeasureBlock& block, char point, char* p) {
  const double shown = ShownValue(m, block);
  if (!m.Integer) return PutFixed(shown, m.Decimals, point, p);
  return EmptyCell(m, shown) ? p : PutSigned(static_cast<int64_t>(shown), p);
}
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
    } else {
      const TMeasure& m = ColumnMeasure(column);
      const double shown = ShownValue(m, r.Measure);
      if (EmptyCell(m, shown))
        key = EmptyCellKey;
      else
        key = OrderedKey(m.Integer ? shown : ShownFixed(shown, m.Decimals));
    }
    keys[i] = {key, static_cast<uint32_t>(i)};
  }
  SortKeys(keys, descending, FOrder);
}

std::string TDataTable::Title(int column) const {
  if (column < 0 || column >= Columns) return {};
  if (column < FirstLogColumn) return FLanguage == 1 ? TitlesZh[column] : TitlesEn[column];
  const TLogTitle& t = ColumnMeasure(column).LogTitle;
  return FLanguage == 1 ? t.Chinese : t.English;
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
  for (const TMeasure* m : LogColumns()) {
    p = PutMeasure(*m, r.Measure, FPoint, p);
    *p++ = ',';
  }
  out.append(buf, p);
}

void TDataTable::AppendRecordCell(const DataRecord& r, int column, std::string& out) const {
  switch (column) {
    case 0: AppendDateTime(r.Time, out); break;
    case 1: AppendUnsigned(r.Address, out); break;
    default:
      if (column >= FirstLogColumn && column < Columns) {
        char buf[CellChars];
        out.append(buf, PutMeasure(ColumnMeasure(column), r.Measure, FPoint, buf));
      }
      break;
  }
}

}  // namespace tessaro
