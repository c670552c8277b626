#include "app/Export.h"

#include <signal.h>

#include <clocale>
#include <cstdio>
#include <functional>

#include "core/UserParaIni.h"
#include "query/CsvExport.h"
#include "query/DataTable.h"
#include "query/EventTable.h"
#include "query/TestTable.h"

namespace tessaro {

namespace {

// The decimal separator the desktop would show, from the environment's locale.
char LocaleDecimalPoint() {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_NUMERIC, "");
  const lconv* lc = std::localeconv();
  const char point = lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1] ? lc->decimal_point[0] : '.';
  std::setlocale(LC_NUMERIC, saved.c_str());
  return point;
}

}  // namespace

int RunExport(const TAppOptions& options) {
  // A file size limit must fail the write, not end the program half-way.
  ::signal(SIGXFSZ, SIG_IGN);
  TSettings settings;
  LoadSettings(settings, SettingsPath(options.DataDir));
  const int language = settings.Language;
  const std::string recordDir = options.DataDir + "Record/";

  // No log yet is an empty grid, as the viewer shows it; anything else that
  // stops the read is a failure, and leaves no file.
  auto cannotRead = [](const std::string& source, std::error_code ec) {
    const std::string why =
        ec == std::errc::invalid_argument ? "not a plain file (a FIFO, a device or a directory)" : ec.message();
    std::fprintf(stderr, "tessaro: cannot read %s: %s\n", source.c_str(), why.c_str());
    return 1;
  };
  TExportResult result;
  if (options.Export == TExportKind::Events) {
    TEventTable events(language);
    const std::error_code ec =
        LoadEventGrid(events, recordDir,
                      {.Year = options.ExportYear, .Month = options.ExportMonth, .Day = options.ExportDay,
                       .Address = options.ExportAddress});
    if (ec && ec != std::errc::no_such_file_or_directory) return cannotRead(recordDir + "EventLog.dat", ec);
    result = ExportCsv(events, options.ExportPath, options.ExportEncoding);
  } else if (options.Export == TExportKind::Tests) {
    TTestTable tests;
    const std::error_code ec = tests.Load(recordDir, options.ExportAddress);
    if (ec && ec != std::errc::no_such_file_or_directory) return cannotRead(recordDir + TestLogName, ec);
    result = ExportCsv(tests, options.ExportPath, options.ExportEncoding);
  } else {
    // A month is some hundred megabytes of text: it is read, converted and
    // written a block at a time, so the export never holds the month.
    const TRecFilter filter{.Year = options.ExportYear, .Month = options.ExportMonth, .Day = options.ExportDay,
                            .Address = options.ExportAddress};
    TDataTable data(language, LocaleDecimalPoint());
    result = ExportCsvInBlocks(
        data,
        [&](const std::function<bool()>& block) {
          const std::error_code ec = data.LoadInBlocks(recordDir, filter, block);
          return ec == std::errc::no_such_file_or_directory ? std::error_code() : ec;
        },
        options.ExportPath, options.ExportEncoding);
    if (result.Stage == TExportStage::Read) return cannotRead(filter.FileName(recordDir), result.Error);
  }
  if (result.Status != TExportStatus::Done) {
    std::fprintf(stderr, "tessaro: %s\n", DescribeExportFailure(result, options.ExportPath, language).c_str());
    return 1;
  }
  // The title row and the empty rows below the records are not rows.
  std::printf("%llu rows written to %s\n", static_cast<unsigned long long>(result.Rows), options.ExportPath.c_str());
  return 0;
}

}  // namespace tessaro
