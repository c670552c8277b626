// The log windows opened from a real main window: the event log viewer, the
// data log viewer with its month deletion, the data log settings and the CSV
// export through the save dialog and the progress window.
#include <QtTest>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableView>

#include <unistd.h>

#include <functional>

#include "MainFixture.h"
#include "core/Catalogue.h"
#include "logs/DataLog.h"
#include "ui/logs/FrmDataLog.h"
#include "ui/logs/FrmDataLogSet.h"
#include "ui/logs/FrmDelDataRec.h"
#include "ui/logs/FrmEventLog.h"
#include "ui/logs/FrmProgress.h"
#include "ui/logs/GridExport.h"
#include "ui/logs/LogMenu.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

// 2023-03-15 12:00, the fixture's clock.
TDateTime Day(int month, int day, int hour = 12) {
  return EncodeDateTime({.Year = 2023, .Month = month, .Day = day, .Hour = hour});
}

QString CellText(QTableView* grid, int row, int column) {
  return grid->model()->index(row, column).data().toString();
}

QStringList ColumnTexts(QTableView* grid, int column, int rows) {
  QStringList out;
  for (int r = 0; r < rows; ++r) out << CellText(grid, r, column);
  return out;
}

void PressHeader(QTableView* grid, int column, Qt::MouseButton button = Qt::LeftButton) {
  QHeaderView* h = grid->horizontalHeader();
  const QPoint at(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
  QTest::mousePress(h->viewport(), button, {}, at);
  QTest::mouseRelease(h->viewport(), button, {}, at);
}

void PressCell(QTableView* grid, int row, int column) {
  const QRect r = grid->visualRect(grid->model()->index(row, column));
  QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, r.center());
  QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, r.center());
}

void WriteMonth(const std::string& recordDir, int month, const std::vector<DataRecord>& records) {
  std::ofstream out(DataLogFileName(recordDir, 2023, month), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size() * 128));
}

DataRecord Rec(TDateTime time, uint8_t address, double inVoltA) {
  DataRecord r{};
  r.Time = time;
  r.Address = address;
  r.Measure.InputVoltA = inVoltA;
  return r;
}

// Answers the next save dialog with a file name and one of its filters.
class TSaveAnswerer : public QObject {
 public:
  TSaveAnswerer(QString path, QString filter) : FPath(std::move(path)), FFilter(std::move(filter)) {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        if (dialog && dialog->isVisible()) {
          dialog->selectNameFilter(FFilter);
          dialog->selectFile(FPath);
          static_cast<QDialog*>(dialog)->accept();  // public there
          FTimer.stop();
          return;
        }
      }
    });
    FTimer.start();
  }

 private:
  QString FPath, FFilter;
  QTimer FTimer;
};

// Rows enough that an export is still running when Cancel is pressed.
class TEndlessTable final : public TLogTable {
 public:
  int ColumnCount() const override { return 1; }
  std::string Title(int) const override { return "n"; }
  size_t RowCount() const override { return size_t{1} << 32; }
  void AppendCell(size_t row, int, std::string& out) const override { out += std::to_string(row); }
  size_t MinGridRows() const override { return 3; }
  void Sort(int, bool) override {}
};

}  // namespace

class TstLogViewers : public QObject {
  Q_OBJECT

 private slots:
  void eventViewerOpensOnceAndListsTheMonthNewestFirst() {
    TMainFixture f({{1, "a"}});
    TEventLog& log = *f.Context->EventLogger;
    f.Clock.Set(Day(2, 28));
    log.LogProgramEvent(0);  // last month: filtered out
    f.Clock.Set(Day(3, 1));
    log.LogProgramEvent(0);
    f.Clock.Set(Day(3, 2));
    log.LogAlarmEvent(1, 25, true);
    f.Clock.Set(Day(3, 15));
    log.LogAlarmEvent(1, 25, false);
    f.Main->mni201Click();
    TFrmEventLog* viewer = f.Main->LogMenu->EventLog();
    QVERIFY(viewer && viewer->isVisible());
    Child<QAction>(*f.Main, "bsSkinSpeedButton4")->trigger();
    QCOMPARE(f.Main->LogMenu->EventLog(), viewer);
    QCOMPARE(viewer->windowTitle(), QStringLiteral("Event Log"));
    QVERIFY(viewer->rbMode[TFrmEventLog::ModeMonth]->isChecked());
    QTableView* grid = viewer->grdEvntRec;
    QCOMPARE(grid->model()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Event"));
    QCOMPARE(ColumnTexts(grid, 0, 4), (QStringList{"1", "2", "3", ""}));
    QCOMPARE(ColumnTexts(grid, 3, 3), (QStringList{"Recover from: Mains volt. abnormal", "Mains volt. abnormal",
                                                   "Monitor software is open"}));
    QCOMPARE(CellText(grid, 2, 2), QString());
    QCOMPARE(grid->columnWidth(3), 448);
  }

  void eventViewerModesEnableTheirDateFields_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("year");
    QTest::addColumn<bool>("month");
    QTest::addColumn<bool>("day");
    QTest::newRow("all") << 0 << false << false << false;
    QTest::newRow("year") << 1 << true << false << false;
    QTest::newRow("month") << 2 << true << true << false;
    QTest::newRow("date") << 3 << true << true << true;
  }
  void eventViewerModesEnableTheirDateFields() {
    QFETCH(int, mode);
    TMainFixture f({{1, "a"}}, 1);
    f.Main->mni201Click();
    TFrmEventLog* v = f.Main->LogMenu->EventLog();
    QCOMPARE(v->windowTitle(), QStringLiteral("事件日志"));
    QCOMPARE(v->btnClear->text(), QStringLiteral("清空数据库"));
    v->rbMode[mode]->click();
    QTEST(v->spedtYear->isEnabled(), "year");
    QTEST(v->spedtMonth->isEnabled(), "month");
    QTEST(v->spedtDate->isEnabled(), "day");
    QVERIFY(!v->SpinAddr->isEnabled());
    v->CheckBox1->click();
    QVERIFY(v->SpinAddr->isEnabled());
  }

  void eventViewerSortsOnTitlesAndRefreshesOnNewEvents() {
    TMainFixture f({{1, "a"}});
    TEventLog& log = *f.Context->EventLogger;
    for (int d = 1; d <= 3; ++d) {
      f.Clock.Set(Day(3, d));
      log.LogProgramEvent(0);
    }
    f.Main->mni201Click();
    TFrmEventLog* v = f.Main->LogMenu->EventLog();
    QVERIFY(QTest::qWaitForWindowExposed(v));
    QTableView* grid = v->grdEvntRec;
    PressHeader(grid, 1);
    QCOMPARE(v->SortCol(), uint8_t{1});
    QCOMPARE(v->SortDir(), uint8_t{0});
    QCOMPARE(CellText(grid, 0, 1), QStringLiteral("2023-03-01 12:00:00"));
    PressHeader(grid, 1);
    QCOMPARE(v->SortDir(), uint8_t{1});
    QCOMPARE(CellText(grid, 0, 1), QStringLiteral("2023-03-03 12:00:00"));
    PressHeader(grid, 2, Qt::RightButton);
    QCOMPARE(v->SortCol(), uint8_t{1});
    // Refresh sorts again without reading the file.
    f.Clock.Set(Day(3, 4));
    log.LogProgramEvent(1);
    v->bsSkinButton1->click();
    QCOMPARE(v->Table()->RowCount(), size_t{3});
    // The timer finds the new record: time ascending again, row 1 selected.
    v->Timer1Timer();
    QCOMPARE(log.Changed, uint8_t{0});
    QCOMPARE(v->SortDir(), uint8_t{0});
    QCOMPARE(v->SelRow(), 1);
    QCOMPARE(v->Table()->RowCount(), size_t{4});
    QCOMPARE(CellText(grid, 3, 3), QStringLiteral("Monitor software is closed"));
    QCOMPARE(grid->selectionModel()->selectedRows().value(0).row(), 0);
  }

  void sortArrowShowsTheRowOrderAfterEveryClick() {
    TMainFixture f({{1, "a"}});
    WriteMonth(f.Context->RecordDir, 3, {Rec(Day(3, 2), 3, 230), Rec(Day(3, 3), 1, 210)});
    f.Context->EventLogger->LogProgramEvent(0);
    f.Main->mni201Click();
    TFrmEventLog* events = f.Main->LogMenu->EventLog();
    QVERIFY(QTest::qWaitForWindowExposed(events));
    TFrmDataLog data(*f.Context, *f.Engine, *f.Main->LogMenu->Progress(), f.Main.get());
    data.show();
    QVERIFY(QTest::qWaitForWindowExposed(&data));
    QTRY_COMPARE(data.Table()->RowCount(), size_t{2});
    QCOMPARE(data.grdRecData->horizontalHeader()->sortIndicatorSection(), -1);  // file order after a load
    struct TViewer {
      QTableView* Grid;
      std::function<std::pair<int, int>()> State;  // sort column, direction
    };
    const TViewer viewers[] = {
        {events->grdEvntRec, [events] { return std::pair<int, int>(events->SortCol(), events->SortDir()); }},
        {data.grdRecData, [&data] { return std::pair<int, int>(data.SortCol(), data.SortDir()); }},
    };
    for (const TViewer& v : viewers) {
      QHeaderView* h = v.Grid->horizontalHeader();
      for (int column : {1, 1, 2, 2, 2, 0}) {
        PressHeader(v.Grid, column);
        const auto [col, dir] = v.State();
        QCOMPARE(col, column);
        QCOMPARE(h->sortIndicatorSection(), col);
        QCOMPARE(h->sortIndicatorOrder(), dir == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
      }
      PressHeader(v.Grid, 1, Qt::RightButton);  // sorts nothing, turns nothing
      QCOMPARE(h->sortIndicatorSection(), 0);
    }
  }

  void openEventViewerFollowsALanguageSwitch() {
    TMainFixture f({{1, "a"}});
    f.Context->EventLogger->LogProgramEvent(0);
    f.Main->mni201Click();
    TFrmEventLog* v = f.Main->LogMenu->EventLog();
    QVERIFY(QTest::qWaitForWindowExposed(v));
    PressHeader(v->grdEvntRec, 1);
    QCOMPARE(CellText(v->grdEvntRec, 0, 3), QStringLiteral("Monitor software is open"));
    Child<QAction>(*f.Main, "mni401")->trigger();  // 中文, with the viewer open
    QTRY_COMPARE(v->windowTitle(), QStringLiteral("事件日志"));
    QCOMPARE(v->btnClear->text(), QStringLiteral("清空数据库"));
    QCOMPARE(v->grdEvntRec->model()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("事件"));
    QCOMPARE(CellText(v->grdEvntRec, 0, 3), QStringLiteral("监控软件开启"));
    QCOMPARE(v->SortCol(), uint8_t{1});  // the operator's order stays
    Child<QAction>(*f.Main, "mni402")->trigger();
    QTRY_COMPARE(v->windowTitle(), QStringLiteral("Event Log"));
  }

  void eventViewerClearsOnlyAfterYesAndKeepsABackup() {
    TMainFixture f({{1, "a"}});
    f.Clock.Set(Day(3, 1));
    f.Context->EventLogger->LogProgramEvent(0);
    f.Main->mni201Click();
    TFrmEventLog* v = f.Main->LogMenu->EventLog();
    {
      TBoxAnswerer no(QMessageBox::No);
      v->btnClear->click();
      QCOMPARE(no.Texts, QStringList{"Are you sure Delete all records ? "});
    }
    QCOMPARE(v->Table()->RowCount(), size_t{1});
    TBoxAnswerer yes(QMessageBox::Yes);
    v->btnClear->click();
    QCOMPARE(v->Table()->RowCount(), size_t{0});
    QCOMPARE(v->grdEvntRec->model()->rowCount(), 2);
    QVERIFY(std::filesystem::exists(f.Context->BackupDir + "EventLog1.dat"));
    QCOMPARE(std::filesystem::file_size(f.Context->EventLogger->FullPath), uintmax_t{0});
  }

  void dataViewerFiltersByDayAndDeviceInFileOrder() {
    TMainFixture f({{1, "a"}});
    WriteMonth(f.Context->RecordDir, 3, {Rec(Day(3, 2), 3, 230), Rec(Day(3, 2, 13), 1, 231),
                                         Rec(Day(3, 3), 3, 229), Rec(Day(3, 4), 1, 228)});
    TFrmDataLog viewer(*f.Context, *f.Engine, *f.Main->LogMenu->Progress(), f.Main.get());
    viewer.show();
    QTRY_COMPARE(viewer.Table()->RowCount(), size_t{4});
    QCOMPARE(viewer.windowTitle(), QStringLiteral("Data Log"));
    QTableView* grid = viewer.grdRecData;
    QCOMPARE(grid->model()->columnCount(), 15);
    QCOMPARE(grid->model()->rowCount(), 19);
    QVERIFY(grid->columnWidth(0) >= 130);
    viewer.CheckBox1->click();
    viewer.SpinAddr->setValue(3);
    viewer.btnSearch->click();
    QCOMPARE(ColumnTexts(grid, 2, 3), (QStringList{"230.0", "229.0", ""}));
    QVERIFY(!viewer.spedtDateD->isEnabled());
    viewer.rbDate->click();
    QVERIFY(viewer.spedtDateD->isEnabled());
    viewer.spedtDateD->setValue(5);
    viewer.btnRefresh->click();
    QCOMPARE(viewer.Table()->RowCount(), size_t{0});
    QCOMPARE(grid->model()->rowCount(), 19);
  }

  void dataViewerColumnsFitTitlesAndValues_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("English") << 0;
    QTest::newRow("Chinese") << 1;
  }
  void dataViewerColumnsFitTitlesAndValues() {
    QFETCH(int, language);
    TMainFixture f({{1, "a"}}, language);
    DataRecord wide = Rec(Day(3, 2), 252, 1234.5);
    wide.Measure.OutputFreq = 50.05;
    wide.Measure.LoadB = 150;
    wide.Measure.BattBackupTime = 9999;
    WriteMonth(f.Context->RecordDir, 3, {wide});
    TFrmDataLog viewer(*f.Context, *f.Engine, *f.Main->LogMenu->Progress(), f.Main.get());
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    QTRY_COMPARE(viewer.Table()->RowCount(), size_t{1});
    QTableView* grid = viewer.grdRecData;
    QHeaderView* h = grid->horizontalHeader();
    const QFontMetrics fm(grid->font());
    for (int c = 0; c < 15; ++c) {
      const int width = grid->columnWidth(c);
      const QString title = grid->model()->headerData(c, Qt::Horizontal).toString();
      QVERIFY2(width >= (c == 0 ? 130 : 60), qPrintable(title));
      QVERIFY2(width >= h->sectionSizeHint(c), qPrintable(title));  // the title with the sort arrow
      QVERIFY2(width > fm.horizontalAdvance(CellText(grid, 0, c)), qPrintable(title));
    }
  }

  void dataViewerSortsOnPressesInDataCells() {
    TMainFixture f({{1, "a"}});
    WriteMonth(f.Context->RecordDir, 3, {Rec(Day(3, 2), 3, 230), Rec(Day(3, 3), 1, 210), Rec(Day(3, 4), 2, 250)});
    TFrmDataLog viewer(*f.Context, *f.Engine, *f.Main->LogMenu->Progress(), f.Main.get());
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    QTRY_COMPARE(viewer.Table()->RowCount(), size_t{3});
    PressCell(viewer.grdRecData, 1, 2);
    QCOMPARE(ColumnTexts(viewer.grdRecData, 1, 3), (QStringList{"1", "3", "2"}));
    PressCell(viewer.grdRecData, 1, 2);
    QCOMPARE(ColumnTexts(viewer.grdRecData, 1, 3), (QStringList{"2", "3", "1"}));
    QCOMPARE(viewer.SortDir(), uint8_t{1});
  }

  void monthDeletionListsDataLogsOnlyAndDeletesAfterYes() {
    TMainFixture f({{1, "a"}});
    const std::string rec = f.Context->RecordDir;
    f.Context->EventLogger->RecordCount();
    WriteMonth(rec, 2, {Rec(Day(2, 2), 1, 230)});
    WriteMonth(rec, 3, {Rec(Day(3, 2), 1, 230)});
    TFrmDataLog viewer(*f.Context, *f.Engine, *f.Main->LogMenu->Progress(), f.Main.get());
    viewer.show();
    QTRY_COMPARE(viewer.Table()->RowCount(), size_t{1});
    const std::filesystem::path cwd = std::filesystem::current_path();
    TFrmDelDataRec dialog(rec, 0, [&viewer] { viewer.LoadDataRecords(); }, &viewer);
    QStringList names;
    for (int i = 0; i < dialog.ListBox1->count(); ++i) names << dialog.ListBox1->item(i)->text();
    names.sort();
    QCOMPARE(names, (QStringList{"DataLog2023_02", "DataLog2023_03"}));
    {
      TBoxAnswerer no(QMessageBox::No);
      dialog.btnDelete->click();  // nothing chosen: nothing asked, nothing deleted
      QCOMPARE(no.Texts, QStringList{});
    }
    dialog.ListBox1->setCurrentItem(dialog.ListBox1->findItems("DataLog2023_03", Qt::MatchExactly).value(0));
    {
      TBoxAnswerer no(QMessageBox::No);
      dialog.btnDelete->click();
      QCOMPARE(no.Texts, QStringList{"Are you sure delete the data log of 2023-03 (DataLog2023_03) ?"});
    }
    QCOMPARE(TFrmDelDataRec::Question(1, "DataLog2023_03"), QStringLiteral("你确定要删除 2023 年 3 月的数据日志 (DataLog2023_03)? "));
    QCOMPARE(TFrmDelDataRec::Question(0, "DataLogX"), QStringLiteral("Are you sure delete DataLogX ?"));
    QCOMPARE(dialog.ListBox1->count(), 2);
    TBoxAnswerer yes(QMessageBox::Yes);
    dialog.btnDelete->click();
    QCOMPARE(dialog.ListBox1->count(), 1);
    QVERIFY(!std::filesystem::exists(DataLogFileName(rec, 2023, 3)));
    QCOMPARE(viewer.Table()->RowCount(), size_t{0});
    QCOMPARE(std::filesystem::current_path(), cwd);
  }

  void logSettingsKeepTheIntervalInRange_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<int>("shown");
    QTest::addColumn<bool>("tick");
    QTest::addColumn<int>("saved");
    QTest::newRow("50 shows the minimum") << 50 << true << 10 << true << 100;
    QTest::newRow("600") << 600 << true << 60 << true << 600;
    QTest::newRow("off shows 300") << 0 << false << 300 << false << 0;
    QTest::newRow("switched off") << 600 << true << 60 << false << 0;
    QTest::newRow("switched on") << 0 << false << 300 << true << 3000;
  }
  void logSettingsKeepTheIntervalInRange() {
    QFETCH(int, stored);
    QFETCH(bool, tick);
    TMainFixture f({{1, "a"}});
    f.Context->Settings.RecInterval = stored;
    f.Engine->RecDelay = 77;
    TFrmDataLogSet dialog(f.Context->Settings, *f.Engine, f.Main.get());
    QTEST(dialog.ckbRecord->isChecked(), "ticked");
    QTEST(dialog.grpInterval->isEnabled(), "ticked");
    QTEST(dialog.spedtInterval->value(), "shown");
    dialog.btnCancel->click();
    QCOMPARE(f.Context->Settings.RecInterval, stored);
    QCOMPARE(f.Engine->RecDelay, 77);
    dialog.ckbRecord->setChecked(tick);
    QCOMPARE(dialog.grpInterval->isEnabled(), tick);
    dialog.btnOK->click();
    QTEST(f.Context->Settings.RecInterval, "saved");
    QCOMPARE(f.Engine->RecDelay, 0);
  }

  void exportAsksForANameAndWritesTheGrid() {
    TMainFixture f({{1, "a"}});
    f.Main->mni201Click();
    TFrmEventLog* v = f.Main->LogMenu->EventLog();
    const QString base = f.Dir.path() + "/report";
    {
      TSaveAnswerer answer(base, CsvFilterUtf8());
      v->bsSkinButton2->click();
    }
    QFile utf8(base + ".csv");
    QVERIFY(utf8.open(QIODevice::ReadOnly));
    QCOMPARE(utf8.readAll(), QByteArray("\xEF\xBB\xBFIndex,Time,Address,Event,\r\n,,,,\r\n,,,,\r\n"));
    QVERIFY(!f.Main->LogMenu->Progress()->isVisible());
    QVERIFY(v->grdEvntRec->isEnabled());
    {
      TSaveAnswerer answer(base + ".csv.bak", CsvFilterGbk());
      v->bsSkinButton2->click();
    }
    QVERIFY(QFile::exists(base + ".csv.bak"));
  }

  void cancelInTheProgressWindowStopsTheExportAndLeavesNoFile() {
    TMainFixture f({{1, "a"}});
    TfrmProgress& progress = *f.Main->LogMenu->Progress();
    const QString path = f.Dir.path() + "/big.csv";
    QTimer::singleShot(0, progress.btnCancel, &QPushButton::click);
    const TExportResult r = WriteGridCsv(f.Main.get(), std::make_shared<TEndlessTable>(), path.toStdString(),
                                         TCsvEncoding::Gbk, 0, progress);
    QCOMPARE(r.Status, TExportStatus::Cancelled);
    QVERIFY(!progress.isVisible());
    QCOMPARE(QDir(f.Dir.path()).entryList({"*.csv*", ".big*"}, QDir::Files | QDir::Hidden), QStringList{});
  }

  void failedExportClosesTheProgressWindowAndSaysWhy() {
    TMainFixture f({{1, "a"}});
    TfrmProgress& progress = *f.Main->LogMenu->Progress();
    auto table = std::make_shared<TEventTable>(0);
    TBoxAnswerer ok(QMessageBox::Ok);
    const TExportResult r = WriteGridCsv(f.Main.get(), table, "/dev/full", TCsvEncoding::Gbk, 0, progress);
    QCOMPARE(r.Status, TExportStatus::Failed);
    QVERIFY(!progress.isVisible());
    QCOMPARE(ok.Texts.size(), 1);
    QVERIFY2(ok.Texts[0].contains("/dev/full: it is not a regular file"), qPrintable(ok.Texts[0]));
    progress.ShowProgress(7, 5, 1);
    QCOMPARE(progress.edtCount->text(), QStringLiteral("5"));
    QCOMPARE(progress.lblText->text(), QStringLiteral("正在汇出......"));
    progress.hide();
  }
};

QTEST_MAIN(TstLogViewers)
#include "tst_logviewers.moc"
