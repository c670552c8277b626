#include "query/TestTable.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace tessaro {

namespace {

constexpr const char* Titles[] = {"Address", "Start", "End", "Confirmation", "Voltage before (V)",
                                  "Charge before (%)", "Runtime before (s)", "Voltage after (V)",
                                  "Charge after (%)", "Runtime after (s)"};
constexpr int Columns = static_cast<int>(std::size(Titles));

// The cell as a number for sorting; the texts compare as texts.
double Number(const TTestOutcome& o, int column) {
  switch (column) {
    case 0: return o.Address;
    case 1: return o.Start;
    case 2: return o.End;
    case 4: return o.Before.Volts;
    case 5: return o.Before.Percent;
    case 6: return o.Before.RuntimeSeconds;
    case 7: return o.After.Volts;
    case 8: return o.After.Percent;
    case 9: return o.After.RuntimeSeconds;
    default: return 0;
  }
}

}  // namespace

std::error_code TTestTable::Load(const std::string& recordDir, int address) {
  FRows.clear();
  std::ifstream in(recordDir + TestLogName, std::ios::binary);
  if (!in) return std::make_error_code(std::errc::no_such_file_or_directory);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::make_error_code(std::errc::io_error);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // torn by a crash
    auto o = ParseTestOutcome(std::string_view(text).substr(at, end - at));
    if (o && (address == 0 || o->Address == address)) FRows.push_back(std::move(*o));
    at = end + 1;
  }
  return {};
}

int TTestTable::ColumnCount() const { return Columns; }

std::string TTestTable::Title(int column) const { return column >= 0 && column < Columns ? Titles[column] : ""; }

void TTestTable::AppendCell(size_t row, int column, std::string& out) const {
  const TTestOutcome& o = FRows[row];
  char text[32];
  switch (column) {
    case 1: out += FormatDateTime(o.Start); return;
    case 2: out += FormatDateTime(o.End); return;
    case 3: out += o.Confirmation; return;
    case 4:
    case 7: std::snprintf(text, sizeof text, "%.1f", Number(o, column)); break;
    default: std::snprintf(text, sizeof text, "%.0f", Number(o, column)); break;
  }
  out += text;
}

void TTestTable::Sort(int column, bool descending) {
  std::stable_sort(FRows.begin(), FRows.end(), [&](const TTestOutcome& a, const TTestOutcome& b) {
    if (column == 3) return descending ? b.Confirmation < a.Confirmation : a.Confirmation < b.Confirmation;
    return descending ? Number(b, column) < Number(a, column) : Number(a, column) < Number(b, column);
  });
}

}  // namespace tessaro
