#include "ui/main/FrmMain.h"

#include <QApplication>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDateTime>
#include <QGraphicsSimpleTextItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLineEdit>
#include <QLineSeries>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <exception>
#include <system_error>

#include "control/Control.h"
#include "core/Catalogue.h"
#include "core/Version.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "serial/SerialPort.h"
#include "ui/logs/LogMenu.h"
#include "ui/config/ControlHost.h"
#include "ui/config/FrmPSW.h"
#include "ui/config/FrmTest.h"
#include "ui/config/FrmTrunOn.h"
#include "ui/config/FrmUserSet.h"
#include "ui/main/DeviceName.h"
#include "ui/main/FrmAbout.h"
#include "ui/main/FrmEquipSearch.h"
#include "ui/settings/FrmSoftwarePara.h"
#include "ui/trace/FrmCom.h"
#include "ui/main/FrmNewEquip.h"
#include "ui/main/FrmProperty.h"
#include "ui/main/MsgBox.h"
#include "ui/main/QtTexts.h"
#include "ui/widgets/AngularGauge.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/FlowPipe.h"
#include "ui/widgets/Lamp.h"
#include "ui/widgets/LedBar.h"
#include "ui/widgets/UpsDiagram.h"
#include "ui/widgets/ValueBox.h"
#include "ui/widgets/ValueText.h"

namespace tessaro {

namespace {

constexpr int IconRole = Qt::UserRole + 1;
constexpr int AbsIndexRole = Qt::UserRole + 2;

// Picture indices into GIFs
enum : int { PicStandby, PicOnline, PicBypass, PicBattery, PicEconomy, PicTest, PicFault };

int PictureFor(int stateCode) {
  switch (stateCode) {
    case StateBypass: return PicBypass;
    case StateOnline: return PicOnline;
    case StateBattery: return PicBattery;
    case StateBattSelfTest: return PicTest;
    case StateEco: return PicEconomy;
    case StateFault: return PicFault;
    case -1: return -1;
    default: return PicStandby;
  }
}

// Showing or hiding a widget lays out its window again (and asks the X
// server where the pointer is), so only a change of state does it.
void SetShown(QWidget* w, bool shown) {
  if (w->isHidden() == shown) w->setVisible(shown);
}

const QColor Lime(0x00, 0xff, 0x00);
const QColor Teal(0x00, 0x80, 0x80);

const char* const MainStyle = R"(
QMainWindow { background: #d5dbe1; }
QToolBar { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #f4f6f8, stop:1 #cfd6dd);
           border-bottom: 1px solid #9aa6b2; spacing: 3px; padding: 2px; }
QStatusBar { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #e9edf1, stop:1 #c7cfd7);
             border-top: 1px solid #9aa6b2; }
QStatusBar QLabel { border: 1px solid #a9b4bf; border-radius: 2px; background: #eef1f4; padding: 1px 4px; color: #1f2a35; }
QStatusBar::item { border: none; }
#pnlLeft { background: #e7ebef; border-right: 1px solid #9aa6b2; }
#pnlLeft QPushButton { min-height: 24px; }
QTreeWidget { background: #ffffff; color: #008080; border: 1px solid #9aa6b2; font-size: 12px; }
QTreeWidget::item { height: 20px; }
QTreeWidget::item:selected, QTreeWidget::item:selected:!active { background: #2f6fb0; color: #ffffff; }
#pnlInstrument { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #2a3440, stop:1 #171e26); }
#pnlInstrument QLabel#Caption { color: #e6edf3; font-weight: bold; font-size: 12px; }
#pnlCaption { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #3c4b5c, stop:1 #263240);
              border: 1px solid #4d5d6e; border-radius: 3px; }
#pnlLoad { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #dfe5ea, stop:1 #c4ccd4);
           border: 1px solid #4d5d6e; border-radius: 6px; }
#pnlLoad QLabel { color: #1f2a35; font-weight: bold; }
#pnlLoad QLabel#LoadHeading { font-size: 13px; color: #10324f; }
QTabWidget::pane { border: 1px solid #6b7b8b; top: -1px; }
QTabBar::tab { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #eef1f4, stop:1 #c9d1d9);
               border: 1px solid #8795a3; padding: 4px 16px; margin-right: 1px;
               border-top-left-radius: 4px; border-top-right-radius: 4px; }
QTabBar::tab:selected { background: #2a3440; color: #ffffff; border-color: #2a3440; }
QGroupBox { font-weight: bold; color: #1f2a35; border: 1px solid #9aa6b2; border-radius: 5px;
            margin-top: 9px; background: #eef1f4; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 4px; }
#pnlSketch { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #2a3440, stop:1 #171e26); }
#pnlSketch QLabel#stComStatus { color: #00ff00; font-size: 19px; font-weight: bold; }
#pnlSketch QGroupBox { background: #1b232c; color: #c8d2dc; border-color: #4d5d6e; }
#pnlSketch QGroupBox QLabel { color: #00ff00; font-family: monospace; font-size: 12px; }
#pnlSketch QLabel#lblUpsState { color: #ffcc00; }
QPlainTextEdit#MemoAlarm { color: #e00000; background: #ffffff; border: 1px solid #9aa6b2; }
QPushButton#btnCom { font-weight: bold; }
)";

}  // namespace

// ---------------------------------------------------------------- creation

TFrmMain::TFrmMain(TContext& context, TPollEngine& engine, QWidget* parent)
    : QMainWindow(parent), FCtx(context), FEngine(engine) {
  setObjectName(QStringLiteral("FrmMain"));
  setWindowIcon(AssetIcon(QStringLiteral("app")));
  setStyleSheet(QString::fromLatin1(MainStyle));

  BuildMenu();
  BuildToolBar();
  auto* central = new QWidget(this);
  auto* hbox = new QHBoxLayout(central);
  hbox->setContentsMargins(0, 0, 0, 0);
  hbox->setSpacing(0);
  hbox->addWidget(BuildLeftPane());
  PageControl1 = new QStackedWidget(central);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  PageControl1->addWidget(BuildRealTimePage());
  PageControl1->addWidget(BuildGraphPage());
  hbox->addWidget(PageControl1, 1);
  setCentralWidget(central);
  BuildStatusBar();
  resize(1040, 720);

  // Main window creation, in start-up order. A division by zero yields an
  // infinity or not-a-number, which is the default of IEEE arithmetic here.
  std::feclearexcept(FE_ALL_EXCEPT);
  FCtx.Display.DebugShow = false;
  HideSwitchRows();
  FCtx.DeviceList.OnRebuildTree = [this] { RebuildTree(); };
  FSelDevAddr = 0;
  FCtx.Start();  // directories, settings, log stores, device list (builds the tree), device table
  LogMenu = new TLogMenu(FCtx, FEngine, this);
  FQtTexts = new TQtTexts(this);
  ApplyLanguage();
  ApplyProtocolLayout();
  PageControl1->setCurrentIndex(0);
  PageControl2->setCurrentIndex(0);
  UpdateDebugOverlay();

  // One housekeeping pass per tick: the pace of every 11th tick of a 10 ms
  // timer, without waking the program 100 times a second to count.
  Timer1.setInterval(HousekeepingInterval);
  connect(&Timer1, &QTimer::timeout, this, &TFrmMain::Timer1Timer);
  Timer1.start();

  // Whatever window sent it, and even once that window is closed, the
  // outcome of a write shows here.
  FCommandObserver = FCtx.Commands.Subscribe([this](const TTrackedCommand& command) {
    if (command.State == TCommandState::Pending) return;
    const auto language = static_cast<uint8_t>(FCtx.Settings.Language);
    statusBar()->showMessage(QString::fromStdString(OutcomeLine(FCtx, command, language)), 15000);
  });
}

TFrmMain::~TFrmMain() {
  FCtx.Commands.Unsubscribe(FCommandObserver);
  Timer1.stop();
  FCtx.DeviceList.OnRebuildTree = nullptr;
  delete FTraceWindow;
}

QString TFrmMain::Txt(TTextId id) const { return LangText(id, FCtx.Settings.Language); }

void TFrmMain::BuildMenu() {
  auto* bar = menuBar();
  mni100 = bar->addMenu(QString());
  mni101 = mni100->addAction(QString(), this, &TFrmMain::mni101Click);
  mni102 = mni100->addAction(QString(), this, &TFrmMain::mni102Click);
  mni100->addSeparator();
  mni103 = mni100->addAction(QString(), this, &TFrmMain::mni103Click);
  mni200 = bar->addMenu(QString());
  mni201 = mni200->addAction(QString(), this, &TFrmMain::mni201Click);
  mni202 = mni200->addAction(QString(), this, &TFrmMain::mni202Click);
  mni203 = mni200->addAction(QString(), this, &TFrmMain::mni203Click);
  mni300 = bar->addMenu(QString());
  mni301 = mni300->addAction(QString(), this, &TFrmMain::mni301Click);
  mniTurnOn = mni300->addAction(QString(), this, &TFrmMain::mniTurnOnClick);
  mni400 = bar->addMenu(QStringLiteral("Language"));
  mni401 = mni400->addAction(QString(), this, &TFrmMain::mni401Click);
  mni402 = mni400->addAction(QString(), this, &TFrmMain::mni402Click);
  mni500 = bar->addMenu(QString());
  mni501 = mni500->addAction(QString(), this, &TFrmMain::mni501Click);
  mni501->setIcon(AssetIcon(QStringLiteral("tb_about")));
  mni102->setIcon(AssetIcon(QStringLiteral("tb_settings")));
  mni103->setIcon(AssetIcon(QStringLiteral("tb_exit")));
  mni201->setIcon(AssetIcon(QStringLiteral("tb_eventlog")));
  mni202->setIcon(AssetIcon(QStringLiteral("tb_datalog")));
  mni203->setIcon(AssetIcon(QStringLiteral("tb_logset")));
  mni401->setIcon(AssetIcon(QStringLiteral("tb_chinese")));
  mni402->setIcon(AssetIcon(QStringLiteral("tb_english")));
}

void TFrmMain::BuildToolBar() {
  ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setIconSize(QSize(16, 16));
  ToolBar1->toggleViewAction()->setVisible(false);
  auto add = [this](const char* icon, void (TFrmMain::*slot)()) {
    QAction* a = ToolBar1->addAction(AssetIcon(QString::fromLatin1(icon)), QString());
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  bsSkinSpeedButton1 = add("tb_settings", &TFrmMain::mni102Click);
  bsSkinSpeedButton2 = add("tb_chinese", &TFrmMain::mni401Click);  // N2Click
  bsSkinSpeedButton3 = add("tb_english", &TFrmMain::mni402Click);  // N9Click
  bsSkinSpeedButton2->setVisible(false);
  bsSkinSpeedButton3->setVisible(false);
  ToolBar1->addSeparator();
  bsSkinSpeedButton4 = add("tb_eventlog", &TFrmMain::mni201Click);
  bsSkinSpeedButton5 = add("tb_datalog", &TFrmMain::mni202Click);
  bsSkinSpeedButton8 = add("tb_logset", &TFrmMain::mni203Click);
  ToolBar1->addSeparator();
  bsSkinSpeedButton6 = add("tb_about", &TFrmMain::mni501Click);
  bsSkinSpeedButton7 = add("tb_exit", &TFrmMain::mni103Click);

  auto* spacer = new QWidget(ToolBar1);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  ToolBar1->addWidget(spacer);
  lblDebug = new QLabel(ToolBar1);
  lblDebug->setObjectName(QStringLiteral("lblDebug"));
  lblDebug->setStyleSheet(QStringLiteral("color: #7a1f1f; font-family: monospace;"));
  // The tool bar shows and hides its widgets through their actions.
  FDebugAction = ToolBar1->addWidget(lblDebug);
  auto* lamps = new QWidget(ToolBar1);
  auto* lampRow = new QHBoxLayout(lamps);
  lampRow->setContentsMargins(8, 0, 8, 0);
  lampRow->setSpacing(5);
  auto* tx = new QLabel(QStringLiteral("TX"), lamps);
  auto* rx = new QLabel(QStringLiteral("RX"), lamps);
  tx->setStyleSheet(QStringLiteral("color: #3a4652; font-size: 10px; font-weight: bold;"));
  rx->setStyleSheet(tx->styleSheet());
  iLedTx = new TLamp(Lime, lamps);
  iLedTx->setObjectName(QStringLiteral("iLedTx"));
  iLedRx = new TLamp(QColor(0xff, 0xe0, 0x00), lamps);
  iLedRx->setObjectName(QStringLiteral("iLedRx"));
  lblProtocol = new QLabel(lamps);
  lblProtocol->setObjectName(QStringLiteral("lblProtocol"));
  lblProtocol->setAlignment(Qt::AlignCenter);
  lblProtocol->setMinimumWidth(22);
  lblProtocol->setStyleSheet(QStringLiteral(
      "background: #1b232c; color: #00ff00; font-weight: bold; border-radius: 3px; padding: 1px 5px;"));
  lampRow->addWidget(tx);
  lampRow->addWidget(iLedTx);
  lampRow->addSpacing(4);
  lampRow->addWidget(rx);
  lampRow->addWidget(iLedRx);
  lampRow->addSpacing(8);
  lampRow->addWidget(lblProtocol);
  ToolBar1->addWidget(lamps);
  btnCom = new QPushButton(ToolBar1);
  btnCom->setObjectName(QStringLiteral("btnCom"));
  btnCom->setFixedSize(84, 25);
  connect(btnCom, &QPushButton::clicked, this, &TFrmMain::btnComClick);
  ToolBar1->addWidget(btnCom);
}

QWidget* TFrmMain::BuildLeftPane() {
  auto* pane = new QWidget(this);
  pane->setObjectName(QStringLiteral("pnlLeft"));
  pane->setFixedWidth(230);
  auto* v = new QVBoxLayout(pane);
  v->setContentsMargins(6, 6, 6, 6);
  v->setSpacing(4);
  auto* grid = new QGridLayout;
  grid->setSpacing(4);
  btnSearch = new QPushButton(pane);
  btnNew = new QPushButton(pane);
  btnDelete = new QPushButton(pane);
  btnProperty = new QPushButton(pane);
  btnSearch->setObjectName(QStringLiteral("btnSearch"));
  btnNew->setObjectName(QStringLiteral("btnNew"));
  btnDelete->setObjectName(QStringLiteral("btnDelete"));
  btnProperty->setObjectName(QStringLiteral("btnProperty"));
  grid->addWidget(btnSearch, 0, 0);
  grid->addWidget(btnNew, 0, 1);
  grid->addWidget(btnDelete, 1, 0);
  grid->addWidget(btnProperty, 1, 1);
  v->addLayout(grid);
  connect(btnSearch, &QPushButton::clicked, this, &TFrmMain::btnSearchClick);
  connect(btnNew, &QPushButton::clicked, this, &TFrmMain::btnNewClick);
  connect(btnDelete, &QPushButton::clicked, this, &TFrmMain::btnDeleteClick);
  connect(btnProperty, &QPushButton::clicked, this, &TFrmMain::btnPropertyClick);

  TreeView1 = new QTreeWidget(pane);
  TreeView1->setObjectName(QStringLiteral("TreeView1"));
  TreeView1->setHeaderHidden(true);
  TreeView1->setColumnCount(1);
  TreeView1->setIndentation(19);
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  TreeView1->setIconSize(QSize(16, 16));
  TreeView1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  TreeView1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  TreeView1->header()->setStretchLastSection(false);
  TreeView1->viewport()->installEventFilter(this);
  // The highlighted node is the selected device, however the highlight moves
  // (any mouse button, the keyboard, a keyboard search).
  connect(TreeView1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (current) TreeView1Click();
  });
  connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, &TFrmMain::KeepHighlightOnCurrent);
  v->addWidget(TreeView1, 1);

  edtTreeData = new QLineEdit(pane);
  edtArrEq = new QLineEdit(pane);
  edtNode = new QLineEdit(pane);
  for (QLineEdit* e : {edtTreeData, edtArrEq, edtNode}) {
    e->setReadOnly(true);
    e->setStyleSheet(QStringLiteral("font-family: monospace; font-size: 10px;"));
    v->addWidget(e);
  }
  edtTreeData->setObjectName(QStringLiteral("edtTreeData"));
  edtArrEq->setObjectName(QStringLiteral("edtArrEq"));
  edtNode->setObjectName(QStringLiteral("edtNode"));
  return pane;
}

QWidget* TFrmMain::BuildRealTimePage() {
  auto* page = new QWidget(this);
  auto* v = new QVBoxLayout(page);
  v->setContentsMargins(6, 6, 6, 4);
  v->setSpacing(6);
  PageControl2 = new QTabWidget(page);
  PageControl2->setObjectName(QStringLiteral("PageControl2"));
  PageControl2->setDocumentMode(false);
  PageControl2->addTab(BuildDataTab(), QString());
  PageControl2->addTab(BuildSketchTab(), QString());
  v->addWidget(PageControl2, 1);
  v->addWidget(BuildLowerStrip());
  return page;
}

QWidget* TFrmMain::BuildDataTab() {
  auto* tab = new QWidget(this);
  tab->setObjectName(QStringLiteral("pnlInstrument"));
  tab->setAttribute(Qt::WA_StyledBackground);
  auto* grid = new QGridLayout(tab);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(6);

  auto gaugeCell = [&](QLabel*& caption, TValueText*& value, TAngularGauge*& gauge, bool input) {
    auto* cell = new QWidget(tab);
    auto* cv = new QVBoxLayout(cell);
    cv->setContentsMargins(0, 0, 0, 0);
    cv->setSpacing(3);
    auto* head = new QWidget(cell);
    head->setObjectName(QStringLiteral("pnlCaption"));
    head->setAttribute(Qt::WA_StyledBackground);
    auto* hh = new QHBoxLayout(head);
    hh->setContentsMargins(6, 2, 2, 2);
    caption = new QLabel(head);
    caption->setObjectName(QStringLiteral("Caption"));
    value = new TValueText(head);
    value->setText(QStringLiteral("0 V"));
    value->setFixedWidth(76);
    hh->addWidget(caption, 1);
    hh->addWidget(value);
    gauge = new TAngularGauge(cell);
    gauge->SetRange(0, 300);
    gauge->SetArc(170, 160);
    gauge->SetMajorTicks(7);
    gauge->SetUnit(QStringLiteral("V"));
    const QColor yellow(Qt::yellow), red(Qt::red);
    if (input) {
      gauge->SetSections({{0, 120, yellow}, {120, 276, Lime}, {276, 300, red}});
    } else {
      gauge->SetSections({{0, 205, yellow}, {205, 245, Lime}, {245, 300, red}});
    }
    cv->addWidget(head);
    cv->addWidget(gauge, 1);
    return cell;
  };
  for (int i = 0; i < 3; ++i) {
    grid->addWidget(gaugeCell(lbInput[i], stInputV[i], iAGInPutV[i], true), 0, i);
    grid->addWidget(gaugeCell(lbOutput[i], stOutputV[i], iAGOutPutV[i], false), 1, i);
  }

  // Load panel: three LED bars under one heading
  auto* load = new QWidget(tab);
  load->setObjectName(QStringLiteral("pnlLoad"));
  load->setAttribute(Qt::WA_StyledBackground);
  auto* lg = new QGridLayout(load);
  lg->setContentsMargins(8, 6, 8, 8);
  lg->setVerticalSpacing(4);
  bsSkinLabel6 = new QLabel(load);
  bsSkinLabel6->setObjectName(QStringLiteral("LoadHeading"));
  bsSkinLabel6->setAlignment(Qt::AlignCenter);
  lg->addWidget(bsSkinLabel6, 0, 0, 1, 3);
  for (int i = 0; i < 3; ++i) {
    bsSkinStdLabel[i] = new QLabel(load);
    bsSkinStdLabel[i]->setAlignment(Qt::AlignCenter);
    iLedBar[i] = new TLedBar(load);
    iLedBar[i]->SetRange(0, 150);
    iLedBar[i]->SetSegmentSize(4);
    iLedBar[i]->SetSections({{0, 100, Lime}, {100, 150, QColor(0xff, 0x20, 0x20)}});
    stLoadPer[i] = new TValueText(load, Qt::AlignCenter);
    stLoadPer[i]->setText(QStringLiteral("0 %"));
    stLoadPer[i]->setFixedWidth(58);
    lg->addWidget(bsSkinStdLabel[i], 1, i, Qt::AlignHCenter);
    lg->addWidget(iLedBar[i], 2, i, Qt::AlignHCenter);
    lg->addWidget(stLoadPer[i], 3, i, Qt::AlignHCenter);
  }
  lg->setRowStretch(2, 1);
  grid->addWidget(load, 0, 3, 2, 1);

  // Value boxes along the bottom: DC input, frequency, backup time, capacity
  auto* boxes = new QHBoxLayout;
  boxes->setSpacing(10);
  AdvPanel4 = new TValueBox(tab);
  AdvPanel4->SetUnit(QStringLiteral("V"));
  AdvPanel1 = new TValueBox(tab);
  AdvPanel1->SetUnit(QStringLiteral("Hz"));
  AdvPanel9 = new TValueBox(tab);
  AdvPanel9->SetUnit(QStringLiteral("Minute"));
  AdvPanel6 = new TValueBox(tab);
  AdvPanel6->SetUnit(QStringLiteral("%"));
  AdvPanel4->setObjectName(QStringLiteral("AdvPanel4"));
  AdvPanel1->setObjectName(QStringLiteral("AdvPanel1"));
  AdvPanel9->setObjectName(QStringLiteral("AdvPanel9"));
  AdvPanel6->setObjectName(QStringLiteral("AdvPanel6"));
  AdvPanel1->SetTitleColor(QColor(0x1d, 0x6e, 0x5a));
  AdvPanel9->SetTitleColor(QColor(0x7a, 0x5a, 0x12));
  AdvPanel6->SetTitleColor(QColor(0x6a, 0x2a, 0x7a));
  for (TValueBox* b : {AdvPanel4, AdvPanel1, AdvPanel9, AdvPanel6}) {
    b->setFixedHeight(58);
    boxes->addWidget(b, 1);
  }
  grid->addLayout(boxes, 2, 0, 1, 4);
  grid->setRowStretch(0, 1);
  grid->setRowStretch(1, 1);
  for (int c = 0; c < 3; ++c) grid->setColumnStretch(c, 1);
  return tab;
}

QWidget* TFrmMain::BuildSketchTab() {
  auto* tab = new QWidget(this);
  tab->setObjectName(QStringLiteral("pnlSketch"));
  tab->setAttribute(Qt::WA_StyledBackground);
  auto* v = new QVBoxLayout(tab);
  v->setContentsMargins(10, 10, 10, 10);
  stComStatus = new QLabel(tab);
  stComStatus->setObjectName(QStringLiteral("stComStatus"));
  stComStatus->setAlignment(Qt::AlignCenter);
  v->addWidget(stComStatus);

  auto* row = new QHBoxLayout;
  row->addStretch(1);
  FSketchHost = new QWidget(tab);
  FSketchHost->setFixedSize(420, 220);
  const TDiagramMode modes[7] = {TDiagramMode::Standby, TDiagramMode::Online,  TDiagramMode::Bypass,
                                 TDiagramMode::Battery, TDiagramMode::Economy, TDiagramMode::Test,
                                 TDiagramMode::Fault};
  const char* names[7] = {"GIFStandbyMode", "GIFOnlineMode", "GIFBypassMode", "GIFBattMode",
                          "GIFEconomyMode", "GIFTestMode",   "GIFFaltMode"};
  for (int i = 0; i < 7; ++i) {
    GIFs[i] = new TUpsDiagram(modes[i], FSketchHost);
    GIFs[i]->setObjectName(QString::fromLatin1(names[i]));
    GIFs[i]->move(0, 0);
    GIFs[i]->setVisible(i == PicStandby);
  }
  PipCharge = new TFlowPipe(FSketchHost);
  PipCharge->setObjectName(QStringLiteral("PipCharge"));
  PipCharge->setGeometry(TUpsDiagram::BatteryBranch());
  PipCharge->raise();
  PipCharge->hide();
  row->addWidget(FSketchHost);
  row->addSpacing(14);

  grpCode = new QGroupBox(tab);
  grpCode->setObjectName(QStringLiteral("grpCode"));
  grpCode->setFixedWidth(222);
  auto* cg = new QGridLayout(grpCode);
  cg->setContentsMargins(8, 14, 4, 8);
  cg->setVerticalSpacing(6);
  auto code = [&](const char* caption, QLabel*& label, int r) {
    auto* cap = new QLabel(QString::fromLatin1(caption), grpCode);
    cap->setStyleSheet(QStringLiteral("color: #8fa3b5; font-family: sans-serif; font-size: 10px;"));
    label = new QLabel(QStringLiteral("0000-0000"), grpCode);
    cg->addWidget(cap, r, 0);
    cg->addWidget(label, r, 1);
  };
  code("CMM ST", lblCMMState, 0);
  code("INV ST", lblINVState, 1);
  code("CMM AL", lblCMMAlarm, 2);
  code("INV AL", lblINVAlarm, 3);
  code("SYS ST", lbSysState, 4);
  code("SYS AL", lbSysAlarm, 5);
  lbSysState->setText(QStringLiteral("0000"));
  lbSysAlarm->setText(QStringLiteral("0000"));
  lblCMMState->setObjectName(QStringLiteral("lblCMMState"));
  lblINVState->setObjectName(QStringLiteral("lblINVState"));
  lblCMMAlarm->setObjectName(QStringLiteral("lblCMMAlarm"));
  lblINVAlarm->setObjectName(QStringLiteral("lblINVAlarm"));
  lbSysState->setObjectName(QStringLiteral("lbSysState"));
  lbSysAlarm->setObjectName(QStringLiteral("lbSysAlarm"));
  row->addWidget(grpCode, 0, Qt::AlignVCenter);
  row->addStretch(1);
  v->addSpacing(8);
  v->addLayout(row);
  v->addStretch(1);
  lblUpsState = new QLabel(tab);
  lblUpsState->setObjectName(QStringLiteral("lblUpsState"));
  v->addWidget(lblUpsState);
  return tab;
}

QWidget* TFrmMain::BuildLowerStrip() {
  auto* strip = new QWidget(this);
  auto* h = new QHBoxLayout(strip);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(6);
  grpSwitch = new QGroupBox(strip);
  grpSwitch->setObjectName(QStringLiteral("grpSwitch"));
  auto* g = new QGridLayout(grpSwitch);
  g->setContentsMargins(10, 16, 10, 8);
  g->setHorizontalSpacing(6);
  static const char* const onText[4] = {"Close", "ON", "ON", "Close"};
  static const char* const offText[4] = {"Open", "OFF", "OFF", "Open"};
  for (int i = 0; i < 6; ++i) Label[i] = new QLabel(grpSwitch);
  // Switch rows 1..4 (input, bypass, output, maintenance bypass): on / off
  const int rowOfFlag[4] = {0, 1, 2, 3};
  for (int i = 0; i < 4; ++i) {
    stOn[i] = new QLabel(QString::fromLatin1(onText[i]), grpSwitch);
    stOff[i] = new QLabel(QString::fromLatin1(offText[i]), grpSwitch);
    SwitchSlash[i] = new QLabel(QStringLiteral("/"), grpSwitch);
    g->addWidget(Label[i], rowOfFlag[i], 0);
    g->addWidget(stOn[i], rowOfFlag[i], 1);
    g->addWidget(SwitchSlash[i], rowOfFlag[i], 2);
    g->addWidget(stOff[i], rowOfFlag[i], 3);
  }
  stInputPowerSupply = new QLabel(grpSwitch);
  stUpsPowerSupply = new QLabel(grpSwitch);
  stInputPowerSupply->setObjectName(QStringLiteral("stInputPowerSupply"));
  stUpsPowerSupply->setObjectName(QStringLiteral("stUpsPowerSupply"));
  const QString supplyStyle = QStringLiteral(
      "color: #008080; font-weight: bold; font-size: 13px; background: #ffffff; border: 1px solid #b5c0ca;"
      " border-radius: 3px; padding: 2px 8px;");
  stInputPowerSupply->setStyleSheet(supplyStyle);
  stUpsPowerSupply->setStyleSheet(supplyStyle);
  g->addWidget(Label[4], 4, 0);
  g->addWidget(stInputPowerSupply, 4, 1, 1, 3);
  g->addWidget(Label[5], 5, 0);
  g->addWidget(stUpsPowerSupply, 5, 1, 1, 3);
  g->setColumnStretch(1, 1);
  // The input switch row is never shown.
  Label[0]->hide();
  stOn[0]->hide();
  stOff[0]->hide();
  SwitchSlash[0]->hide();

  grpAlarm = new QGroupBox(strip);
  grpAlarm->setObjectName(QStringLiteral("grpAlarm"));
  auto* av = new QVBoxLayout(grpAlarm);
  av->setContentsMargins(8, 16, 8, 8);
  MemoAlarm = new QPlainTextEdit(grpAlarm);
  MemoAlarm->setObjectName(QStringLiteral("MemoAlarm"));
  MemoAlarm->setReadOnly(true);
  MemoAlarm->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  av->addWidget(MemoAlarm);
  h->addWidget(grpSwitch, 0);
  h->addWidget(grpAlarm, 1);
  strip->setFixedHeight(118);
  return strip;
}

QWidget* TFrmMain::BuildGraphPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("pnlGraph"));
  auto* v = new QVBoxLayout(page);
  v->setContentsMargins(6, 6, 6, 6);
  auto make = [&](TPhaseChart& pc) {
    pc.Chart = new QChart;
    pc.Chart->setBackgroundBrush(QColor(0xee, 0xf1, 0xf4));
    pc.Chart->setPlotAreaBackgroundBrush(Qt::white);
    pc.Chart->setPlotAreaBackgroundVisible(true);
    pc.Chart->setAnimationOptions(QChart::NoAnimation);
    QFont titleFont = pc.Chart->titleFont();
    titleFont.setBold(true);
    titleFont.setPixelSize(14);
    pc.Chart->setTitleFont(titleFont);
    pc.AxisX = new QCategoryAxis;
    pc.AxisX->setRange(1, 120);
    pc.AxisX->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    pc.AxisX->setGridLineVisible(true);
    auto* axisY = new QValueAxis;
    axisY->setRange(80, 300);
    // The axis draws its own title turned on its side; "V" stands upright
    // beside the scale instead.
    axisY->setTitleText(QStringLiteral("V"));
    axisY->setTitleVisible(false);
    axisY->setTickType(QValueAxis::TicksDynamic);
    axisY->setTickAnchor(80);
    axisY->setTickInterval(40);
    axisY->setMinorTickCount(1);
    axisY->setLabelFormat(QStringLiteral("%.0f"));
    QFont axisFont = axisY->labelsFont();
    axisFont.setPixelSize(10);
    axisY->setLabelsFont(axisFont);
    pc.AxisX->setLabelsFont(axisFont);
    pc.Chart->addAxis(pc.AxisX, Qt::AlignBottom);
    pc.Chart->addAxis(axisY, Qt::AlignLeft);
    pc.AxisY = axisY;
    pc.AxisYTitle = new QGraphicsSimpleTextItem(QStringLiteral("V"), pc.Chart);
    QFont yTitleFont = pc.AxisX->titleFont();
    pc.AxisYTitle->setFont(yTitleFont);
    pc.AxisYTitle->setBrush(pc.AxisX->titleBrush());
    QMargins margins = pc.Chart->margins();
    margins.setLeft(std::max(margins.left(), 26));
    pc.Chart->setMargins(margins);
    const QColor colours[3] = {Qt::red, QColor(0x00, 0x80, 0x00), Qt::blue};
    const char* titles[3] = {"A", "B", "C"};
    for (int i = 0; i < 3; ++i) {
      auto* s = new QLineSeries;
      s->setName(QString::fromLatin1(titles[i]));
      QPen pen(colours[i]);
      pen.setWidthF(1.6);
      s->setPen(pen);
      s->setPointsVisible(false);
      pc.Chart->addSeries(s);
      s->attachAxis(pc.AxisX);
      s->attachAxis(axisY);
      pc.Series[i] = s;
    }
    QLegend* legend = pc.Chart->legend();
    // A small silver box floating in the top right corner of the plot
    legend->detachFromChart();
    legend->setBackgroundVisible(true);
    legend->setBrush(QColor(0xc0, 0xc0, 0xc0));
    legend->setPen(QPen(QColor(0x80, 0x80, 0x80)));
    QChart* chart = pc.Chart;
    QGraphicsSimpleTextItem* yTitle = pc.AxisYTitle;
    connect(chart, &QChart::plotAreaChanged, legend, [legend, yTitle](const QRectF& plot) {
      legend->setGeometry(QRectF(plot.right() - 128, plot.top() + 6, 122, 26));
      legend->update();
      const QRectF box = yTitle->boundingRect();
      yTitle->setPos(8, plot.center().y() - box.height() / 2);
    });
    auto* view = new QChartView(pc.Chart, page);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(400, 200);
    v->addWidget(view, 1);
  };
  make(Chart1);
  make(Chart2);
  return page;
}

void TFrmMain::BuildStatusBar() {
  auto* bar = statusBar();
  bar->setSizeGripEnabled(false);
  const int widths[4] = {180, 272, 232, 174};
  for (int i = 0; i < 4; ++i) {
    StatusPanel[i] = new QLabel(bar);
    StatusPanel[i]->setAlignment(Qt::AlignCenter);
    StatusPanel[i]->setFixedWidth(widths[i]);
    bar->addWidget(StatusPanel[i]);
  }
}

// ---------------------------------------------------------------- language

void TFrmMain::ApplyLanguage() {
  using enum TTextId;
  FNodeCaption.Captions[0] = Txt(NodeRealTime);
  FNodeCaption.Captions[1] = Txt(NodeGraph);
  FNodeCaption.CaptionCount = 2;
  RebuildTree();

  setWindowTitle(Txt(MainCaption));
  mni100->setTitle(Txt(Mni100System));
  mni101->setText(Txt(Mni101UserSet));
  mni102->setText(Txt(Mni102SoftwarePara));
  mni103->setText(Txt(Mni103Exit));
  mni200->setTitle(Txt(Mni200Log));
  mni201->setText(Txt(Mni201EventLog));
  mni202->setText(Txt(Mni202DataLog));
  mni203->setText(Txt(Mni203LogSetting));
  mni300->setTitle(Txt(Mni300Control));
  mni301->setText(Txt(Mni301BattTest));
  mniTurnOn->setText(Txt(MniTurnOn));
  mni401->setText(Txt(Mni401Chinese));
  mni402->setText(Txt(Mni402English));
  mni500->setTitle(Txt(Mni500Help));
  mni501->setText(Txt(Mni501About));
  menuBar()->update();

  bsSkinSpeedButton1->setToolTip(Txt(HintSpeedButton1));
  bsSkinSpeedButton2->setToolTip(Txt(HintSpeedButton2));
  bsSkinSpeedButton3->setToolTip(Txt(HintSpeedButton3));
  bsSkinSpeedButton4->setToolTip(Txt(HintSpeedButton4));
  bsSkinSpeedButton5->setToolTip(Txt(HintSpeedButton5));
  bsSkinSpeedButton8->setToolTip(Txt(HintSpeedButton8));
  bsSkinSpeedButton6->setToolTip(Txt(HintSpeedButton6));
  bsSkinSpeedButton7->setToolTip(Txt(HintSpeedButton7));
  btnSearch->setText(Txt(BtnSearch));
  btnSearch->setToolTip(Txt(BtnSearchHint));
  btnNew->setText(Txt(BtnNew));
  btnNew->setToolTip(Txt(BtnNewHint));
  btnDelete->setText(Txt(BtnDelete));
  btnDelete->setToolTip(Txt(BtnDeleteHint));
  btnProperty->setText(Txt(BtnProperty));
  btnProperty->setToolTip(Txt(BtnPropertyHint));
  PageControl2->setTabText(0, Txt(TabData));
  PageControl2->setTabText(1, Txt(TabSketch));
  const TTextId inputs[3] = {LbInputA, LbInputB, LbInputC};
  const TTextId outputs[3] = {LbOutputA, LbOutputB, LbOutputC};
  const TTextId phases[3] = {LoadPhaseA, LoadPhaseB, LoadPhaseC};
  for (int i = 0; i < 3; ++i) {
    lbInput[i]->setText(Txt(inputs[i]));
    lbOutput[i]->setText(Txt(outputs[i]));
    bsSkinStdLabel[i]->setText(Txt(phases[i]));
  }
  bsSkinLabel6->setText(Txt(LoadHeading));
  AdvPanel4->SetCaption(Txt(BoxDcInputVolt));
  AdvPanel9->SetCaption(Txt(BoxBattBackup));
  AdvPanel6->SetCaption(Txt(BoxBattCapacity));
  AdvPanel1->SetCaption(Txt(BoxOutputFreq));
  Chart1.Chart->setTitle(Txt(Chart1Title));
  Chart2.Chart->setTitle(Txt(Chart2Title));
  Chart1.AxisX->setTitleText(Txt(ChartTimeAxis));
  Chart2.AxisX->setTitleText(Txt(ChartTimeAxis));
  grpSwitch->setTitle(Txt(GrpSwitch));
  grpSwitch->setToolTip(Txt(GrpSwitchHint));
  grpAlarm->setTitle(Txt(GrpAlarm));
  const TTextId rows[6] = {Label1InputSwitch, Label2BypassSwitch, Label3OutputSwitch,
                           Label4MaintSwitch, Label5InputSupply,  Label6UpsSupply};
  for (int i = 0; i < 6; ++i) Label[i]->setText(Txt(rows[i]));

  SharedTexts.PortOpen = Txt(PortOpenButton);
  SharedTexts.PortClose = Txt(PortCloseButton);
  SharedTexts.LinkSuffix = Txt(PortLinkSuffix);
  SharedTexts.PortClosed = Txt(PortClosedStatus);
  SharedTexts.PollingPaused = Txt(PollingPausedStatus);
  SharedTexts.PortOpenFailed = Txt(PortOpenFailed);
  SharedTexts.NoSupply = Txt(SupplyNone);
  SharedTexts.MainsSupply = Txt(SupplyMains);
  SharedTexts.BatterySupply = Txt(SupplyBattery);
  SharedTexts.InverterSupply = Txt(SupplyInverter);
  SharedTexts.BypassSupply = Txt(SupplyBypass);
  SharedTexts.Eco = Txt(SupplyEco);
  StatusPanel[2]->setText(Txt(VersionPrefix) + QStringLiteral(TESSARO_VERSION));

  // Qt's own texts, and every other open window, follow at once.
  FQtTexts->Apply(FCtx.Settings.Language);
}

void TFrmMain::mni401Click() {
  FCtx.Settings.Language = 1;
  ApplyLanguage();
}

void TFrmMain::mni402Click() {
  FCtx.Settings.Language = 0;
  ApplyLanguage();
}

// ---------------------------------------------------------------- layout

void TFrmMain::HideSwitchRows() {
  for (int i = 1; i < 4; ++i) {
    stOn[i]->hide();
    stOff[i]->hide();
    Label[i]->hide();
    SwitchSlash[i]->hide();
  }
  AdvPanel9->hide();
}

void TFrmMain::ApplyProtocolLayout() {
  const int protocol = FCtx.Settings.PortInfo.Protocol;
  lblProtocol->setText(QString::number(protocol));
  if (protocol == 0 || protocol == 2 || protocol == 3) {
    AdvPanel6->show();
    AdvPanel9->show();
    PageControl2->tabBar()->show();
  } else if (protocol == 1) {
    AdvPanel6->hide();
    AdvPanel9->show();
    PageControl2->tabBar()->hide();
    PageControl2->setCurrentIndex(0);
  }
}

// ---------------------------------------------------------------- device tree

int TFrmMain::NodeIcon(const QTreeWidgetItem* item) { return item ? item->data(0, IconRole).toInt() : -1; }

int TFrmMain::AbsoluteIndex(const QTreeWidgetItem* item) {
  return item ? item->data(0, AbsIndexRole).toInt() : -1;
}

QTreeWidgetItem* TFrmMain::NodeAt(int absoluteIndex) const {
  const int perDevice = 1 + FNodeCaption.CaptionCount;
  if (absoluteIndex < 0) return nullptr;
  QTreeWidgetItem* device = TreeView1->topLevelItem(absoluteIndex / perDevice);
  if (!device) return nullptr;
  const int child = absoluteIndex % perDevice;
  return child == 0 ? device : device->child(child - 1);
}

namespace {
// A tree with columns sized to their contents measures every node again
// whenever one changes: nodes are only touched when what they show changes.
void SetNodeIcon(QTreeWidgetItem* item, int index) {
  const QVariant shown = item->data(0, IconRole);
  if (shown.isValid() && shown.toInt() == index) return;
  item->setIcon(0, TreeIcon(index));
  item->setData(0, IconRole, index);
}

void SetNodeText(QTreeWidgetItem* item, const QString& text) {
  if (item->text(0) != text) item->setText(0, text);
}
}  // namespace

void TFrmMain::RebuildTree() {
  TDeviceList& list = FCtx.DeviceList;
  const QSignalBlocker programmatic(TreeView1);  // a rebuild is not a click
  TreeView1->clear();
  int absolute = 0;
  for (int k = 1; k <= list.Count; ++k) {
    TDeviceNode& entry = list.Nodes[k];
    auto* node = new QTreeWidgetItem(TreeView1);
    node->setText(0, ShownDeviceName(entry.Name));
    SetNodeIcon(node, IconLost);
    node->setData(0, AbsIndexRole, absolute);
    // The list file keeps one byte; the tree itself works with the full index.
    entry.NodeIndex = static_cast<uint8_t>(absolute);
    ++absolute;
    for (int c = 0; c < FNodeCaption.CaptionCount; ++c) {
      auto* child = new QTreeWidgetItem(node);
      child->setText(0, FNodeCaption.Captions[c]);
      SetNodeIcon(child, IconPage);
      child->setData(0, AbsIndexRole, absolute++);
    }
    node->setExpanded(false);
  }
  if (list.Count == 0) {
    FidxSelItem = 0;
    FSelDevAddr = 0;
    FidxSelNode = -1;
    return;
  }
  if (FidxSelItem <= 0) FidxSelItem = 1;
  if (FidxSelItem > list.Count) FidxSelItem = list.Count;
  FSelDevAddr = list.Nodes[FidxSelItem].Address;
  QTreeWidgetItem* selected = TreeView1->topLevelItem(FidxSelItem - 1);
  FidxSelNode = AbsoluteIndex(selected);
  TreeView1->setCurrentItem(selected);
}

void TFrmMain::KeepHighlightOnCurrent() {
  QTreeWidgetItem* current = TreeView1->currentItem();
  const QList<QTreeWidgetItem*> selection = TreeView1->selectedItems();
  if (selection.isEmpty()) {
    // Ctrl+click or Ctrl+Space would leave the device selected without a highlight.
    if (current) current->setSelected(true);
  } else if (selection.front() != current) {
    TreeView1->setCurrentItem(selection.front());
  }
}

void TFrmMain::TreeView1Click() {
  QTreeWidgetItem* item = TreeView1->currentItem();
  if (!item) return;
  FidxSelNode = AbsoluteIndex(item);
  QTreeWidgetItem* device = item->parent() ? item->parent() : item;
  const int position = TreeView1->indexOfTopLevelItem(device) + 1;
  if (position >= 1 && position <= FCtx.DeviceList.Count) {
    FidxSelItem = position;
    FSelDevAddr = FCtx.DeviceList.Nodes[position].Address;
  } else {
    FidxSelItem = 0;
    FSelDevAddr = 0;
  }
  const bool graphChild = item->parent() && item->parent()->indexOfChild(item) == 1;
  const int target = graphChild ? 1 : 0;
  if (PageControl1->currentIndex() == target) PageControl1->setCurrentIndex(1 - target);
  PageControl1->setCurrentIndex(target);
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TreeView1->viewport()) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
      auto* me = static_cast<QMouseEvent*>(event);
      // A click on an empty area keeps the selection (and re-enters its page).
      if (!TreeView1->itemAt(me->position().toPoint())) return true;
    } else if (event->type() == QEvent::MouseButtonRelease) {
      auto* me = static_cast<QMouseEvent*>(event);
      if (me->button() == Qt::LeftButton) {
        // After the view has moved the selection to the clicked node
        QMetaObject::invokeMethod(this, &TFrmMain::TreeView1Click, Qt::QueuedConnection);
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TFrmMain::RefreshNode(int k) {
  TDeviceList& list = FCtx.DeviceList;
  if (k <= 0 || k > list.Count) return;
  const TDeviceNode& entry = list.Nodes[k];
  QTreeWidgetItem* node = TreeView1->topLevelItem(k - 1);
  if (!node || entry.Address == 0) return;
  TUpsInfo& r = FCtx.UpsInfo[entry.Address];
  const int language = FCtx.Settings.Language;
  const QString name = ShownDeviceName(entry.Name);
  auto caption = [&](const std::string& text) {
    return name + QStringLiteral("  (") + QString::fromStdString(text) + QLatin1Char(')');
  };
  if (!FEngine.PortIsOpen()) {
    SetNodeIcon(node, IconLost);
    SetNodeText(node, caption(StateText(StateCommLost, language)));
    ClearLiveValues(r);
    return;
  }
  switch (r.CommState) {
    case 0:
      SetNodeIcon(node, (r.AlarmCount > 0 || r.StateCode == StateMaintBypass) ? IconAlarm : IconOk);
      SetNodeText(node, r.StateCode < 0 ? name : caption(StateText(r.StateCode, language)));
      break;
    case 1:
      SetNodeIcon(node, IconAlarm);
      SetNodeText(node, caption(EventText(EventCommError, language)));
      break;
    case 2:
      SetNodeIcon(node, IconLost);
      SetNodeText(node, caption(EventText(EventCommLost, language)));
      ClearLiveValues(r);
      break;
    default:
      break;
  }
}

void TFrmMain::RefreshView() {
  int overlay = 0;
  for (int k = 1; k <= FCtx.DeviceList.Count; ++k) {
    RefreshNode(k);
    if (FCtx.DeviceList.Nodes[k].Address == FSelDevAddr) overlay = k;
  }
  const TUpsInfo& r = FCtx.UpsInfo[FSelDevAddr];
  ShowInputs(r);
  ShowOutputs(r);
  ShowStatus(r);
  ShowAlarms(r);
  ShowSketch(r);
  if (FCtx.Display.DebugShow) FillDebugEdits(overlay);
}

// ---------------------------------------------------------------- live display

QString TFrmMain::FormatFixed(double value, int decimals) {
  if (std::isnan(value)) return QStringLiteral("NAN");
  if (std::isinf(value)) return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
  constexpr int precision = 5;
  double rounded = value;
  if (value != 0) {
    const int digits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
    if (digits > precision) {
      // Too many digits for the precision: scientific, as fixed-point cannot hold it.
      return QLocale::system().toString(value, 'E', precision - 1);
    }
    const double scale = std::pow(10.0, precision - digits);
    rounded = std::round(value * scale) / scale;
  }
  const double unit = std::pow(10.0, decimals);
  rounded = std::round(rounded * unit) / unit;
  if (rounded == 0) rounded = 0;  // no "-0.0"
  QString text = QString::number(rounded, 'f', decimals);
  const QString point = QLocale::system().decimalPoint();
  if (point != QLatin1String(".")) text.replace(QLatin1Char('.'), point);
  return text;
}

QString TFrmMain::Hex4(uint16_t value) { return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper(); }

void TFrmMain::AddChartPoints(TPhaseChart& chart, double a, double b, double c) {
  const double values[3] = {a, b, c};
  for (int i = 0; i < 3; ++i) {
    const QString time = QString::fromStdString(FormatDateTime(FCtx.Clock.Now()).substr(11));
    QLineSeries* s = chart.Series[i];
    const int x = s->count();
    s->append(x, values[i]);
    if (i == 0) {
      if (chart.Times.size() <= x) chart.Times.resize(x + 1);
      chart.Times[x] = time;
    }
  }
  bool wrap = false;
  for (QLineSeries* s : chart.Series) wrap = wrap || (s->count() > 0 && s->count() % 120 == 0);
  if (wrap) {
    for (QLineSeries* s : chart.Series) s->clear();
    chart.Times.clear();
  }
  // Bottom axis labels: the time of every 20th point
  const int count = chart.Series[0]->count();
  const QStringList old = chart.AxisX->categoriesLabels();
  QStringList wanted;
  for (int x = 20; x < count; x += 20) wanted << chart.Times.value(x) + QStringLiteral("\u200b").repeated(x / 20);
  if (old != wanted) {
    for (const QString& label : old) chart.AxisX->remove(label);
    int x = 20;
    for (const QString& label : wanted) {
      chart.AxisX->append(label, x);
      x += 20;
    }
    chart.AxisX->setRange(1, 120);
  }
}

void TFrmMain::ShowInputs(const TUpsInfo& r) {
  try {
    const TMeasureBlock& m = r.Measure;
    const double v[3] = {m.InputVoltA, m.InputVoltB, m.InputVoltC};
    for (int i = 0; i < 3; ++i) iAGInPutV[i]->SetValue(v[i]);
    for (int i = 0; i < 3; ++i) stInputV[i]->setText(FormatFixed(v[i], 1) + QStringLiteral(" V"));
    AdvPanel1->SetValueText(FormatFixed(m.OutputFreq, 1));
    AddChartPoints(Chart1, v[0], v[1], v[2]);
  } catch (const std::exception&) {
    // The step ends; the refresh goes on.
  }
}

void TFrmMain::ShowOutputs(const TUpsInfo& r) {
  try {
    const TMeasureBlock& m = r.Measure;
    const double v[3] = {m.OutputVoltA, m.OutputVoltB, m.OutputVoltC};
    const double load[3] = {m.LoadA, m.LoadB, m.LoadC};
    for (int i = 0; i < 3; ++i) {
      iAGOutPutV[i]->SetValue(v[i]);
      iLedBar[i]->SetValue(load[i]);
    }
    for (int i = 0; i < 3; ++i) {
      stOutputV[i]->setText(FormatFixed(v[i], 1) + QStringLiteral(" V"));
      stLoadPer[i]->setText(FormatFixed(load[i], 0) + QStringLiteral(" %"));
    }
    AdvPanel4->SetValueText(FormatFixed(m.DcInputVolt, 1));
    AdvPanel9->SetValueText(QString::number(m.BattBackupTime));
    AdvPanel6->SetValueText(QString::number(m.BattCapacity));
    AddChartPoints(Chart2, v[0], v[1], v[2]);
  } catch (const std::exception&) {
  }
}

void TFrmMain::SetPicture(int stateCode) {
  const int wanted = PictureFor(stateCode);
  if (wanted == VisiblePicture()) return;
  for (TUpsDiagram* d : GIFs) d->hide();
  if (wanted >= 0) GIFs[wanted]->show();
}

int TFrmMain::VisiblePicture() const {
  for (int i = 0; i < 7; ++i) {
    if (!GIFs[i]->isHidden()) return i;
  }
  return -1;
}

void TFrmMain::ShowStatus(const TUpsInfo& r) {
  const int language = FCtx.Settings.Language;
  SetPicture(r.StateCode);
  stComStatus->setText(QString::fromStdString(StateText(r.StateCode == -1 ? StateCommLost : r.StateCode, language)));

  const uint8_t flags[4] = {r.InputSwitch, r.BypassSwitch, r.OutputSwitch, r.MaintSwitch};
  for (int i = 0; i < 4; ++i) {
    stOn[i]->setEnabled(flags[i] == 1);
    stOff[i]->setEnabled(flags[i] != 1);
  }
  switch (r.InputSupply) {
    case 0: stInputPowerSupply->setText(SharedTexts.NoSupply); break;
    case 1: stInputPowerSupply->setText(SharedTexts.MainsSupply); break;
    case 2: stInputPowerSupply->setText(SharedTexts.BatterySupply); break;
    default: break;
  }
  switch (r.UpsSupply) {
    case 0: stUpsPowerSupply->setText(SharedTexts.NoSupply); break;
    case 1: stUpsPowerSupply->setText(SharedTexts.InverterSupply); break;
    case 2: stUpsPowerSupply->setText(r.Params.WorkMode == 1 ? SharedTexts.Eco : SharedTexts.BypassSupply); break;
    default: break;
  }
  const TStatusBlock& s = r.Status;
  lblCMMState->setText(Hex4(s.CmmState1) + QLatin1Char('-') + Hex4(s.CmmState2));
  lblINVState->setText(Hex4(s.InvState1) + QLatin1Char('-') + Hex4(s.InvState2));
  lblCMMAlarm->setText(Hex4(s.CmmAlarm1) + QLatin1Char('-') + Hex4(s.CmmAlarm2));
  lblINVAlarm->setText(Hex4(s.InvAlarm1) + QLatin1Char('-') + Hex4(s.InvAlarm2));
  lblUpsState->setText(QString::number(s.UpsState) + QLatin1Char('(') + QString::number(r.StateCode) + QLatin1Char(')'));
  const int protocol = FCtx.Settings.PortInfo.Protocol;
  if (protocol == 0 || protocol == 2) {
    grpCode->setFixedWidth(222);
    lbSysState->setText(Hex4(s.SysState));
    lbSysAlarm->setText(Hex4(s.SysAlarm));
  } else {
    grpCode->setFixedWidth(170);
    lbSysState->clear();
    lbSysAlarm->clear();
  }
}

void TFrmMain::ShowAlarms(const TUpsInfo& r) {
  QStringList lines;
  const int count = std::min<int>(r.AlarmCount, MaxAlarms);
  for (int i = 0; i < count; ++i) {
    const std::string text = AlarmText(r.AlarmCodes[i], FCtx.Settings.Language);
    if (!text.empty()) lines << QString::fromStdString(text);
  }
  const QString joined = lines.join(QLatin1Char('\n'));
  if (MemoAlarm->toPlainText() != joined) MemoAlarm->setPlainText(joined);
}

void TFrmMain::ShowSketch(const TUpsInfo& r) {
  const int shown = r.CommState != 0 ? static_cast<int>(StateCommLost) : r.StateCode;
  if (shown != FSketchState) {
    FSketchState = shown;
    SetPicture(shown);
    stComStatus->setText(QString::fromStdString(StateText(shown, FCtx.Settings.Language)).trimmed());
  }

  const int protocol = FCtx.Settings.PortInfo.Protocol;
  const TStatusBlock& s = r.Status;
  if (r.CommState != 0 || !(protocol == 0 || protocol == 2 || protocol == 3)) {
    SetShown(PipCharge, false);
    PipCharge->SetFlowOn(false);
    return;
  }
  const bool battFault = (s.CmmAlarm2 & (1u << 13)) || (s.CmmAlarm2 & (1u << 14));
  if (battFault || shown == StateEpo || shown == StateFault) {
    SetShown(PipCharge, true);
    PipCharge->SetFlowOn(false);
    return;
  }
  SetShown(PipCharge, true);
  // The pipe lies over the picture; keep it on top of whichever is shown.
  PipCharge->raise();
  const TMeasureBlock& m = r.Measure;
  if (s.CmmState1 & (1u << 8)) {  // discharging
    PipCharge->SetReverse(true);
    PipCharge->SetInterval(500);
    if (m.BattDischargeCurr > 0) {
      const int c = m.BattDischargeCurr > 20 ? 20 : static_cast<int>(std::nearbyint(m.BattDischargeCurr));
      PipCharge->SetInterval(500 - 22 * c);
      PipCharge->SetFlowOn(true);
    } else {
      PipCharge->SetFlowOn(false);
    }
  } else {  // charging
    PipCharge->SetReverse(false);
    PipCharge->SetInterval(500);
    if (m.BattChargeCurr > 0) {
      const int c = m.BattChargeCurr > 120 ? 120 : static_cast<int>(std::nearbyint(m.BattChargeCurr));
      PipCharge->SetInterval(500 - 4 * c);
      PipCharge->SetFlowOn(true);
    } else {
      PipCharge->SetFlowOn(false);
    }
  }
}

// ---------------------------------------------------------------- timer

void TFrmMain::Timer1Timer() {
  FCtx.Display.TimerStats[0] = Timer1.interval();
  ++FCtx.Display.TimerStats[10];
  HousekeepingPass();
}

void TFrmMain::HousekeepingPass() {
  UpdateDebugOverlay();
  if (FEngine.PortIsOpen()) {
    StatusPanel[0]->setText(QString::fromStdString(FCtx.Settings.PortInfo.ComName) + SharedTexts.LinkSuffix);
    btnCom->setText(SharedTexts.PortClose);
  } else {
    StatusPanel[0]->setText(SharedTexts.PortClosed);
    btnCom->setText(SharedTexts.PortOpen);
  }
  // A log that cannot be written: its first failure and its recovery, in full
  // on hover. While the trace window's manual mode holds polling the values
  // shown stop changing, so that comes first.
  FCtx.StoreHealth.Poll();
  for (const std::string& message : FCtx.StoreHealth.TakeMessages()) FStoreMessage = QString::fromStdString(message);
  const bool paused = FCtx.Vars.Paused != 0;
  const QString middle = paused ? SharedTexts.PollingPaused : FStoreMessage;
  if (StatusPanel[1]->text() != middle) {
    StatusPanel[1]->setText(middle);
    StatusPanel[1]->setToolTip(middle);
    StatusPanel[1]->setStyleSheet(paused ? QStringLiteral("QLabel { color: #b34700; font-weight: bold; }") : QString());
  }
  if (FCtx.Display.TxLed > 0) {
    --FCtx.Display.TxLed;
    iLedTx->SetLit(true);
  } else {
    iLedTx->SetLit(false);
  }
  if (FCtx.Display.RxLed > 0) {
    --FCtx.Display.RxLed;
    iLedRx->SetLit(true);
  } else {
    iLedRx->SetLit(false);
  }
  const int protocol = FCtx.Settings.PortInfo.Protocol;
  const bool modbus = protocol == 2 || protocol == 3;
  mni101->setVisible(modbus);
  mni300->menuAction()->setVisible(modbus);
  mni301->setVisible(modbus);
  mniTurnOn->setVisible(modbus);

  if (FSlowDiv < 5) {
    ++FSlowDiv;
    return;
  }
  FSlowDiv = 0;
  ++FCtx.Display.TimerStats[16];
  StatusPanel[3]->setText(QString::fromStdString(FormatDateTime(FCtx.Clock.Now()).substr(11)));
  RefreshView();
}

void TFrmMain::UpdateDebugOverlay() {
  const bool show = FCtx.Display.DebugShow;
  if (FDebugAction->isVisible() != show) FDebugAction->setVisible(show);
  for (QWidget* w : std::initializer_list<QWidget*>{edtTreeData, edtArrEq, edtNode, lblUpsState}) SetShown(w, show);
  if (!show) return;
  const uint8_t active = FEngine.ActiveAddress();
  const TUpsInfo& cur = FCtx.UpsInfo[active];
  const TUpsInfo& sel = FCtx.UpsInfo[FSelDevAddr];
  lblDebug->setText(QStringLiteral("Cur[%1]:%2  Dev[%3]:%4%;R:%5; %6:%7/%8")
                        .arg(active)
                        .arg(cur.TotalCount)
                        .arg(FSelDevAddr)
                        .arg(sel.SuccessRate)
                        .arg(sel.FailStreak)
                        .arg(sel.ReceiveCount)
                        .arg(sel.SuccessCount)
                        .arg(sel.TotalCount));
}

void TFrmMain::FillDebugEdits(int overlayPosition) {
  const TDeviceList& list = FCtx.DeviceList;
  QString first = QStringLiteral("Items:") + QString::number(overlayPosition);
  if (overlayPosition >= 1 && overlayPosition <= list.Count) {
    const TDeviceNode& e = list.Nodes[overlayPosition];
    first += QStringLiteral(" Name:") + FullDeviceName(e.Name) + QStringLiteral(" Addr:") +
             QString::number(e.Address) + QStringLiteral(" Node:") + QString::number(e.NodeIndex);
  }
  edtTreeData->setText(first);
  const QList<QTreeWidgetItem*> selection = TreeView1->selectedItems();
  edtArrEq->setText(QStringLiteral("Select:") + QString::number(FSelDevAddr) + QStringLiteral(" Addr:") +
                    QString::number(FCtx.UpsInfo[FSelDevAddr].Address) +
                    (selection.isEmpty() ? QStringLiteral(" SelNode: -1")
                                         : QStringLiteral(" SelNode:") + QString::number(AbsoluteIndex(selection.front()))));
  edtNode->setText(QStringLiteral("FidxSelNode=") + QString::number(FidxSelNode) + QStringLiteral("FSelDevAddr=") +
                   QString::number(FSelDevAddr));
}

// ---------------------------------------------------------------- buttons and menus

void TFrmMain::NotAvailable() { ShowMessage(this, Txt(TTextId::NotAvailableYet)); }

void TFrmMain::ReportSaveFailure(const char* what) {
  ShowMessage(this, Txt(TTextId::MsgSaveFailed) + QLatin1Char('\n') + QString::fromLocal8Bit(what));
}

void TFrmMain::btnSearchClick() {
  TFrmEquipSearch search(FCtx, FEngine, this);
  search.exec();
}

void TFrmMain::btnNewClick() {
  TFrmNewEquip dialog(FCtx.DeviceList, FCtx.Settings.Language, this);
  dialog.exec();
}

void TFrmMain::btnDeleteClick() {
  if (!TreeView1->currentItem()) return;
  try {
    FCtx.DeviceList.DeleteDevice(FSelDevAddr);
  } catch (const std::system_error& e) {
    ReportSaveFailure(e.what());
  }
}

void TFrmMain::btnPropertyClick() {
  if (!TreeView1->currentItem()) return;
  TFrmProperty dialog(FCtx.DeviceList, FCtx.Settings.Language, FidxSelItem, this);
  dialog.exec();
}

void TFrmMain::btnComClick() {
  if (btnCom->text() == SharedTexts.PortOpen) {
    FCtx.LoadSettings();
    try {
      FEngine.OpenCommPort();
    } catch (const ECommsError& e) {
      ShowMessage(this, QString::fromStdString(e.what()));
    }
  } else {
    FEngine.CloseCommPort();
  }
}

void TFrmMain::mni101Click() {
  if (FCtx.UpsInfo[FSelDevAddr].CommState != 0) {
    ShowMessage(this, Txt(TTextId::DeviceNotLinked));
    return;
  }
  if (!FFrmUserSet) FFrmUserSet = new TFrmUserSet(ControlHost(), this);
  FFrmUserSet->show();
  FFrmUserSet->raise();
  FFrmUserSet->activateWindow();
}

TControlHost TFrmMain::ControlHost() {
  return {FCtx, [this] { return FSelDevAddr; }, [this] { return FEngine.PortIsOpen(); }};
}

void TFrmMain::mni301Click() {
  if (!PasswordGate(this, FCtx)) return;
  TFrmTest dialog(ControlHost(), this);
  dialog.exec();
}

void TFrmMain::mniTurnOnClick() {
  if (!PasswordGate(this, FCtx)) return;
  TfrmTrunOn dialog(ControlHost(), this);
  dialog.exec();
}

void TFrmMain::mni102Click() {
  TFrmSoftwarePara dialog(FCtx, FEngine, [this] { ApplyProtocolLayout(); }, this);
  dialog.exec();
}

void TFrmMain::mni103Click() { close(); }

void TFrmMain::mni201Click() { LogMenu->OpenEventLog(); }
void TFrmMain::mni202Click() { LogMenu->OpenDataLog(); }
void TFrmMain::mni203Click() { LogMenu->OpenLogSetting(); }

void TFrmMain::mni501Click() {
  TFrmAbout about(FCtx.Settings.Language, QStringLiteral(TESSARO_VERSION), [this] { ShowTraceWindow(); },
                  [this] { HideTraceWindow(); }, this);
  about.exec();
}

void TFrmMain::ShowTraceWindow() {
  if (!FTraceWindow) FTraceWindow = new TFrmCom(FEngine);
  FTraceWindow->show();
  FTraceWindow->raise();
  FTraceWindow->activateWindow();
}

void TFrmMain::HideTraceWindow() {
  if (FTraceWindow) FTraceWindow->hide();
}

void TFrmMain::ExitWithoutQuestion() {
  // Not through close(): while the exit question is open the window is
  // already closing, and a second close() would be dropped.
  FinishExit();
  close();
}

void TFrmMain::FinishExit() {
  if (FExitConfirmed) return;
  FExitConfirmed = true;
  Timer1.stop();
  if (const std::error_code ec = FCtx.SaveSettings()) {
    ShowMessage(this, QString::fromStdString(ec.message()));
  }
  FEngine.CloseCommPort();
  HideTraceWindow();
  emit Closed();
}

void TFrmMain::closeEvent(QCloseEvent* event) {
  // A stop request may have finished the exit while the question was open.
  if (!FExitConfirmed && !AskYesNo(this, Txt(TTextId::ExitQuestion)) && !FExitConfirmed) {
    event->ignore();
    return;
  }
  FinishExit();
  event->accept();
}

}  // namespace tessaro
