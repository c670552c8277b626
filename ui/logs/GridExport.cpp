#include "ui/logs/GridExport.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QTimer>

#include <atomic>
#include <thread>

#include "ui/logs/FrmProgress.h"
#include "ui/logs/LogTableModel.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

QString CsvFilterGbk() { return QStringLiteral(".csv, GBK (*.csv)"); }
QString CsvFilterUtf8() { return QStringLiteral(".csv, UTF-8 (*.csv)"); }

void ExportGridToCsv(QWidget* parent, std::shared_ptr<const TLogTable> table, int language, TfrmProgress& progress) {
  QFileDialog dialog(parent, LangPick(language, "汇出", "Export"));
  dialog.setObjectName(QStringLiteral("dlgExport"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The name is completed and replaced as the log files always were.
  dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilters({CsvFilterGbk(), CsvFilterUtf8()});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string path = CsvFileName(dialog.selectedFiles().front().toStdString());
  const TCsvEncoding encoding =
      dialog.selectedNameFilter() == CsvFilterUtf8() ? TCsvEncoding::Utf8Bom : TCsvEncoding::Gbk;
  WriteGridCsv(parent, std::move(table), path, encoding, language, progress);
}

TExportResult WriteGridCsv(QWidget* parent, std::shared_ptr<const TLogTable> table, const std::string& path,
                           TCsvEncoding encoding, int language, TfrmProgress& progress) {
  const int64_t total = static_cast<int64_t>(table->GridRows());
  progress.Begin();
  progress.ShowProgress(0, total, language);

  std::atomic<int64_t> done{0};
  std::atomic<bool> finished{false};
  TExportResult result;
  std::thread worker([&] {
    result = ExportCsv(*table, path, encoding, [&](uint64_t lines, uint64_t) {
      done = static_cast<int64_t>(lines);
      return !progress.CancelRequested();
    });
    finished = true;
  });
  // The window keeps drawing and Cancel keeps working while the lines are written.
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(50);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    progress.ShowProgress(done.load(), total, language);
    if (finished) loop.quit();
  });
  poll.start();
  loop.exec();
  worker.join();
  if (result.Status == TExportStatus::Done) progress.ShowProgress(total, total, language);
  progress.hide();
  if (result.Status == TExportStatus::Failed) ShowMessage(parent, QString::fromStdString(DescribeExportFailure(result, path, language)));
  return result;
}

}  // namespace tessaro
