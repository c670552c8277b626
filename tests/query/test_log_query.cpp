// The log grids as the viewers and the export see them: filters, index
// numbers, formats, sort keys, and the CSV files written from them.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/Gbk.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/LogTestFiles.h"
#include "query/CsvExport.h"
#include "query/DataTable.h"
#include "query/EventTable.h"
#include "TestFiles.h"

using namespace tessaro;
using logtest::TTempDir;

namespace {

TDateTime At(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
  return EncodeDateTime({.Year = y, .Month = mo, .Day = d, .Hour = h, .Minute = mi, .Second = s});
}

EventRecord Event(TDateTime time, uint8_t address, uint8_t kind, int32_t code, uint8_t active = 255) {
  EventRecord r{};
  r.Time = time;
  r.Address = address;
  r.Kind = kind;
  r.Code = code;
  r.Active = active;
  return r;
}

template <class T>
void WriteRecords(const std::string& path, const std::vector<T>& records) {
  logtest::Bytes bytes;
  for (const T& r : records) {
    const auto b = logtest::BytesOf(r);
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  logtest::WriteAll(path, bytes);
}

std::vector<std::string> Column(const TLogTable& t, int column) {
  std::vector<std::string> out;
  for (size_t r = 0; r < t.RowCount(); ++r) out.push_back(t.Cell(r, column));
  return out;
}

using tessaro::test::ReadText;

// ---------------------------------------------------------------- formats

TEST(CellFormat, FixedPointCellsShowAtMostFiveSignificantDigits) {
  struct TCase {
    double Value;
    int Decimals;
    const char* Text;
  } cases[] = {
      {230.14, 1, "230.1"},     {1.25, 1, "1.3"},         {0, 1, "0.0"},
      {-0.04, 1, "0.0"},        {-12.34, 1, "-12.3"},     {12345.6, 1, "12346.0"},
      {1234.56, 1, "1234.6"},   {99.5, 0, "100"},         {49.4, 0, "49"},
      {0.123456, 1, "0.1"},     {123456.0, 1, "1.2346E+05"},
      {std::nan(""), 1, "NAN"}, {INFINITY, 0, "INF"},     {-INFINITY, 1, "-INF"},
  };
  for (const TCase& c : cases) {
    std::string s;
    AppendFixed(c.Value, c.Decimals, '.', s);
    EXPECT_EQ(s, c.Text) << c.Value;
  }
  std::string comma;
  AppendFixed(230.14, 1, ',', comma);
  EXPECT_EQ(comma, "230,1");
}

TEST(CellFormat, TimesShowAsTheClockFormatsThem) {
  for (const TDateTime t : {At(2024, 5, 17, 12, 34, 56), At(1999, 12, 31, 23, 59, 59) + 0.9996 / 86400.0,
                            At(1899, 12, 29, 6), At(9999, 12, 31, 23, 59, 59)}) {
    std::string s;
    AppendDateTime(t, s);
    EXPECT_EQ(s, FormatDateTime(t));
  }
  EXPECT_FALSE(IsShowableTime(std::nan("")));
  EXPECT_FALSE(IsShowableTime(1e9));
  EXPECT_TRUE(IsShowableTime(0));
}

// ---------------------------------------------------------------- event grid

class EventGrid : public ::testing::Test {
 protected:
  std::string Path() const { return Dir.Path() + "EventLog.dat"; }
  TEventTable Load(const std::vector<EventRecord>& records, const TEventFilter& filter = {}, int language = 0) {
    WriteRecords(Path(), records);
    TEventTable t(language);
    EXPECT_FALSE(t.Load(Path(), filter));
    t.Sort(TEventTable::ColIndex, false);
    return t;
  }
  TTempDir Dir;
};

TEST_F(EventGrid, DefaultSortListsTheNewestFirstWithIndexOne) {
  std::vector<EventRecord> recs;
  for (int i = 0; i < 10; ++i) recs.push_back(Event(At(2024, 1, 1 + i), 0, 0, 20));
  const TEventTable t = Load(recs);
  ASSERT_EQ(t.RowCount(), 10u);
  for (size_t r = 0; r < 10; ++r) EXPECT_EQ(t.IndexAt(r), static_cast<int>(r) + 1);
  EXPECT_EQ(t.Cell(0, TEventTable::ColTime), "2024-01-10 12:00:00");
  EXPECT_EQ(t.Cell(9, TEventTable::ColTime), "2024-01-01 12:00:00");
  EXPECT_EQ(t.GridRows(), 11u);
}

TEST_F(EventGrid, FiltersKeepIndexNumbersCountedFromTheEndOfTheFile) {
  // Index numbers of the fixture, oldest first: 6 5 4 3 2 1.
  const std::vector<EventRecord> recs = {
      Event(At(2023, 12, 31), 0, 0, 20),      Event(At(2024, 1, 15, 8), 3, 0, 22),
      Event(At(2024, 1, 15, 9), 4, 1, 5),     Event(At(2024, 1, 16), 3, 2, 25, 1),
      Event(At(2024, 2, 1), 3, 2, 25, 0),     Event(At(2024, 2, 1, 13), 0, 0, 21),
  };
  struct TCase {
    const char* Name;
    TEventFilter Filter;
    std::vector<int> Indexes;  // grid order
  } cases[] = {
      {"all", {}, {1, 2, 3, 4, 5, 6}},
      {"year", {.Year = 2024}, {1, 2, 3, 4, 5}},
      {"month", {.Year = 2024, .Month = 1}, {3, 4, 5}},
      {"date", {.Year = 2024, .Month = 1, .Day = 15}, {4, 5}},
      {"date without events", {.Year = 2024, .Month = 1, .Day = 20}, {}},
      {"address", {.Address = 3}, {2, 3, 5}},
      {"month and address", {.Year = 2024, .Month = 1, .Address = 4}, {4}},
  };
  for (const TCase& c : cases) {
    const TEventTable t = Load(recs, c.Filter);
    std::vector<int> got;
    for (size_t r = 0; r < t.RowCount(); ++r) got.push_back(t.IndexAt(r));
    EXPECT_EQ(got, c.Indexes) << c.Name;
  }
}

TEST_F(EventGrid, RecordsWithoutTextUseAnIndexButUndatedOnesDoNot) {
  // Numbering starts at the count of records (5, the zero-filled tail is no
  // record) and only dated records take a number, so the newest gets 2.
  const std::vector<EventRecord> recs = {
      Event(At(2024, 3, 1, 1), 0, 0, 20),        // 5
      Event(std::nan(""), 0, 0, 20),             // no date: no number, no row
      Event(At(2024, 3, 1, 2), 2, 2, 999, 1),    // 4, alarm without a text: no row
      Event(At(2024, 3, 1, 3), 2, 7, 20),        // 3, unknown kind: no row
      Event(At(2024, 3, 1, 4), 2, 2, 70, 0),     // 2, alarm with a Chinese text only
      EventRecord{},                              // power-cut tail: not a record
  };
  const TEventTable en = Load(recs, {}, 0);
  EXPECT_EQ(Column(en, TEventTable::ColIndex), (std::vector<std::string>{"5"}));
  const TEventTable zh = Load(recs, {}, 1);
  EXPECT_EQ(Column(zh, TEventTable::ColIndex), (std::vector<std::string>{"2", "5"}));
  EXPECT_EQ(zh.Cell(0, TEventTable::ColEvent), "恢复于: 机型错误");
}

TEST_F(EventGrid, CellsShowTextsInTheLanguageAndProgramEventsWithoutAddress) {
  const std::vector<EventRecord> recs = {
      Event(At(2024, 3, 1, 1), 0, 0, 20),     Event(At(2024, 3, 1, 2), 1, 0, 22),
      Event(At(2024, 3, 1, 3), 1, 1, 5),      Event(At(2024, 3, 1, 4), 1, 2, 25, 1),
      Event(At(2024, 3, 1, 5), 1, 2, 25, 0),
  };
  const TEventTable t = Load(recs);
  EXPECT_EQ(Column(t, TEventTable::ColEvent),
            (std::vector<std::string>{"Recover from: Mains volt. abnormal", "Mains volt. abnormal", "Battery Status",
                                      "Communication upbuilt", "Monitor software is open"}));
  EXPECT_EQ(Column(t, TEventTable::ColAddress), (std::vector<std::string>{"1", "1", "1", "1", ""}));
  const TEventTable zh = Load(recs, {}, 1);
  EXPECT_EQ(zh.Title(TEventTable::ColEvent), "事件");
  EXPECT_EQ(zh.Cell(0, TEventTable::ColEvent), "恢复于: 市电电压异常");
}

TEST_F(EventGrid, SortsByAnyColumnWithNumbersAsNumbersAndTiesInFileOrder) {
  const std::vector<EventRecord> recs = {
      Event(At(2024, 3, 2), 10, 0, 22),  // 4
      Event(At(2024, 3, 1), 9, 0, 22),   // 3
      Event(At(2024, 3, 1), 0, 0, 20),   // 2
      Event(At(2024, 3, 3), 10, 1, 5),   // 1
  };
  WriteRecords(Path(), recs);
  TEventTable t;
  ASSERT_FALSE(t.Load(Path(), {}));
  auto indexes = [&t] {
    std::vector<int> v;
    for (size_t r = 0; r < t.RowCount(); ++r) v.push_back(t.IndexAt(r));
    return v;
  };
  struct TCase {
    int Column;
    bool Descending;
    std::vector<int> Indexes;
  } cases[] = {
      {TEventTable::ColIndex, true, {4, 3, 2, 1}},
      {TEventTable::ColTime, false, {3, 2, 4, 1}},
      {TEventTable::ColTime, true, {1, 4, 3, 2}},
      // "" < 9 < 10 < 10: an empty cell first, 9 before 10 (not as text).
      {TEventTable::ColAddress, false, {2, 3, 4, 1}},
      {TEventTable::ColAddress, true, {4, 1, 3, 2}},
      {TEventTable::ColEvent, false, {1, 4, 3, 2}},
  };
  for (const TCase& c : cases) {
    t.Sort(c.Column, c.Descending);
    EXPECT_EQ(indexes(), c.Indexes) << "column " << c.Column << (c.Descending ? " desc" : " asc");
  }
}

TEST_F(EventGrid, MissingFileLeavesAnEmptyGridOfThreeRows) {
  TEventTable t;
  EXPECT_TRUE(t.Load(Dir.Path() + "none.dat", {}));
  EXPECT_EQ(t.RowCount(), 0u);
  EXPECT_EQ(t.GridRows(), 3u);
}

// ---------------------------------------------------------------- data grid

DataRecord Data(TDateTime time, uint8_t address, double inVoltA) {
  DataRecord r{};
  r.Time = time;
  r.Address = address;
  r.Measure.InputVoltA = inVoltA;
  return r;
}

class DataGrid : public ::testing::Test {
 protected:
  void Write(const std::vector<DataRecord>& records) {
    WriteRecords(DataLogFileName(Dir.Path(), 2024, 1), records);
  }
  TDataTable Load(const TRecFilter& filter, int language = 0) {
    TDataTable t(language);
    EXPECT_FALSE(t.Load(Dir.Path(), filter));
    return t;
  }
  TTempDir Dir;
};

TEST_F(DataGrid, FiltersByDayAndDeviceInFileOrderWithoutARowLimit) {
  std::vector<DataRecord> recs;
  for (int i = 0; i < 70000; ++i) recs.push_back(Data(At(2024, 1, 1 + i % 3, 0) + i * 1e-6, 1 + i % 4, i));
  recs.push_back(DataRecord{});  // zero-filled tail
  Write(recs);
  struct TCase {
    TRecFilter Filter;
    size_t Rows;
  } cases[] = {
      {{.Year = 2024, .Month = 1}, 70000},
      {{.Year = 2024, .Month = 1, .Address = 3}, 17500},
      {{.Year = 2024, .Month = 1, .Day = 2}, 23333},
      {{.Year = 2024, .Month = 1, .Day = 2, .Address = 1}, 5833},
      {{.Year = 2024, .Month = 1, .Day = 9}, 0},
  };
  for (const TCase& c : cases) {
    const TDataTable t = Load(c.Filter);
    ASSERT_EQ(t.RowCount(), c.Rows) << c.Filter.Day << "/" << c.Filter.Address;
    double last = -1;
    for (size_t r = 0; r < t.RowCount(); ++r) {
      const DataRecord& rec = t.RecordAt(r);
      EXPECT_GT(rec.Measure.InputVoltA, last);  // file order
      last = rec.Measure.InputVoltA;
      if (c.Filter.Address) {
        ASSERT_EQ(rec.Address, c.Filter.Address);
      }
    }
    EXPECT_EQ(t.GridRows(), std::max<size_t>(20, c.Rows + 1));
  }
}

TEST_F(DataGrid, FifteenCellsInTheirFormats) {
  DataRecord r = Data(At(2024, 1, 5, 7, 8, 9), 12, 221.06);
  TMeasureBlock& m = r.Measure;
  m.InputVoltB = 219.94;
  m.InputVoltC = 0;
  m.OutputVoltA = 220;
  m.OutputVoltB = 12345.67;
  m.OutputVoltC = -1.06;
  m.LoadA = 45.5;
  m.LoadB = 99.4;
  m.LoadC = 0.2;
  m.OutputFreq = 49.98;
  m.DcInputVolt = 408.44;
  m.BattCapacity = 87;
  m.BattBackupTime = 0;
  DataRecord empty = Data(At(2024, 1, 5, 7, 8, 10), 12, 0);
  empty.Measure.BattCapacity = -1;
  empty.Measure.BattBackupTime = 65535;
  Write({r, empty});
  const TDataTable t = Load({.Year = 2024, .Month = 1});
  std::vector<std::string> cells, cells2;
  for (int c = 0; c < TDataTable::Columns; ++c) {
    cells.push_back(t.Cell(0, c));
    cells2.push_back(t.Cell(1, c));
  }
  EXPECT_EQ(cells, (std::vector<std::string>{"2024-01-05 07:08:09", "12", "221.1", "219.9", "0.0", "220.0", "12346.0",
                                             "-1.1", "46", "99", "0", "50.0", "408.4", "87", ""}));
  EXPECT_EQ(cells2[13], "");
  EXPECT_EQ(cells2[14], "65535");
  EXPECT_EQ(Load({.Year = 2024, .Month = 1}, 1).Title(14), "电池后备时间(分)");
  EXPECT_EQ(t.Title(14), "BattSuppTime(min)");
}

TEST_F(DataGrid, SortsByShownValuesAndBackToFileOrder) {
  // 230.04 and 229.96 both show 230.0: equal cells keep the file order.
  Write({Data(At(2024, 1, 1), 2, 230.04), Data(At(2024, 1, 2), 10, 9.5), Data(At(2024, 1, 3), 1, 229.96),
         Data(At(2024, 1, 4), 3, 231)});
  TDataTable t = Load({.Year = 2024, .Month = 1});
  struct TCase {
    int Column;
    bool Descending;
    std::vector<std::string> Addresses;
  } cases[] = {
      {2, false, {"10", "2", "1", "3"}},
      {2, true, {"3", "2", "1", "10"}},
      {1, false, {"1", "2", "3", "10"}},
      {0, true, {"3", "1", "10", "2"}},
  };
  for (const TCase& c : cases) {
    t.Sort(c.Column, c.Descending);
    EXPECT_EQ(Column(t, 1), c.Addresses) << c.Column;
  }
  t.Unsort();
  EXPECT_EQ(Column(t, 1), (std::vector<std::string>{"2", "10", "1", "3"}));
}

TEST_F(DataGrid, MissingMonthIsAnEmptyGridOfTwentyRows) {
  TDataTable t;
  EXPECT_TRUE(t.Load(Dir.Path(), {.Year = 2030, .Month = 2}));
  EXPECT_EQ(t.RowCount(), 0u);
  EXPECT_EQ(t.GridRows(), 20u);
}

// ---------------------------------------------------------------- CSV

TEST(CsvFormat, CellsAreQuotedOnlyWhenTheyMustBe) {
  struct TCase {
    const char* Cell;
    const char* Written;
  } cases[] = {
      {"", ","},
      {"230.1", "230.1,"},
      {"a,b", "\"a,b\","},
      {"say \"hi\"", "\"say \"\"hi\"\"\","},
      {"two\r\nlines", "\"two\r\nlines\","},
      {"恢复于: 市电", "恢复于: 市电,"},
  };
  for (const TCase& c : cases) {
    std::string line;
    AppendCsvCell(c.Cell, line);
    EXPECT_EQ(line, c.Written);
  }
}

TEST(CsvFormat, CsvIsAppendedUnlessTheNameHoldsItAnywhere) {
  EXPECT_EQ(CsvFileName("report"), "report.csv");
  EXPECT_EQ(CsvFileName("report.csv"), "report.csv");
  EXPECT_EQ(CsvFileName("report.csv.bak"), "report.csv.bak");
  EXPECT_EQ(CsvFileName("report.txt"), "report.txt.csv");
}

class CsvExport : public ::testing::Test {
 protected:
  std::string Target() const { return Dir.Path() + "out.csv"; }
  TTempDir Dir;
};

TEST_F(CsvExport, EmptyEventLogWritesThreeLines) {
  TEventTable t;
  (void)t.Load(Dir.Path() + "missing.dat", {});
  const TExportResult r = ExportCsv(t, Target(), TCsvEncoding::Gbk);
  ASSERT_EQ(r.Status, TExportStatus::Done) << r.Error.message();
  EXPECT_EQ(ReadText(Target()), "Index,Time,Address,Event,\r\n,,,,\r\n,,,,\r\n");
  EXPECT_EQ(logtest::List(Dir.Path()), (std::set<std::string>{"out.csv"}));
}

TEST_F(CsvExport, DayWithoutRecordsWritesTitlesAndNineteenEmptyLines) {
  TDataTable t;
  (void)t.Load(Dir.Path(), {.Year = 2024, .Month = 1, .Day = 3});
  ASSERT_EQ(ExportCsv(t, Target(), TCsvEncoding::Gbk).Status, TExportStatus::Done);
  std::string expected =
      "Time,Address,InV-A (V),InV-B (V),InV-C (V),OutV-A (V),OutV-B (V),OutV-C (V),Load-A (%),Load-B (%),"
      "Load-C (%),OutFreq (Hz),DC V(V),BattCapa (%),BattSuppTime(min),\r\n";
  for (int i = 0; i < 19; ++i) expected += ",,,,,,,,,,,,,,,\r\n";
  EXPECT_EQ(ReadText(Target()), expected);
}

TEST_F(CsvExport, DataRowsKeepTheirFieldsWithADecimalComma) {
  DataRecord r = Data(At(2024, 1, 5, 7, 8, 9), 12, 221.06);
  r.Measure.BattCapacity = 80;
  WriteRecords(DataLogFileName(Dir.Path(), 2024, 1), std::vector<DataRecord>{r});
  const std::string row = "2024-01-05 07:08:09,12,221.1,0.0,0.0,0.0,0.0,0.0,0,0,0,0.0,0.0,80,,\r\n";
  for (const char point : {'.', ','}) {
    TDataTable t(0, point);
    ASSERT_FALSE(t.Load(Dir.Path(), {.Year = 2024, .Month = 1}));
    ASSERT_EQ(ExportCsv(t, Target(), TCsvEncoding::Gbk).Status, TExportStatus::Done);
    const std::string text = ReadText(Target());
    const size_t second = text.find("\r\n") + 2;
    EXPECT_EQ(text.substr(second, text.find("\r\n", second) + 2 - second),
              point == '.' ? row
                           : "2024-01-05 07:08:09,12,\"221,1\",\"0,0\",\"0,0\",\"0,0\",\"0,0\",\"0,0\",0,0,0,"
                             "\"0,0\",\"0,0\",80,,\r\n");
  }
}

TEST_F(CsvExport, ChineseTextsAsGbkOrAsUtf8WithAByteOrderMark) {
  WriteRecords(Dir.Path() + "e.dat", std::vector<EventRecord>{Event(At(2024, 3, 1, 4), 1, 2, 25, 0)});
  TEventTable t(1);
  ASSERT_FALSE(t.Load(Dir.Path() + "e.dat", {}));
  const std::string utf8 = "序号,时间,设备地址,事件,\r\n1,2024-03-01 04:00:00,1,恢复于: 市电电压异常,\r\n,,,,\r\n";
  ASSERT_EQ(ExportCsv(t, Target(), TCsvEncoding::Gbk).Status, TExportStatus::Done);
  EXPECT_EQ(ReadText(Target()), *Utf8ToGbk(utf8));
  ASSERT_EQ(ExportCsv(t, Target(), TCsvEncoding::Utf8Bom).Status, TExportStatus::Done);
  EXPECT_EQ(ReadText(Target()), "\xEF\xBB\xBF" + utf8);
}

TEST_F(CsvExport, MonthReadInBlocksWritesTheBytesOfTheWholeGrid) {
  // Three blocks of the reader, a zero-filled record between them, and
  // filters that keep rows from every block, from one, or none.
  std::vector<DataRecord> recs;
  for (int i = 0; i < 20000; ++i) {
    DataRecord r = Data(At(2024, 1, 1 + i / 7000, 0) + i / 86400.0, static_cast<uint8_t>(1 + i % 3), 200 + i * 0.01);
    r.Measure.BattCapacity = i % 101;
    recs.push_back(i == 9000 ? DataRecord{} : r);
  }
  WriteRecords(DataLogFileName(Dir.Path(), 2024, 1), recs);
  struct TCase {
    TRecFilter Filter;
    int Language;
    char Point;
    TCsvEncoding Encoding;
  } cases[] = {
      {{.Year = 2024, .Month = 1}, 0, '.', TCsvEncoding::Gbk},
      {{.Year = 2024, .Month = 1, .Address = 2}, 1, '.', TCsvEncoding::Gbk},
      {{.Year = 2024, .Month = 1, .Day = 2}, 1, ',', TCsvEncoding::Utf8Bom},
      {{.Year = 2024, .Month = 1, .Day = 3, .Address = 3}, 0, ',', TCsvEncoding::Gbk},
      {{.Year = 2024, .Month = 1, .Day = 9}, 1, '.', TCsvEncoding::Gbk},
      {{.Year = 2024, .Month = 2}, 0, '.', TCsvEncoding::Gbk},  // no file: the empty grid
  };
  for (const TCase& c : cases) {
    TDataTable whole(c.Language, c.Point);
    (void)whole.Load(Dir.Path(), c.Filter);
    ASSERT_EQ(ExportCsv(whole, Target(), c.Encoding).Status, TExportStatus::Done);
    const std::string expected = ReadText(Target());
    TDataTable blocks(c.Language, c.Point);
    int calls = 0;
    const TExportResult r = ExportCsvInBlocks(
        blocks,
        [&](const std::function<bool()>& block) {
          const std::error_code ec = blocks.LoadInBlocks(Dir.Path(), c.Filter, [&] { return ++calls, block(); });
          return ec == std::errc::no_such_file_or_directory ? std::error_code() : ec;
        },
        Target(), c.Encoding);
    ASSERT_EQ(r.Status, TExportStatus::Done) << r.Error.message();
    EXPECT_EQ(r.Rows, whole.RowCount()) << c.Filter.Day;
    EXPECT_EQ(ReadText(Target()), expected) << c.Filter.Day << "/" << c.Filter.Address;
    EXPECT_EQ(calls, c.Filter.Month == 1 ? 3 : 0);
    EXPECT_EQ(blocks.RowCount(), 0u);
  }

  // A read that fails stops the export and leaves the old file.
  logtest::WriteAll(Target(), logtest::Hex("6f 6c 64"));  // "old"
  TDataTable blocks;
  const TExportResult failed = ExportCsvInBlocks(
      blocks,
      [&](const std::function<bool()>& block) {
        (void)blocks.LoadInBlocks(Dir.Path(), {.Year = 2024, .Month = 1}, block);
        return std::make_error_code(std::errc::io_error);
      },
      Target(), TCsvEncoding::Gbk);
  EXPECT_EQ(failed.Stage, TExportStage::Read);
  EXPECT_EQ(failed.Error, std::errc::io_error);
  EXPECT_EQ(ReadText(Target()), "old");
  EXPECT_EQ(logtest::List(Dir.Path()), (std::set<std::string>{"out.csv", "DataLog2024_01.dat"}));
}

// A table of many rows whose cells need quoting, for the failure cases.
class TBigTable final : public TLogTable {
 public:
  int ColumnCount() const override { return 2; }
  std::string Title(int c) const override { return c == 0 ? "a" : "b"; }
  size_t RowCount() const override { return 100000; }
  void AppendCell(size_t row, int, std::string& out) const override { out += "x,\"" + std::to_string(row); }
  size_t MinGridRows() const override { return 3; }
  void Sort(int, bool) override {}
};

TEST_F(CsvExport, QuotesCellsSoEveryLineKeepsItsFields) {
  TBigTable t;
  ASSERT_EQ(ExportCsv(t, Target(), TCsvEncoding::Utf8Bom).Status, TExportStatus::Done);
  const std::string text = ReadText(Target());
  EXPECT_NE(text.find("\r\n\"x,\"\"41\",\"x,\"\"41\",\r\n"), std::string::npos);
}

TEST_F(CsvExport, CancelAndFailuresLeaveTheOldFileAndNoPartialOne) {
  logtest::WriteAll(Target(), logtest::Hex("6f 6c 64"));  // "old"
  TBigTable t;
  uint64_t calls = 0;
  const TExportResult cancelled =
      ExportCsv(t, Target(), TCsvEncoding::Gbk, [&calls](uint64_t, uint64_t) { return ++calls < 3; });
  EXPECT_EQ(cancelled.Status, TExportStatus::Cancelled);
  EXPECT_EQ(ReadText(Target()), "old");

  // A disk that fills up part-way: the file size limit makes the writes fail.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const TExportResult full = ExportCsv(t, Target(), TCsvEncoding::Gbk);
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(full.Status, TExportStatus::Failed);
  EXPECT_EQ(full.Stage, TExportStage::Write);
  EXPECT_NE(DescribeExportFailure(full, Target(), 0).find(Target()), std::string::npos);
  EXPECT_EQ(ReadText(Target()), "old");
  EXPECT_EQ(logtest::List(Dir.Path()), (std::set<std::string>{"out.csv"}));

  struct TCase {
    std::string Path;
    TExportStage Stage;
  } refused[] = {
      {Dir.Path(), TExportStage::Target},             // a directory
      {"/dev/full", TExportStage::Target},            // a device is never replaced
      {Dir.Path() + "no/such/dir.csv", TExportStage::Create},
  };
  for (const TCase& c : refused) {
    const TExportResult r = ExportCsv(t, c.Path, TCsvEncoding::Gbk);
    EXPECT_EQ(r.Status, TExportStatus::Failed) << c.Path;
    EXPECT_EQ(r.Stage, c.Stage) << c.Path;
  }
  EXPECT_EQ(logtest::List(Dir.Path()), (std::set<std::string>{"out.csv"}));
  for (const std::string& name : logtest::List("/dev")) EXPECT_EQ(name.find(".full.part-"), std::string::npos);
}

TEST_F(CsvExport, ReadOnlyDirectoryIsReportedAndLeftEmpty) {
  if (logtest::PermissionsAreBypassed(Dir.Path())) GTEST_SKIP() << "running with permission bypass (root)";
  const std::string ro = Dir.Path() + "ro/";
  ::mkdir(ro.c_str(), 0555);
  TBigTable t;
  const TExportResult r = ExportCsv(t, ro + "x.csv", TCsvEncoding::Gbk);
  EXPECT_EQ(r.Status, TExportStatus::Failed);
  EXPECT_EQ(r.Error, std::errc::permission_denied);
  EXPECT_TRUE(logtest::List(ro).empty());
}

}  // namespace
