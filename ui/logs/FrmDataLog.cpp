#include "ui/logs/FrmDataLog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QShowEvent>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <thread>

#include "engine/Context.h"
#include "ui/logs/FrmDataLogSet.h"
#include "ui/logs/FrmDelDataRec.h"
#include "ui/logs/GridExport.h"
#include "ui/logs/LogTableModel.h"
#include "ui/logs/ViewerParts.h"
#include "ui/widgets/GroupTitles.h"

namespace tessaro {

namespace {
// The system's decimal separator when it is one ASCII character.
char DecimalPoint() {
  const QString point = QLocale::system().decimalPoint();
  return point.size() == 1 && point.at(0).unicode() < 0x80 ? static_cast<char>(point.at(0).unicode()) : '.';
}
// The time column at least 130 pixels, the others 60, and each wide enough
// for its title and a value of the usual width.
constexpr int LeastWidths[TDataTable::Columns] = {130, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60};
constexpr const char* WidestValues[TDataTable::Columns] = {
    "2000-00-00 00:00:00", "000", "000.0", "000.0", "000.0", "000.0", "000.0", "000.0",
    "000", "000", "000", "00.0", "000.0", "000", "0000"};
}  // namespace

TFrmDataLog::TFrmDataLog(TContext& context, TPollEngine& engine, TfrmProgress& progress, QWidget* parent)
    : QDialog(parent), FCtx(context), FEngine(engine), FProgress(progress) {
  setObjectName(QStringLiteral("FrmDataLog"));
  auto* top = new QHBoxLayout;
  rdDataViewMode = new QGroupBox(this);
  auto* modes = new QVBoxLayout(rdDataViewMode);
  ViewModes = new QButtonGroup(this);
  rbMonth = new QRadioButton(rdDataViewMode);
  rbDate = new QRadioButton(rdDataViewMode);
  ViewModes->addButton(rbMonth, ModeMonth);
  ViewModes->addButton(rbDate, ModeDate);
  modes->addWidget(rbMonth);
  modes->addWidget(rbDate);
  rbMonth->setChecked(true);
  top->addWidget(rdDataViewMode);
  FFields = BuildFilterFields(this, "spedtYearD", "spedtMonthD", "spedtDateD");
  spedtYearD = FFields.Year;
  spedtMonthD = FFields.Month;
  spedtDateD = FFields.Day;
  CheckBox1 = FFields.CheckBox1;
  SpinAddr = FFields.SpinAddr;
  top->addLayout(FFields.Layout);
  auto* buttons = new QGridLayout;
  btnSearch = MakeButton(this, "btnSearch");
  btnRefresh = MakeButton(this, "btnRefresh");
  bsSkinButton2 = MakeButton(this, "bsSkinButton2");
  bsSkinButton1 = MakeButton(this, "bsSkinButton1");
  btnClearMonthData = MakeButton(this, "btnClearMonthData");
  buttons->addWidget(btnSearch, 0, 0);
  buttons->addWidget(btnRefresh, 0, 1);
  buttons->addWidget(bsSkinButton2, 0, 2);
  buttons->addWidget(bsSkinButton1, 1, 0);
  buttons->addWidget(btnClearMonthData, 1, 1, 1, 2);
  top->addLayout(buttons);
  top->addStretch(1);

  FModel = new TLogTableModel(this);
  grdRecData = BuildGrid(this, "grdRecData", FModel);
  edt1 = BuildSortStateLine(this);
  pbLoad = new QProgressBar(this);
  pbLoad->setRange(0, 1000);
  pbLoad->hide();
  btnCancelLoad = MakeButton(this, "btnCancelLoad");
  btnCancelLoad->hide();
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(edt1, 1);
  bottom->addWidget(pbLoad, 1);
  bottom->addWidget(btnCancelLoad);

  auto* box = new QVBoxLayout(this);
  box->addLayout(top);
  box->addWidget(grdRecData, 1);
  box->addLayout(bottom);
  resize(1060, 600);

  connect(ViewModes, &QButtonGroup::idClicked, this, [this](int) { rdDataViewModeClick(); });
  connect(btnSearch, &QPushButton::clicked, this, &TFrmDataLog::btnSearchClick);
  connect(btnRefresh, &QPushButton::clicked, this, &TFrmDataLog::btnRefreshClick);
  connect(bsSkinButton1, &QPushButton::clicked, this, &TFrmDataLog::bsSkinButton1Click);
  connect(bsSkinButton2, &QPushButton::clicked, this, &TFrmDataLog::bsSkinButton2Click);
  connect(btnClearMonthData, &QPushButton::clicked, this, &TFrmDataLog::btnClearMonthDataClick);
  connect(btnCancelLoad, &QPushButton::clicked, this, [this] { FCancelLoad = true; });
  connect(grdRecData->horizontalHeader(), &QHeaderView::sectionPressed, this, &TFrmDataLog::CellPressed);
  connect(grdRecData, &QTableView::pressed, this, [this](const QModelIndex& i) { CellPressed(i.column()); });
  rdDataViewModeClick();
  ShowTable(std::make_shared<TDataTable>(Language(), DecimalPoint()));
}

int TFrmDataLog::Language() const { return FCtx.Settings.Language; }

void TFrmDataLog::SetTexts() {
  const int l = Language();
  setWindowTitle(LangPick(l, "数据日志", "Data Log"));
  rdDataViewMode->setTitle(LangPick(l, "查询方式", "Search Type"));
  rbMonth->setText(LangPick(l, "按月", "Month"));
  rbDate->setText(LangPick(l, "按日", "Date"));
  FFields.SetTexts(l);
  btnSearch->setText(LangPick(l, "查询", "Search"));
  btnRefresh->setText(LangPick(l, "刷新", "Refresh"));
  bsSkinButton2->setText(LangPick(l, "日志设定", "Log Setting"));
  bsSkinButton1->setText(LangPick(l, "汇出", "Export"));
  btnClearMonthData->setText(LangPick(l, "清除月记录", "Clear Month Record"));
  btnCancelLoad->setText(LangPick(l, "取消", "Cancel"));
  FitGroupTitles(this);
}

void TFrmDataLog::rdDataViewModeClick() { spedtDateD->setEnabled(ViewModes->checkedId() == ModeDate); }

void TFrmDataLog::showEvent(QShowEvent* event) {
  // A window restored from the task bar keeps its filter and grid.
  if (event->spontaneous()) return QDialog::showEvent(event);
  SetTexts();
  FFields.SetToday(FCtx.Clock.Now());
  QDialog::showEvent(event);
  // After the window is up, so the operator sees the load's progress.
  QTimer::singleShot(0, this, &TFrmDataLog::LoadDataRecords);
}

TRecFilter TFrmDataLog::BuildFilter() const {
  TRecFilter f;
  f.Year = static_cast<uint16_t>(spedtYearD->value());
  f.Month = static_cast<uint16_t>(spedtMonthD->value());
  f.Day = ViewModes->checkedId() == ModeDate ? static_cast<uint16_t>(spedtDateD->value()) : 0;
  f.Address = CheckBox1->isChecked() ? static_cast<uint16_t>(SpinAddr->value()) : 0;
  return f;
}

void TFrmDataLog::ShowTable(std::shared_ptr<TDataTable> table) {
  FTable = std::move(table);
  FModel->SetTable(FTable);
  FitColumns(grdRecData, LeastWidths, WidestValues);
  // A load shows the file's order: no column is marked as sorted.
  ShowSortIndicator(grdRecData, -1, Qt::AscendingOrder);
}

void TFrmDataLog::SetBusy(bool busy) {
  for (QWidget* w : std::initializer_list<QWidget*>{rdDataViewMode, spedtYearD, spedtMonthD, CheckBox1, btnSearch,
                                                    btnRefresh, bsSkinButton1, bsSkinButton2, btnClearMonthData,
                                                    grdRecData})
    w->setEnabled(!busy);
  spedtDateD->setEnabled(!busy && ViewModes->checkedId() == ModeDate);
  SpinAddr->setEnabled(!busy && CheckBox1->isChecked());
}

void TFrmDataLog::LoadDataRecords() {
  if (FLoading) return;
  const TRecFilter filter = BuildFilter();
  // The old month is let go first: two months at once would double the memory.
  ShowTable(std::make_shared<TDataTable>(Language(), DecimalPoint()));
  auto table = std::make_shared<TDataTable>(Language(), DecimalPoint());
  FLoading = true;
  FCancelLoad = false;
  SetBusy(true);
  std::atomic<int> permille{0};
  std::atomic<bool> finished{false};
  std::error_code ec;
  std::thread worker([&] {
    ec = table->Load(FCtx.RecordDir, filter, [&](uint64_t done, uint64_t total) {
      permille = total ? static_cast<int>(done * 1000 / total) : 1000;
      return !FCancelLoad.load();
    });
    finished = true;
  });
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(30);
  int ticks = 0;
  connect(&poll, &QTimer::timeout, &loop, [&] {
    // A quick load shows no bar at all.
    if (++ticks == 5) {
      pbLoad->show();
      btnCancelLoad->show();
    }
    pbLoad->setValue(permille.load());
    if (finished) loop.quit();
  });
  poll.start();
  loop.exec();
  worker.join();
  pbLoad->hide();
  btnCancelLoad->hide();
  SetBusy(false);
  FLoading = false;
  // A month without a file, or a cancelled load, is an empty grid.
  ShowTable(ec ? std::make_shared<TDataTable>(Language(), DecimalPoint()) : table);
  edt1->setVisible(FCtx.Display.DebugShow);
  if (FCloseWhenLoaded) QDialog::reject();
}

void TFrmDataLog::SortGrid() {
  SortAndShow(FTable.get(), FModel, grdRecData, edt1, FCtx.Display.DebugShow, FSortCol, FSortDir);
}

void TFrmDataLog::CellPressed(int column) {
  // On the titles or on any data cell.
  if (!SortingButton()) return;
  PressSortColumn(FSortCol, FSortDir, column);
  SortGrid();
}

void TFrmDataLog::bsSkinButton1Click() {
  SetBusy(true);
  ExportGridToCsv(this, FTable, Language(), FProgress);
  SetBusy(false);
}

void TFrmDataLog::bsSkinButton2Click() {
  TFrmDataLogSet dialog(FCtx.Settings, FEngine, this);
  dialog.exec();
}

void TFrmDataLog::btnClearMonthDataClick() {
  TFrmDelDataRec dialog(FCtx.RecordDir, Language(), [this] { LoadDataRecords(); }, this);
  dialog.exec();
}

void TFrmDataLog::reject() {
  if (FLoading) {
    FCancelLoad = true;
    FCloseWhenLoaded = true;
    return;
  }
  QDialog::reject();
}

}  // namespace tessaro
