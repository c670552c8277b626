// The command line: what each option takes, the word that says what is
// wrong, and the options that only go together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Options.h"

using namespace tessaro;

namespace {
TAppOptions Parse(std::vector<std::string> args) { return ParseOptions(args, "/opt/tessaro/"); }
}  // namespace

TEST(Options, EachOptionSetsWhatItNames) {
  const TAppOptions o = Parse({"--headless", "--data-dir", "/srv/ups", "--duration", "2.5", "--nut-listen",
                               "127.0.0.1:3493", "--web-listen", "", "-platform", "offscreen", "-style=fusion"});
  EXPECT_TRUE(o.Error.empty()) << o.Error;
  EXPECT_TRUE(o.Headless);
  EXPECT_EQ(o.DataDir, "/srv/ups/");
  EXPECT_EQ(o.Duration, 2.5);
  EXPECT_EQ(o.NutListen, "127.0.0.1:3493");
  EXPECT_EQ(o.WebListen, "");

  const TAppOptions e = Parse({"--export-data", "2026-12", "out.csv", "--day", "9", "--address", "7", "--encoding",
                               "utf-8"});
  EXPECT_TRUE(e.Error.empty()) << e.Error;
  EXPECT_EQ(e.Export, TExportKind::Data);
  EXPECT_EQ(e.ExportPath, "out.csv");
  EXPECT_EQ(e.ExportYear, 2026);
  EXPECT_EQ(e.ExportMonth, 12);
  EXPECT_EQ(e.ExportDay, 9);
  EXPECT_EQ(e.ExportAddress, 7);
  EXPECT_EQ(e.ExportEncoding, TCsvEncoding::Utf8Bom);

  const TAppOptions s = Parse({"--search", "3-16", "-h"});
  EXPECT_EQ(s.SearchFrom, 3);
  EXPECT_EQ(s.SearchTo, 16);
  EXPECT_TRUE(s.Help);
  EXPECT_EQ(Parse({}).DataDir, "/opt/tessaro/");
  EXPECT_FALSE(Parse({}).NutListen.has_value());
}

TEST(Options, AWrongLineSaysWhatIsWrongWithTheFirstMistake) {
  const struct {
    std::vector<std::string> Args;
    const char* Error;
  } cases[] = {
      {{"--data-dir"}, "--data-dir needs a value"},
      {{"--export-data", "2026-12"}, "--export-data needs a value"},
      {{"--export-data", "2026-13", "out.csv"}, "--export-data takes a month YYYY-MM (2000-01 to 2100-12), not \"2026-13\""},
      {{"--duration", "0"}, "--duration takes a number of seconds above 0, not \"0\""},
      {{"--duration", "inf"}, "--duration takes a number of seconds above 0, not \"inf\""},
      {{"--day", "32"}, "--day takes a day 1..31, not \"32\""},
      {{"--address", "255"}, "--address takes a device address 1..254, not \"255\""},
      {{"--year", "1999"}, "--year takes a year 2000..2100, not \"1999\""},
      {{"--month", "0"}, "--month takes a month 1..12, not \"0\""},
      {{"--encoding", "latin1"}, "--encoding takes gbk or utf-8, not \"latin1\""},
      {{"--search", "5-2"}, "--search takes FROM-TO, two bus addresses 1..252 with FROM <= TO (as 1-16), not \"5-2\""},
      {{"--bogus", "--also-bogus"}, "unknown option \"--bogus\""},
      {{"--duration", "x", "--bogus"}, "--duration takes a number of seconds above 0, not \"x\""},
      {{"--export-data", "2026-12", "f", "--year", "2026"},
       "--year and --month go with --export-events (--export-data takes its month as YYYY-MM)"},
      {{"--export-events", "f", "--day", "3", "--year", "2026"}, "--day goes with --month and --year"},
      {{"--export-events", "f", "--month", "3"}, "--month goes with --year"},
      {{"--day", "3"}, "--day goes with --export-data or --export-events"},
      {{"--export-tests", "f", "--day", "3"}, "--day goes with --export-data or --export-events"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.Args).Error, c.Error) << c.Args[0];
  EXPECT_EQ(Parse({"--nut-listen", "localhost:3493"}).Error.rfind("--nut-listen: ", 0), 0u);
}
