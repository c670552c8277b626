#include "ui/logs/FrmEventLog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTableView>
#include <QVBoxLayout>

#include <system_error>

#include "engine/Context.h"
#include "ui/logs/FrmProgress.h"
#include "ui/logs/GridExport.h"
#include "ui/logs/LogTableModel.h"
#include "ui/logs/ViewerParts.h"
#include "ui/widgets/MsgBox.h"
#include "ui/widgets/GroupTitles.h"

namespace tessaro {

TFrmEventLog::TFrmEventLog(TContext& context, TfrmProgress& progress, QWidget* mainWindow)
    : QWidget(mainWindow, Qt::Window), FCtx(context), FProgress(progress) {
  setObjectName(QStringLiteral("FrmEventLog"));
  auto* top = new QHBoxLayout;
  rdViewMode = new QGroupBox(this);
  rdViewMode->setObjectName(QStringLiteral("rdViewMode"));
  auto* modes = new QHBoxLayout(rdViewMode);
  ViewModes = new QButtonGroup(this);
  for (int i = 0; i < 4; ++i) {
    rbMode[i] = new QRadioButton(rdViewMode);
    ViewModes->addButton(rbMode[i], i);
    modes->addWidget(rbMode[i]);
  }
  rbMode[ModeMonth]->setChecked(true);
  top->addWidget(rdViewMode);
  FFields = BuildFilterFields(this, "spedtYear", "spedtMonth", "spedtDate");
  spedtYear = FFields.Year;
  spedtMonth = FFields.Month;
  spedtDate = FFields.Day;
  CheckBox1 = FFields.CheckBox1;
  SpinAddr = FFields.SpinAddr;
  top->addLayout(FFields.Layout);
  auto* buttons = new QGridLayout;
  btnSearch = MakeButton(this, "btnSearch");
  bsSkinButton1 = MakeButton(this, "bsSkinButton1");
  bsSkinButton2 = MakeButton(this, "bsSkinButton2");
  btnClear = MakeButton(this, "btnClear");
  buttons->addWidget(btnSearch, 0, 0);
  buttons->addWidget(bsSkinButton1, 0, 1);
  buttons->addWidget(bsSkinButton2, 1, 0);
  buttons->addWidget(btnClear, 1, 1);
  top->addLayout(buttons);
  top->addStretch(1);

  FModel = new TLogTableModel(this);
  grdEvntRec = BuildGrid(this, "grdEvntRec", FModel);
  grdEvntRec->setSelectionBehavior(QAbstractItemView::SelectRows);
  grdEvntRec->setSelectionMode(QAbstractItemView::SingleSelection);
  edt1 = BuildSortStateLine(this);

  auto* box = new QVBoxLayout(this);
  box->addLayout(top);
  box->addWidget(grdEvntRec, 1);
  box->addWidget(edt1);
  resize(800, 560);

  connect(ViewModes, &QButtonGroup::idClicked, this, [this](int) { rdViewModeClick(); });
  connect(btnSearch, &QPushButton::clicked, this, &TFrmEventLog::btnSearchClick);
  connect(bsSkinButton1, &QPushButton::clicked, this, &TFrmEventLog::bsSkinButton1Click);
  connect(bsSkinButton2, &QPushButton::clicked, this, &TFrmEventLog::bsSkinButton2Click);
  connect(btnClear, &QPushButton::clicked, this, &TFrmEventLog::btnClearClick);
  connect(grdEvntRec->horizontalHeader(), &QHeaderView::sectionPressed, this, &TFrmEventLog::HeaderPressed);
  connect(grdEvntRec, &QTableView::pressed, this, [this](const QModelIndex& i) { CellPressed(i.row()); });
  rdViewModeClick();
  ShowTable(std::make_shared<TEventTable>(Language()));

  Timer1.setInterval(2000);
  connect(&Timer1, &QTimer::timeout, this, &TFrmEventLog::Timer1Timer);
  Timer1.start();
}

int TFrmEventLog::Language() const { return FCtx.Settings.Language; }

void TFrmEventLog::SetTexts() {
  const int l = Language();
  setWindowTitle(LangPick(l, "事件日志", "Event Log"));
  rdViewMode->setTitle(LangPick(l, "查询时间范围", "Search Type"));
  const char* zh[] = {"全部", "按年", "按月", "按日"};
  const char* en[] = {"All", "Year", "Month", "Date"};
  for (int i = 0; i < 4; ++i) rbMode[i]->setText(LangPick(l, zh[i], en[i]));
  FFields.SetTexts(l);
  btnSearch->setText(LangPick(l, "查询", "Search"));
  bsSkinButton1->setText(LangPick(l, "刷新", "Refresh"));
  bsSkinButton2->setText(LangPick(l, "汇出", "Export"));
  btnClear->setText(LangPick(l, "清空数据库", "Clear Database"));
  FitGroupTitles(this);
}

void TFrmEventLog::rdViewModeClick() {
  const int mode = ViewModes->checkedId();
  spedtYear->setEnabled(mode >= ModeYear);
  spedtMonth->setEnabled(mode >= ModeMonth);
  spedtDate->setEnabled(mode >= ModeDate);
}

void TFrmEventLog::showEvent(QShowEvent* event) {
  // A window restored from the task bar keeps its filter and grid.
  if (event->spontaneous()) return QWidget::showEvent(event);
  SetTexts();
  FFields.SetToday(FCtx.Clock.Now());
  LoadEvents();
  QWidget::showEvent(event);
}

void TFrmEventLog::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::LanguageChange) return;
  // An open viewer follows a language switch at once, its rows included;
  // an export in progress reads the rows, so they change at the next load.
  SetTexts();
  if (!FExporting && FTable && FTable->Language() != Language()) LoadEvents();
}

void TFrmEventLog::ShowTable(std::shared_ptr<TEventTable> table) {
  FTable = std::move(table);
  FModel->SetTable(FTable);
  static constexpr int widths[] = {67, 148, 101, 448};
  FitColumns(grdEvntRec, widths);
}

void TFrmEventLog::LoadEvents() {
  const int mode = ViewModes->checkedId();
  TEventFilter filter;
  if (mode >= ModeYear) filter.Year = static_cast<uint16_t>(spedtYear->value());
  if (mode >= ModeMonth) filter.Month = static_cast<uint16_t>(spedtMonth->value());
  if (mode >= ModeDate) filter.Day = static_cast<uint16_t>(spedtDate->value());
  if (CheckBox1->isChecked()) filter.Address = static_cast<uint16_t>(SpinAddr->value());

  auto table = std::make_shared<TEventTable>(Language());
  if (!FCtx.EventLogger) {
    ShowTable(table);
    return;
  }
  try {
    FCtx.EventLogger->RecordCount();  // makes an empty log when there is none
  } catch (const std::system_error&) {
    // A log that cannot be made cannot be read either: the grid stays empty.
  }
  if (table->Load(FCtx.EventLogger->FullPath, filter)) {
    ShowTable(table);
    return;
  }
  ShowTable(table);
  SortGrid();
  if (FSelRow > 0) {
    const int last = FModel->rowCount();
    FSelRow = std::min(FSelRow, last);
    const QModelIndex index = FModel->index(FSelRow - 1, 0);
    grdEvntRec->selectRow(index.row());
    grdEvntRec->scrollTo(index);
  }
}

void TFrmEventLog::SortGrid() {
  SortAndShow(FTable.get(), FModel, grdEvntRec, edt1, FCtx.Display.DebugShow, FSortCol, FSortDir);
}

void TFrmEventLog::HeaderPressed(int column) {
  if (!SortingButton()) return;
  PressSortColumn(FSortCol, FSortDir, column);
  SortGrid();
}

void TFrmEventLog::CellPressed(int row) {
  if (!SortingButton()) return;
  FSelRow = row + 1;
  SortGrid();
}

void TFrmEventLog::Timer1Timer() {
  // An export in progress reads the grid: the reload waits for the next tick.
  if (FExporting || !FCtx.EventLogger || FCtx.EventLogger->Changed == 0) return;
  FCtx.EventLogger->Changed = 0;
  FSelRow = 1;
  FSortDir = 0;
  LoadEvents();
}

void TFrmEventLog::btnClearClick() {
  const int l = Language();
  if (!AskWarningYesNo(this, LangPick(l, "请确定", "Confirm"),
                       LangPick(l, "是否清除掉所有的事件记录？", "Are you sure Delete all records ? ")))
    return;
  if (FCtx.EventLogger) {
    try {
      if (!FCtx.EventLogger->ClearWithBackup())
        ShowMessage(this, QString::fromStdString(FCtx.EventLogger->LastError()));
    } catch (const std::system_error& e) {
      ShowMessage(this, QString::fromLocal8Bit(e.what()));
    }
  }
  ShowTable(std::make_shared<TEventTable>(l));
}

void TFrmEventLog::bsSkinButton2Click() {
  // The grid is read by the export's thread: nothing may sort or reload it.
  QWidget* const locked[] = {grdEvntRec, btnSearch, bsSkinButton1, bsSkinButton2, btnClear};
  FExporting = true;
  for (QWidget* w : locked) w->setEnabled(false);
  ExportGridToCsv(this, FTable, Language(), FProgress);
  for (QWidget* w : locked) w->setEnabled(true);
  FExporting = false;
}

}  // namespace tessaro
