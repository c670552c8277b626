#pragma once
// A log grid written as CSV: the title row, every record row and the empty
// rows below them, each cell followed by "," and each line by CR LF, as the
// files have always been read. Cells holding a comma, a quote or a line
// break are quoted (RFC 4180). The lines go to a temporary file beside the
// target, which is renamed onto it only when everything was written, so a
// failed or cancelled export leaves no half file.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "query/LogTable.h"

namespace tessaro {

enum class TCsvEncoding : uint8_t {
  Gbk,      // the code page the program's files have always used
  Utf8Bom,  // UTF-8 with a byte-order mark, which spreadsheets on Linux read
};

// The name chosen in the save dialog, with ".csv" appended unless it holds
// ".csv" anywhere (report.csv.bak stays as it is).
std::string CsvFileName(const std::string& chosen);

// Appends `utf8` and its "," to `line`, quoted when it must be.
void AppendCsvCell(std::string_view utf8, std::string& line);

enum class TExportStatus : uint8_t { Done, Cancelled, Failed };

enum class TExportStage : uint8_t { None, Target, Create, Write, Sync, Rename };

struct TExportResult {
  TExportStatus Status = TExportStatus::Done;
  TExportStage Stage = TExportStage::None;  // where it failed
  std::error_code Error;
  uint64_t Lines = 0;  // lines written
};

// Takes the CSV bytes in pieces of about a megabyte; an error stops the writing.
using TCsvSink = std::function<std::error_code(const std::string& bytes)>;

// The CSV bytes of the grid of `table`, handed to `sink` in order; what
// ExportCsv writes to its file. `progress` as for ExportCsv.
TExportResult WriteCsv(const TLogTable& table, TCsvEncoding encoding, const TCsvSink& sink,
                       const TProgressFn& progress = {});

// Writes the grid of `table` to `path` (replacing a regular file of that
// name). `progress` gets lines written and lines in all every few thousand
// lines; returning false cancels. A target that exists but is not a regular
// file (a directory, a device such as /dev/full) is refused.
TExportResult ExportCsv(const TLogTable& table, const std::string& path, TCsvEncoding encoding,
                        const TProgressFn& progress = {});

// One line for the operator: what failed, where and why, in the language
// (1 Chinese, otherwise English).
std::string DescribeExportFailure(const TExportResult& result, const std::string& path, int language);

}  // namespace tessaro
