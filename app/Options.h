#pragma once
// Command line of the tessaro executable.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "query/CsvExport.h"

namespace tessaro {

enum class TExportKind : uint8_t { None, Events, Data, Tests };

struct TAppOptions {
  bool Headless = false;
  bool Help = false;
  bool Version = false;
  std::string DataDir;    // ends with "/"; defaults to the directory given to ParseOptions
  double Duration = 0;    // seconds; 0 runs until a signal
  // --nut-listen: overrides [Network] NutListen when given; empty = off.
  std::optional<std::string> NutListen;
  // --web-listen: overrides [Web] Listen when given; empty = off.
  std::optional<std::string> WebListen;
  // --mqtt: overrides [Mqtt] Broker when given; empty = off.
  std::optional<std::string> Mqtt;
  // --search FROM-TO: probe these bus addresses and exit; 0 when not given.
  int SearchFrom = 0;
  int SearchTo = 0;
  std::string Error;      // set when the command line is bad
  std::vector<std::string> Args;  // as given, for messages that show the line to use
  // --export-events FILE, --export-data YYYY-MM FILE [--day D] [--address N],
  // --export-tests FILE [--address N]
  TExportKind Export = TExportKind::None;
  std::string ExportPath;
  uint16_t ExportYear = 0, ExportMonth = 0, ExportDay = 0, ExportAddress = 0;
  bool EventYearMonth = false;  // --year or --month given
  TCsvEncoding ExportEncoding = TCsvEncoding::Gbk;
};

TAppOptions ParseOptions(const std::vector<std::string>& args, const std::string& exeDir);
// "FROM-TO" with 1 <= FROM <= TO <= 252.
bool ParseSearchRange(const std::string& text, int& from, int& to);
std::string UsageText();
std::string ExecutableDir();
// Each line of `text` on standard error after "tessaro: ".
void PrintErrorLines(const std::string& text);

}  // namespace tessaro
