#pragma once
// Record/BatteryTest.log as a grid, for the CSV export: one row per test, in
// the order they ended.

#include <string>
#include <system_error>
#include <vector>

#include "core/TestSchedule.h"
#include "query/LogTable.h"

namespace tessaro {

class TTestTable final : public TLogTable {
 public:
  // Every test of the record in recordDir; with address, that device's only.
  // No record yet is an empty grid.
  std::error_code Load(const std::string& recordDir, int address = 0);

  int ColumnCount() const override;
  std::string Title(int column) const override;
  size_t RowCount() const override { return FRows.size(); }
  void AppendCell(size_t row, int column, std::string& out) const override;
  size_t MinGridRows() const override { return 1; }
  void Sort(int column, bool descending) override;

 private:
  std::vector<TTestOutcome> FRows;
};

}  // namespace tessaro
