#pragma once
// A log file seen as a grid: rows kept as compact records, sorted through a
// permutation, and turned into cell texts only when a row is drawn or
// exported. Shared by the viewers, the command-line export and the benchmarks.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"

namespace tessaro {

// Called now and then during long work with the work done and the total;
// returning false stops the work.
using TProgressFn = std::function<bool(uint64_t done, uint64_t total)>;

// A cell text is appended to `out`; the text is UTF-8.
class TLogTable {
 public:
  virtual ~TLogTable() = default;

  virtual int ColumnCount() const = 0;
  virtual std::string Title(int column) const = 0;
  // Rows holding a record, in the current order.
  virtual size_t RowCount() const = 0;
  virtual void AppendCell(size_t row, int column, std::string& out) const = 0;
  // The grid never has fewer rows than this, the title row included; the
  // rows below the records are empty (and are exported as empty lines).
  virtual size_t MinGridRows() const = 0;
  // Orders the rows by a column; equal cells keep the file order.
  virtual void Sort(int column, bool descending) = 0;

  // True when no cell can hold anything but ASCII without a comma, a quote
  // or a line break: the export then writes rows straight into its buffer.
  virtual bool PlainCells() const { return false; }
  // Every cell of a row, each followed by ",".
  virtual void AppendRow(size_t row, std::string& out) const {
    for (int c = 0; c < ColumnCount(); ++c) {
      AppendCell(row, c, out);
      out += ',';
    }
  }

  size_t GridRows() const { return RowCount() + 1 > MinGridRows() ? RowCount() + 1 : MinGridRows(); }
  std::string Cell(size_t row, int column) const {
    std::string s;
    AppendCell(row, column, s);
    return s;
  }
};

// Sorting: every column has a key per row; numbers compare as numbers, empty
// cells come first, texts that are not numbers last. Equal keys keep the
// file order in both directions.
struct TSortKey {
  uint64_t Key;
  uint32_t Row;  // position in file order
};
// Maps a double onto an unsigned key of the same order (NaN above +inf).
uint64_t OrderedKey(double value);
constexpr uint64_t EmptyCellKey = 0;
// Sorts `keys` and writes the resulting file-order positions into `order`.
void SortKeys(std::vector<TSortKey>& keys, bool descending, std::vector<uint32_t>& order);

// ---- cell formats

// A time stamp the calendar can show (years 1..9999).
bool IsShowableTime(TDateTime value);
// "yyyy-mm-dd hh:mm:ss", as FormatDateTime, without allocating.
void AppendDateTime(TDateTime value, std::string& out);
// A key of the shown time: sorts as the text sorts.
int64_t ShownSeconds(TDateTime value);
// Year, month and day as shown.
void ShownDate(TDateTime value, int& year, int& month, int& day);

// Fixed-point with `decimals` decimals and at most 5 significant digits;
// "NAN", "INF", "-INF"; a value with more than 5 integer digits in
// scientific notation ("1.2346E+05"). `point` is the decimal separator.
void AppendFixed(double value, int decimals, char point, std::string& out);
// The number the cell of AppendFixed shows, for sorting.
double ShownFixed(double value, int decimals);

void AppendUnsigned(uint64_t value, std::string& out);
void AppendSigned(int64_t value, std::string& out);

// The same cells written at `p`, which has room for CellChars; each returns
// the end of what it wrote. A whole row is then one append.
constexpr size_t CellChars = 48;
char* PutDateTime(TDateTime value, char* p);
char* PutFixed(double value, int decimals, char point, char* p);
char* PutUnsigned(uint64_t value, char* p);
char* PutSigned(int64_t value, char* p);

}  // namespace tessaro
