// tessaro --export-events / --export-data: logs written by a headless run over
// the simulator come back as the CSV the viewers export; a failed export
// leaves no file and says why.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/DeviceList.h"
#include "e2e/HeadlessFixture.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/EventText.h"
#include "TestFiles.h"

using namespace tessaro;
using tessaro::testing::BuildDir;
using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using tessaro::test::ReadText;

// Lines without their CR LF; fields split at commas (the cells exported
// here hold none), the trailing comma giving no field.
std::vector<std::vector<std::string>> ParseCsv(std::string text) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<std::vector<std::string>> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;
    const std::string line = text.substr(pos, end - pos);
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
      fields.push_back(line.substr(start, comma - start));
    EXPECT_EQ(start, line.size()) << "every cell ends with a comma: " << line;
    lines.push_back(fields);
    pos = end + 2;
  }
  EXPECT_EQ(pos, text.size()) << "every line ends with CR LF";
  return lines;
}

class ExportCli : public tessaro::testing::Headless {
 protected:
  fs::path Data() const { return Dir / "data"; }

  // Runs tessaro with `args` (after --data-dir), optionally under a file
  // size limit, and returns its exit status.
  int Run(std::vector<std::string> args, long fileSizeLimit = 0) {
    std::vector<std::string> argv;
    if (fileSizeLimit > 0) argv = {"/usr/bin/prlimit", "--fsize=" + std::to_string(fileSizeLimit)};
    argv.insert(argv.end(), {BuildDir + "/tessaro", "--data-dir", Data().string()});
    argv.insert(argv.end(), args.begin(), args.end());
    Process = std::make_unique<TChildProcess>(argv);
    return Process->WaitForExit(60s);
  }
  std::unique_ptr<TChildProcess> Process;
};

TEST_F(ExportCli, MonthWrittenByAHeadlessRunComesBackAsTheViewersShowIt) {
  WriteSettings(2, 50);
  WriteDevices({1, 2});
  TChildProcess sim({BuildDir + "/tessaro-sim", "--link", Link, "--protocol", "modbus", "--seed", "7", "--devices",
                     "1,2"});
  ASSERT_TRUE(sim.WaitForOutput("ready", 10s)) << sim.Err();
  TChildProcess monitor({BuildDir + "/tessaro", "--headless", "--data-dir", Data().string(), "--duration", "13"});
  ASSERT_EQ(monitor.WaitForExit(60s), 0) << monitor.Err();

  // The data log: every record of the month, in file order, in the grid's formats.
  std::vector<fs::path> months;
  for (const auto& e : fs::directory_iterator(Data() / "Record"))
    if (e.path().filename().string().rfind("DataLog", 0) == 0) months.push_back(e.path());
  ASSERT_FALSE(months.empty());
  std::sort(months.begin(), months.end());  // a run across a month end checks the later month
  const std::vector<DataRecord> records = ReadDataLogFile(months.back().string());
  ASSERT_GE(records.size(), 2u);
  const TDateParts month = DecodeDateTime(records[0].Time);
  char yyyymm[16];
  std::snprintf(yyyymm, sizeof yyyymm, "%04d-%02d", month.Year, month.Month);
  ASSERT_EQ(Run({"--export-data", yyyymm, (Dir / "month.csv").string(), "--encoding", "utf-8"}), 0)
      << Process->Err();
  const auto lines = ParseCsv(ReadText(Dir / "month.csv"));
  ASSERT_EQ(lines.size(), std::max<size_t>(20, records.size() + 1));
  EXPECT_EQ(lines[0][0], "Time");
  EXPECT_EQ(lines[0][14], "BattSuppTime(min)");
  for (size_t i = 0; i < records.size(); ++i) {
    const DataRecord& r = records[i];
    const auto& f = lines[i + 1];
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[0], FormatDateTime(r.Time));
    EXPECT_EQ(f[1], std::to_string(r.Address));
    EXPECT_NEAR(std::atof(f[2].c_str()), r.Measure.InputVoltA, 0.051);
    EXPECT_NEAR(std::atof(f[5].c_str()), r.Measure.OutputVoltA, 0.051);
    EXPECT_NEAR(std::atof(f[8].c_str()), r.Measure.LoadA, 0.51);
    EXPECT_NEAR(std::atof(f[11].c_str()), r.Measure.OutputFreq, 0.051);
    EXPECT_EQ(f[13], r.Measure.BattCapacity > 0 ? std::to_string(r.Measure.BattCapacity) : "");
  }

  // One device only.
  ASSERT_EQ(Run({"--export-data", yyyymm, (Dir / "dev2.csv").string(), "--address", "2"}), 0) << Process->Err();
  size_t dev2 = 0;
  for (const auto& f : ParseCsv(ReadText(Dir / "dev2.csv")))
    if (!f[0].empty() && f[0] != "Time") {
      EXPECT_EQ(f[1], "2");
      ++dev2;
    }
  EXPECT_EQ(dev2, static_cast<size_t>(std::count_if(records.begin(), records.end(),
                                                    [](const DataRecord& r) { return r.Address == 2; })));

  // The event log: newest first, index 1 at the top.
  const std::vector<EventRecord> events = ReadEventLogFile((Data() / "Record" / "EventLog.dat").string());
  ASSERT_EQ(Run({"--export-events", (Dir / "events.csv").string()}), 0) << Process->Err();
  const auto ev = ParseCsv(ReadText(Dir / "events.csv"));
  EXPECT_EQ(ev[0], (std::vector<std::string>{"Index", "Time", "Address", "Event"}));
  ASSERT_EQ(ev.size(), std::max<size_t>(3, events.size() + 1));
  for (size_t row = 1; row <= events.size(); ++row) {
    const EventRecord& e = events[events.size() - row];
    EXPECT_EQ(ev[row][0], std::to_string(row));
    EXPECT_EQ(ev[row][1], FormatDateTime(e.Time));
    EXPECT_EQ(ev[row][2], e.Address ? std::to_string(e.Address) : "");
    EXPECT_EQ(ev[row][3], EventRecordText(e, 0));
  }
  EXPECT_EQ(ev[1][3], "Monitor software is closed");

  // The viewer's date filters: a day that has no event gives the empty grid.
  const TDateParts first = DecodeDateTime(events.front().Time);
  ASSERT_EQ(Run({"--export-events", (Dir / "day.csv").string(), "--year", std::to_string(first.Year), "--month",
                 std::to_string(first.Month), "--day", std::to_string(first.Day)}),
            0)
      << Process->Err();
  EXPECT_EQ(ParseCsv(ReadText(Dir / "day.csv")).size(), ev.size());
  ASSERT_EQ(Run({"--export-events", (Dir / "none.csv").string(), "--year", std::to_string(first.Year - 1)}), 0);
  EXPECT_EQ(ParseCsv(ReadText(Dir / "none.csv")).size(), 3u);
}

TEST_F(ExportCli, MissingMonthGivesTheEmptyGridTheViewerWouldExport) {
  ASSERT_EQ(Run({"--export-data", "2031-07", (Dir / "empty.csv").string(), "--day", "4"}), 0) << Process->Err();
  const auto lines = ParseCsv(ReadText(Dir / "empty.csv"));
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[19], std::vector<std::string>(15));
  EXPECT_FALSE(fs::exists(Data() / "Record" / "DataLog2031_07.dat"));
}

TEST_F(ExportCli, FailedExportLeavesNoFileAndSaysWhy) {
  // A month large enough to pass a 64 KiB file size limit.
  {
    std::ofstream f(Data() / "Record" / "DataLog2024_03.dat", std::ios::binary);
    for (int i = 0; i < 3000; ++i) {
      DataRecord r{};
      r.Time = EncodeDateTime({.Year = 2024, .Month = 3, .Day = 1}) + i / 8640.0;
      r.Address = 1;
      r.Measure.InputVoltA = 220 + i % 7;
      f.write(reinterpret_cast<const char*>(&r), sizeof r);
    }
  }
  fs::create_directories(Dir / "out");
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    long FileSizeLimit;
    int Status;
    const char* Says;
  } cases[] = {
      {"disk full part-way", {"--export-data", "2024-03", (Dir / "out" / "m.csv").string()}, 65536, 1, "File too large"},
      {"device", {"--export-data", "2024-03", "/dev/full"}, 0, 1, "not a regular file"},
      {"no such directory", {"--export-events", (Dir / "none" / "e.csv").string()}, 0, 1, "No such file or directory"},
      {"bad month", {"--export-data", "2024-3x", (Dir / "out" / "m.csv").string()}, 0, 2, "YYYY-MM"},
      {"bad address", {"--export-events", (Dir / "out" / "e.csv").string(), "--address", "0"}, 0, 2, "1..254"},
      {"bad encoding", {"--export-events", (Dir / "out" / "e.csv").string(), "--encoding", "latin1"}, 0, 2, "gbk"},
      {"day without month", {"--export-events", (Dir / "out" / "e.csv").string(), "--year", "2024", "--day", "3"}, 0, 2,
       "--day goes with --month and --year"},
      {"month without year", {"--export-events", (Dir / "out" / "e.csv").string(), "--month", "3"}, 0, 2,
       "--month goes with --year"},
      {"year for the data log", {"--export-data", "2024-03", (Dir / "out" / "m.csv").string(), "--year", "2024"}, 0,
       2, "--year and --month go with --export-events"},
      {"bad year", {"--export-events", (Dir / "out" / "e.csv").string(), "--year", "1999"}, 0, 2, "2000..2100"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Run(c.Args, c.FileSizeLimit), c.Status) << c.Name << ": " << Process->Err();
    EXPECT_NE(Process->Err().find(c.Says), std::string::npos) << c.Name << ": " << Process->Err();
    EXPECT_TRUE(fs::is_empty(Dir / "out")) << c.Name;
  }
  EXPECT_FALSE(fs::exists(Dir / "none"));
}

// Root exports a service's logs: the service's user, who owns the data
// directory, must not get root to read for them what they could not read
// themselves, through a link or a hard link in Record/.
TEST_F(ExportCli, RootExportReadsNoFileTheDirectoryOwnerPlanted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another user";
  constexpr uid_t Nobody = 65534;
  const fs::path secret = Dir / "secret";
  {
    std::ofstream f(secret, std::ios::binary);
    for (int i = 0; i < 4; ++i) {
      DataRecord r{};
      r.Time = EncodeDateTime({.Year = 2026, .Month = 12, .Day = 1});
      r.Address = 1;
      f.write(reinterpret_cast<const char*>(&r), sizeof r);
    }
  }
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directories(Dir / "out");
  const fs::path record = Data() / "Record";
  for (const fs::path& p : {Data(), record}) ASSERT_EQ(::chown(p.c_str(), Nobody, Nobody), 0);
  struct TCase {
    const char* Name;
    std::function<void(const fs::path&)> Plant;
    const char* Says;
  } cases[] = {
      {"link", [&](const fs::path& at) { fs::create_symlink(secret, at); }, "a symbolic link"},
      {"hard link", [&](const fs::path& at) { fs::create_hard_link(secret, at); },
       "it belongs to another user than its directory does"},
  };
  for (const TCase& c : cases) {
    const fs::path month = record / "DataLog2026_12.dat";
    fs::remove(month);
    c.Plant(month);
    EXPECT_EQ(Run({"--export-data", "2026-12", (Dir / "out" / "m.csv").string()}), 1) << c.Name << ": " << Process->Err();
    EXPECT_NE(Process->Err().find("cannot read " + month.string() + ": " + c.Says), std::string::npos)
        << c.Name << ": " << Process->Err();
    EXPECT_TRUE(fs::is_empty(Dir / "out")) << c.Name;
  }
  // The owner's own log is exported as ever.
  fs::remove(record / "DataLog2026_12.dat");
  fs::copy_file(secret, record / "DataLog2026_12.dat");
  ASSERT_EQ(::chown((record / "DataLog2026_12.dat").c_str(), Nobody, Nobody), 0);
  ASSERT_EQ(Run({"--export-data", "2026-12", (Dir / "out" / "m.csv").string()}), 0) << Process->Err();
  const std::string csv = ReadText(Dir / "out" / "m.csv");
  size_t rows = 0;
  for (size_t at = csv.find("2026-12-01 00:00:00"); at != std::string::npos; at = csv.find("2026-12-01 00:00:00", at + 1))
    ++rows;
  EXPECT_EQ(rows, 4u) << csv;
}

}  // namespace
