#include "app/Export.h"

#include <signal.h>

#include <clocale>
#include <cstdio>

#include "core/UserParaIni.h"
#include "query/CsvExport.h"
#include "query/DataTable.h"
#include "query/EventTable.h"

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

  TEventTable events(language);
  TDataTable data(language, LocaleDecimalPoint());
  TLogTable* table = nullptr;
  std::string source;
  std::error_code ec;
  if (options.Export == TExportKind::Events) {
    source = recordDir + "EventLog.dat";
    ec = LoadEventGrid(events, recordDir,
                       {.Year = options.ExportYear, .Month = options.ExportMonth, .Day = options.ExportDay,
                        .Address = options.ExportAddress});
    table = &events;
  } else {
    const TRecFilter filter{.Year = options.ExportYear, .Month = options.ExportMonth, .Day = options.ExportDay,
                            .Address = options.ExportAddress};
    source = filter.FileName(recordDir);
    ec = data.Load(recordDir, filter);
    table = &data;
  }
  // No log yet is an empty grid, as the viewer shows it; anything else that
  // stops the read is a failure.
  if (ec && ec != std::errc::no_such_file_or_directory) {
    const std::string why =
        ec == std::errc::invalid_argument ? "not a plain file (a FIFO, a device or a directory)" : ec.message();
    std::fprintf(stderr, "tessaro: cannot read %s: %s\n", source.c_str(), why.c_str());
    return 1;
  }
  const TExportResult result = ExportCsv(*table, options.ExportPath, options.ExportEncoding);
  if (result.Status != TExportStatus::Done) {
    std::fprintf(stderr, "tessaro: %s\n", DescribeExportFailure(result, options.ExportPath, language).c_str());
    return 1;
  }
  std::printf("%zu rows written to %s\n", table->RowCount(), options.ExportPath.c_str());
  return 0;
}

}  // namespace tessaro
