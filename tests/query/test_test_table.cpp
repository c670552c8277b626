// The battery test record as the CSV export writes it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "query/CsvExport.h"
#include "query/TestTable.h"

namespace tessaro {
namespace {

TEST(TestTable, ExportsEveryWholeRecordOfTheDeviceAsked) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tessaro-test-table-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string recordDir = dir.string() + "/";
  TTestTable table;
  EXPECT_EQ(table.Load(recordDir), std::errc::no_such_file_or_directory);
  EXPECT_EQ(table.RowCount(), 0u);
  std::ofstream(recordDir + TestLogName)
      << "ups1 start 2026-12-10 03:00:00 end 2026-12-10 03:01:01 confirmed before 54.2V 100% 1800s after 52.9V "
         "96% 1620s\n"
         "ups2 start 2026-12-10 04:00:00 end 2026-12-10 04:00:01 refused before 0.0V 0% 0s after 0.0V 0% 0s\n"
         "ups1 start 2026-12-11 03:00:00 end 2026-12-11 03:00:02 not-answered before 54.0V 99% 1740s after 54.0V "
         "99% 1740s\n"
         "ups1 start 2026-12-12 03:00:00 end";  // torn by a crash
  ASSERT_FALSE(table.Load(recordDir, 1));
  std::string csv;
  const TExportResult r = WriteCsv(table, TCsvEncoding::Utf8Bom, [&](const std::string& bytes) {
    csv += bytes;
    return std::error_code();
  });
  std::filesystem::remove_all(dir);
  EXPECT_EQ(r.Status, TExportStatus::Done);
  EXPECT_EQ(r.Rows, 2u);
  EXPECT_NE(csv.find("Address,Start,End,Confirmation,Voltage before (V),Charge before (%),Runtime before (s),"
                     "Voltage after (V),Charge after (%),Runtime after (s)"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("1,2026-12-10 03:00:00,2026-12-10 03:01:01,confirmed,54.2,100,1800,52.9,96,1620"), std::string::npos)
      << csv;
  EXPECT_NE(csv.find("1,2026-12-11 03:00:00,2026-12-11 03:00:02,not-answered,54.0,99,1740,54.0,99,1740"),
            std::string::npos)
      << csv;
  EXPECT_EQ(csv.find("refused"), std::string::npos);
}

}  // namespace
}  // namespace tessaro
