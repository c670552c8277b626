#pragma once
// One month of the data log as the viewer's 15-column grid, optionally one
// day and one device. Every record the filter passes is kept, however many:
// a device recorded every 10 s fills 267,840 rows a month.

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "core/MeasureCatalogue.h"
#include "logs/DataLog.h"
#include "query/LogTable.h"
#include "query/RecordReader.h"

namespace tessaro {

struct TRecFilter {
  uint16_t Year = 0;
  uint16_t Month = 0;
  uint16_t Day = 0;      // 0: every day of the month
  uint16_t Address = 0;  // 0: every device
  // Record directory + "DataLog" + year + "_" + mm + ".dat"
  std::string FileName(const std::string& recordDir) const { return DataLogFileName(recordDir, Year, Month); }
};

class TDataTable final : public TLogTable {
 public:
  // Time, address, then the measures' columns.
  static constexpr int Columns = FirstLogColumn + LogColumnCount;

  // language 1 = Chinese titles; `point` is the decimal separator of the cells.
  explicit TDataTable(int language = 0, char point = '.') : FLanguage(language), FPoint(point) {}

  // Reads the month file of the filter and keeps the records it passes, in
  // file order (the load does not sort). Zero-filled records and records
  // whose time the calendar cannot show are left out. A missing file leaves
  // the table empty and returns the reason; so does a progress callback that
  // returns false (std::errc::operation_canceled).
  std::error_code Load(const std::string& recordDir, const TRecFilter& filter, const TProgressFn& progress = {});
  // The same rows for one pass without holding the month: the file is read
  // a block at a time, and after each block the table holds the rows of that
  // block alone while `block` runs; false from it stops the read
  // (std::errc::operation_canceled). The table is empty afterwards.
  std::error_code LoadInBlocks(const std::string& recordDir, const TRecFilter& filter,
                               const std::function<bool()>& block);
  void Clear();
  void Sort(int column, bool descending) override;
  // Back to file order.
  void Unsort();

  int ColumnCount() const override { return Columns; }
  std::string Title(int column) const override;
  size_t RowCount() const override { return FCount; }
  void AppendCell(size_t row, int column, std::string& out) const override;
  size_t MinGridRows() const override { return 20; }
  bool PlainCells() const override { return FPoint != ',' && FPoint != '"' && static_cast<unsigned char>(FPoint) < 0x80; }
  void AppendRow(size_t row, std::string& out) const override;

  const DataRecord& RecordAt(size_t row) const {
    return Records()[FOrder.empty() ? row : FOrder[row]];
  }

 private:
  void AppendRecordCell(const DataRecord& r, int column, std::string& out) const;
  const DataRecord* Records() const { return reinterpret_cast<const DataRecord*>(FBuffer.Data.get()); }

  int FLanguage;
  char FPoint;
  TRecordBuffer FBuffer;  // the kept records, compacted to the front, file order
  size_t FCount = 0;
  std::vector<uint32_t> FOrder;  // grid row -> record; empty while in file order
};

}  // namespace tessaro
