#pragma once
// A log grid written as CSV: the title row, every record row and the empty
// rows below them, each cell followed by "," and each line by CR LF, as the
// files have always been read. Cells holding a comma, a quote or a line
// break are quoted (RFC 4180). The lines go to a temporary file beside the
// target, which is renamed onto it only when everything was written, so a
// failed or cancelled export leaves no half file.

#include <cstdint>
#include <functional>
#include <memory>
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

enum class TExportStage : uint8_t { None, Target, Create, Write, Sync, Rename, Read };

struct TExportResult {
  TExportStatus Status = TExportStatus::Done;
  TExportStage Stage = TExportStage::None;  // where it failed
  std::error_code Error;
  uint64_t Lines = 0;  // lines written
  uint64_t Rows = 0;   // of them, rows holding a record (when Done)
};

// Takes the CSV bytes in pieces of about a megabyte; an error stops the writing.
using TCsvSink = std::function<std::error_code(const std::string& bytes)>;

class TGbkCache;

// The lines of a grid in pieces, for WriteCsv and for a grid read a block at
// a time: the title row, the record rows, the empty rows, then Flush. Each
// error is the sink's.
class TCsvWriter {
 public:
  TCsvWriter(TCsvEncoding encoding, const TCsvSink& sink);
  ~TCsvWriter();
  std::error_code Titles(const TLogTable& table);
  // Rows [first, end) of the table as it is now.
  std::error_code Rows(const TLogTable& table, size_t first, size_t end);
  std::error_code EmptyRows(const TLogTable& table, uint64_t count);
  // Hands over what is still held.
  std::error_code Flush();
  uint64_t Lines() const { return FLines; }

 private:
  void Put(std::string_view text);
  std::error_code EndLine();

  TCsvEncoding FEncoding;
  TCsvSink FSink;
  std::string FOut;
  std::unique_ptr<TGbkCache> FGbk;  // made at the first text that needs it
  uint64_t FLines = 0;
};

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

// Reads a grid a block at a time into the table it was given with, calling
// `block` after each while the table holds that block's rows; false from
// `block` stops it. Returns why the read failed, if it did.
using TBlockReader = std::function<std::error_code(const std::function<bool()>& block)>;

// ExportCsv of a grid too large to hold: `read` fills `table` a block at a
// time, and each block's rows are written before the next is read. The empty
// rows go below the last block. A read error stops it (stage Read, with the
// error) and leaves no file.
TExportResult ExportCsvInBlocks(const TLogTable& table, const TBlockReader& read, const std::string& path,
                                TCsvEncoding encoding);

// One line for the operator: what failed, where and why, in the language
// (1 Chinese, otherwise English).
std::string DescribeExportFailure(const TExportResult& result, const std::string& path, int language);

}  // namespace tessaro
