#pragma once
// The event log as the viewer's four-column grid: index, time, address and
// the event's text. Index numbers count from the end of the file (the newest
// record is 1) and are used up by records the filter hides.

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "query/LogTable.h"

namespace tessaro {

// 0 in a field means any value. Day set: that day; else month set: that
// month; else year set: that year.
struct TEventFilter {
  uint16_t Year = 0;
  uint16_t Month = 0;
  uint16_t Day = 0;
  uint16_t Address = 0;
};

class TEventTable final : public TLogTable {
 public:
  enum TColumn : int { ColIndex = 0, ColTime = 1, ColAddress = 2, ColEvent = 3 };
  static constexpr int Columns = 4;

  // language 1 = Chinese texts, anything else English.
  explicit TEventTable(int language = 0) : FLanguage(language) {}

  // Reads the whole file and keeps the rows the filter passes, in file order
  // (call Sort for the grid's order). Records with a time the calendar cannot
  // show, zero-filled records and records without a text give no row; the
  // first two also use no index number. A file that cannot be read leaves
  // the table empty and returns the reason.
  std::error_code Load(const std::string& path, const TEventFilter& filter);
  void Clear();
  void Sort(int column, bool descending) override;

  int Language() const { return FLanguage; }

  int ColumnCount() const override { return Columns; }
  std::string Title(int column) const override;
  size_t RowCount() const override { return FOrder.size(); }
  void AppendCell(size_t row, int column, std::string& out) const override;
  size_t MinGridRows() const override { return 3; }

  struct TRow {
    TDateTime Time;
    int32_t Index;
    uint32_t Position;  // of the record in the file, from 1; never changes while the file is kept
    int32_t Code;
    uint16_t Text;  // into FTexts
    uint8_t Address;
    uint8_t Kind;
    bool Cleared;  // an alarm's end
  };

  int32_t IndexAt(size_t row) const { return At(row).Index; }
  const TRow& RowAt(size_t row) const { return At(row); }

 private:
  const TRow& At(size_t row) const { return FRows[FOrder[row]]; }
  // The row's text in FTexts, -1 when the code has none.
  int TextId(uint8_t kind, int32_t code, bool cleared);

  int FLanguage;
  std::vector<TRow> FRows;       // file order
  std::vector<uint32_t> FOrder;  // grid row -> FRows
  std::vector<std::string> FTexts;     // distinct texts of the rows
  std::map<uint64_t, int> FTextIds;    // kind, cleared, code -> FTexts or -1
};

// Record/EventLog.dat under `recordDir` as the viewer shows and exports it:
// the rows the filter passes, newest first. What Load returns.
std::error_code LoadEventGrid(TEventTable& table, const std::string& recordDir, const TEventFilter& filter);

}  // namespace tessaro
