#include "ui/main/FrmMain.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include <cfenv>
#include <cstdio>
#include <utility>
#include <system_error>

#include "control/Control.h"
#include "core/ProtocolTraits.h"
#include "core/TrayState.h"
#include "core/Version.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "serial/PortTexts.h"
#include "serial/SerialPort.h"
#include "ui/config/ControlHost.h"
#include "ui/config/FrmPSW.h"
#include "ui/config/FrmTest.h"
#include "ui/config/FrmTrunOn.h"
#include "ui/config/FrmUserSet.h"
#include "ui/logs/LogMenu.h"
#include "ui/main/AlarmPanel.h"
#include "ui/main/DeviceTreePane.h"
#include "ui/main/FrmAbout.h"
#include "ui/main/FrmEquipSearch.h"
#include "ui/main/FrmNewEquip.h"
#include "ui/main/FrmProperty.h"
#include "ui/main/LiveValuesPanel.h"
#include "ui/main/NameForm.h"
#include "ui/main/QtTexts.h"
#include "ui/main/SketchPanel.h"
#include "ui/main/StatusStrip.h"
#include "ui/main/SwitchPanel.h"
#include "ui/main/Notifier.h"
#include "ui/main/TrayIcon.h"
#include "ui/main/TrendCharts.h"
#include "ui/settings/FrmSoftwarePara.h"
#include "ui/trace/FrmCom.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/Lamp.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

namespace {

const QColor Lime(0x00, 0xff, 0x00);

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
  FTreePane = new TDeviceTreePane(FCtx, this);
  connect(FTreePane->SearchButton(), &QPushButton::clicked, this, &TFrmMain::btnSearchClick);
  connect(FTreePane->NewButton(), &QPushButton::clicked, this, &TFrmMain::btnNewClick);
  connect(FTreePane->DeleteButton(), &QPushButton::clicked, this, &TFrmMain::btnDeleteClick);
  connect(FTreePane->PropertyButton(), &QPushButton::clicked, this, &TFrmMain::btnPropertyClick);
  connect(FTreePane, &TDeviceTreePane::PageChosen, this, &TFrmMain::ShowPage);
  hbox->addWidget(FTreePane);
  PageControl1 = new QStackedWidget(central);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  PageControl1->addWidget(BuildRealTimePage());
  FCharts = new TTrendCharts(this);
  PageControl1->addWidget(FCharts);
  hbox->addWidget(PageControl1, 1);
  setCentralWidget(central);
  FStrip = new TStatusStrip(statusBar());
  resize(1040, 720);

  // Main window creation, in start-up order. A division by zero yields an
  // infinity or not-a-number, which is the default of IEEE arithmetic here.
  std::feclearexcept(FE_ALL_EXCEPT);
  FCtx.Display.DebugShow = false;
  FSwitches->HideSwitchRows();
  FLiveValues->HideBackupBox();
  FCtx.DeviceList.OnRebuildTree = [this] { FTreePane->RebuildTree(); };
  FCtx.Start();  // directories, settings, log stores, device list (builds the tree), device table
  LogMenu = new TLogMenu(FCtx, FEngine, this);
  FQtTexts = new TQtTexts(this);
  ApplyLanguage();
  ApplyProtocolLayout();
  PageControl1->setCurrentIndex(0);
  PageControl2->setCurrentIndex(0);
  RestoreLayout();
  UpdateDebugOverlay();

  // One housekeeping pass per tick: the pace of every 11th tick of a 10 ms
  // timer, without waking the program 100 times a second to count.
  Timer1.setInterval(HousekeepingInterval);
  connect(&Timer1, &QTimer::timeout, this, &TFrmMain::Timer1Timer);
  Timer1.start();

  FTray = new TTrayIcon(this, [this] { mni103Click(); }, this);

  // Whatever window sent it, and even once that window is closed, the
  // outcome of a write shows here.
  FCommandObserver = FCtx.Commands.Subscribe([this](const TTrackedCommand& command) {
    if (command.State == TCommandState::Pending) return;
    const auto language = static_cast<uint8_t>(FCtx.Settings.Language);
    const QString line = QString::fromStdString(OutcomeLine(FCtx, command, language));
    statusBar()->showMessage(line, 15000);
    const bool done = command.State == TCommandState::Confirmed || command.State == TCommandState::ConfirmedLate;
    if (FNotifier) FNotifier->CommandOutcome(line, !done, language);
  });
}

TFrmMain::~TFrmMain() {
  FCtx.Commands.Unsubscribe(FCommandObserver);
  Timer1.stop();
  FCtx.DeviceList.OnRebuildTree = nullptr;
  delete FTraceWindow;
  delete FStrip;
}

QString TFrmMain::Txt(TTextId id) const { return LangText(id, FCtx.Settings.Language); }

uint8_t TFrmMain::SelDevAddr() const { return FTreePane->SelDevAddr(); }
int32_t TFrmMain::IdxSelNode() const { return FTreePane->IdxSelNode(); }
int32_t TFrmMain::IdxSelItem() const { return FTreePane->IdxSelItem(); }
int TFrmMain::VisiblePicture() const { return FSketch->VisiblePicture(); }

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
  // Named, so that what reaches the menus from outside finds them by name.
  const std::pair<QObject*, const char*> named[] = {
      {mni100, "mni100"}, {mni101, "mni101"}, {mni102, "mni102"}, {mni103, "mni103"}, {mni200, "mni200"},
      {mni201, "mni201"}, {mni202, "mni202"}, {mni203, "mni203"}, {mni300, "mni300"}, {mni301, "mni301"},
      {mniTurnOn, "mniTurnOn"}, {mni400, "mni400"}, {mni401, "mni401"}, {mni402, "mni402"}, {mni500, "mni500"},
      {mni501, "mni501"}};
  for (const auto& [object, name] : named) object->setObjectName(QString::fromLatin1(name));
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
  const std::pair<QAction*, const char*> named[] = {
      {bsSkinSpeedButton1, "bsSkinSpeedButton1"}, {bsSkinSpeedButton2, "bsSkinSpeedButton2"},
      {bsSkinSpeedButton3, "bsSkinSpeedButton3"}, {bsSkinSpeedButton4, "bsSkinSpeedButton4"},
      {bsSkinSpeedButton5, "bsSkinSpeedButton5"}, {bsSkinSpeedButton8, "bsSkinSpeedButton8"},
      {bsSkinSpeedButton6, "bsSkinSpeedButton6"}, {bsSkinSpeedButton7, "bsSkinSpeedButton7"}};
  for (const auto& [action, name] : named) action->setObjectName(QString::fromLatin1(name));

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

QWidget* TFrmMain::BuildRealTimePage() {
  auto* page = new QWidget(this);
  auto* v = new QVBoxLayout(page);
  v->setContentsMargins(6, 6, 6, 4);
  v->setSpacing(6);
  PageControl2 = new QTabWidget(page);
  PageControl2->setObjectName(QStringLiteral("PageControl2"));
  PageControl2->setDocumentMode(false);
  FLiveValues = new TLiveValuesPanel(this);
  FSketch = new TSketchPanel(this);
  PageControl2->addTab(FLiveValues, QString());
  PageControl2->addTab(FSketch, QString());
  v->addWidget(PageControl2, 1);

  auto* strip = new QWidget(this);
  auto* h = new QHBoxLayout(strip);
  h->setContentsMargins(0, 0, 0, 0);
  h->setSpacing(6);
  FSwitches = new TSwitchPanel(strip);
  FAlarms = new TAlarmPanel(strip);
  h->addWidget(FSwitches, 0);
  h->addWidget(FAlarms, 1);
  strip->setFixedHeight(118);
  v->addWidget(strip);
  return page;
}

// ---------------------------------------------------------------- language

void TFrmMain::ApplyLanguage() {
  using enum TTextId;
  const int language = FCtx.Settings.Language;
  FTreePane->ApplyLanguage();

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
  PageControl2->setTabText(0, Txt(TabData));
  PageControl2->setTabText(1, Txt(TabSketch));
  FLiveValues->ApplyLanguage(language);
  FCharts->ApplyLanguage(language);
  FSwitches->ApplyLanguage(language);
  FAlarms->ApplyLanguage(language);

  SharedTexts.PortOpen = Txt(PortOpenButton);
  SharedTexts.PortClose = Txt(PortCloseButton);
  SharedTexts.LinkSuffix = Txt(PortLinkSuffix);
  SharedTexts.PortClosed = Txt(PortClosedStatus);
  SharedTexts.PollingPaused = Txt(PollingPausedStatus);
  FStrip->ShowVersion(Txt(VersionPrefix) + QStringLiteral(TESSARO_VERSION));

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

void TFrmMain::ApplyProtocolLayout() {
  const int protocol = FCtx.Settings.PortInfo.Protocol;
  lblProtocol->setText(QString::number(protocol));
  const TProtocolTraits& traits = ProtocolTraits(static_cast<uint8_t>(protocol));
  if (!traits.Known) return;
  FLiveValues->ApplyProtocol(traits);
  PageControl2->tabBar()->setVisible(traits.Sketch);
  if (!traits.Sketch) PageControl2->setCurrentIndex(0);
}

void TFrmMain::ShowPage(int page) {
  // Leaving and entering again re-enters the page even when it is the one shown.
  if (PageControl1->currentIndex() == page) PageControl1->setCurrentIndex(1 - page);
  PageControl1->setCurrentIndex(page);
}

void TFrmMain::RefreshView() {
  FEngine.ClearUnheardDevices();
  const int overlay = FTreePane->RefreshNodes(FEngine.PortIsOpen());
  const TUpsInfo& r = FCtx.UpsInfo[FTreePane->SelDevAddr()];
  const int language = FCtx.Settings.Language;
  const TProtocolTraits& traits = ProtocolTraits(FCtx.Settings.PortInfo.Protocol);
  const QString time = QString::fromStdString(FormatDateTime(FCtx.Clock.Now()).substr(11));
  FLiveValues->ShowInputs(r);
  FCharts->AddInputs(r, time);
  FLiveValues->ShowOutputs(r);
  FLiveValues->ShowStale(StaleNote(FTreePane->SelDevAddr()));
  FCharts->AddOutputs(r, time);
  FSketch->ShowStatus(r, language, traits);
  FSwitches->ShowSwitches(r, language);
  FAlarms->ShowAlarms(r, language);
  FSketch->ShowSketch(r, language, traits);
  if (FCtx.Display.DebugShow) FTreePane->FillDebugEdits(overlay);
  FTray->Show(TrayState(FCtx.UpsInfo, FCtx.DeviceList, FEngine.PortIsOpen()), language,
              [this](const QString& text) { SayOnce(text); });
  if (FNotifier) FNotifier->Watch(FCtx, FEngine.PortIsOpen());
}

void TFrmMain::EnableNotifications() {
  if (FNotifier) return;
  FNotifier = new TNotifier(QDBusConnection::sessionBus(), this);
  FNotifier->Say = [this](const QString& text) { SayOnce(text); };
}

void TFrmMain::SayOnce(const QString& text) {
  // In the middle panel, where it stays: a passing message would hide the
  // panels meanwhile. On stderr too, for whoever started the program.
  FStoreMessage = text;
  FStrip->ShowMiddle(text, FCtx.Vars.Paused != 0);
  std::fprintf(stderr, "tessaro: %s\n", text.toUtf8().constData());
}

QString TFrmMain::StaleNote(uint8_t address) const {
  if (address == 0) return {};
  // Values still coming in after the link came up are current as far as they go.
  switch (FCtx.Freshness().Of(address)) {
    case TFreshness::Fresh:
    case TFreshness::Incomplete: return {};
    default: break;
  }
  const TUpsInfo& r = FCtx.UpsInfo[address];
  if (!r.LastAnswerMs) return Txt(TTextId::NoAnswerYet);
  const double ageDays = static_cast<double>(FCtx.Clock.MonotonicMs() - *r.LastAnswerMs) / 86400000.0;
  return Txt(TTextId::NoAnswerSince) + QString::fromStdString(FormatDateTime(FCtx.Clock.Now() - ageDays).substr(11));
}

// ---------------------------------------------------------------- timer

void TFrmMain::Timer1Timer() {
  FCtx.Display.TimerStats[0] = Timer1.interval();
  ++FCtx.Display.TimerStats[10];
  HousekeepingPass();
}

void TFrmMain::HousekeepingPass() {
  UpdateDebugOverlay();
  ShowPortState();
  // A log that cannot be written: its first failure and its recovery, in full
  // on hover. While the trace window's manual mode holds polling the values
  // shown stop changing, so that comes first.
  FCtx.StoreHealth.Poll();
  for (const std::string& message : FCtx.StoreHealth.TakeMessages()) FStoreMessage = QString::fromStdString(message);
  const bool paused = FCtx.Vars.Paused != 0;
  FStrip->ShowMiddle(paused ? SharedTexts.PollingPaused : FStoreMessage, paused);
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
  const bool commands = ProtocolTraits(FCtx.Settings.PortInfo.Protocol).TakesCommands;
  mni101->setVisible(commands);
  mni300->menuAction()->setVisible(commands);
  mni301->setVisible(commands);
  mniTurnOn->setVisible(commands);

  if (FSlowDiv < 5) {
    ++FSlowDiv;
    return;
  }
  FSlowDiv = 0;
  ++FCtx.Display.TimerStats[16];
  FStrip->ShowClock(QString::fromStdString(FormatDateTime(FCtx.Clock.Now()).substr(11)));
  RefreshView();
}

void TFrmMain::ShowPortState() {
  const int language = FCtx.Settings.Language;
  const bool open = FEngine.PortIsOpen();
  btnCom->setText(open ? SharedTexts.PortClose : SharedTexts.PortOpen);
  // Why it is closed, else a setting with which nothing is polled.
  QStringList reasons;
  if (!open && !FEngine.PortProblem().empty())
    reasons << QString::fromStdString(PortText(FEngine.PortProblem(), static_cast<uint8_t>(language)));
  for (const TSettingsProblem& problem : CheckSettings(FCtx.Settings))
    reasons << QString::fromStdString(problem.Text(language));
  const QString state =
      open ? QString::fromStdString(FCtx.Settings.PortInfo.ComName) + SharedTexts.LinkSuffix : SharedTexts.PortClosed;
  const QString separator = language == 1 ? QStringLiteral("；") : QStringLiteral("; ");
  FStrip->ShowPort(state, reasons.isEmpty() ? QString() : Txt(TTextId::ReasonSeparator) + reasons.join(separator),
                   !reasons.isEmpty());
}

void TFrmMain::UpdateDebugOverlay() {
  const bool show = FCtx.Display.DebugShow;
  if (FDebugAction->isVisible() != show) FDebugAction->setVisible(show);
  FTreePane->SetDebugShown(show);
  FSketch->SetDebugShown(show);
  if (!show) return;
  const uint8_t active = FEngine.ActiveAddress();
  const uint8_t selected = FTreePane->SelDevAddr();
  const TUpsInfo& cur = FCtx.UpsInfo[active];
  const TUpsInfo& sel = FCtx.UpsInfo[selected];
  lblDebug->setText(QStringLiteral("Cur[%1]:%2  Dev[%3]:%4%;R:%5; %6:%7/%8")
                        .arg(active)
                        .arg(cur.TotalCount)
                        .arg(selected)
                        .arg(sel.SuccessRate)
                        .arg(sel.FailStreak)
                        .arg(sel.ReceiveCount)
                        .arg(sel.SuccessCount)
                        .arg(sel.TotalCount));
}

// ---------------------------------------------------------------- buttons and menus

void TFrmMain::btnSearchClick() {
  TFrmEquipSearch search(FCtx, FEngine, this);
  search.exec();
}

void TFrmMain::btnNewClick() {
  TFrmNewEquip dialog(FCtx.DeviceList, FCtx.Settings.Language, this);
  dialog.exec();
}

void TFrmMain::btnDeleteClick() {
  if (!FTreePane->HasCurrent()) return;
  try {
    FCtx.DeviceList.DeleteDevice(FTreePane->SelDevAddr());
  } catch (const std::system_error& e) {
    ReportSaveFailure(this, FCtx.Settings.Language, e);
  }
}

void TFrmMain::btnPropertyClick() {
  if (!FTreePane->HasCurrent()) return;
  TFrmProperty dialog(FCtx.DeviceList, FCtx.Settings.Language, FTreePane->IdxSelItem(), this);
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
  if (FCtx.UpsInfo[FTreePane->SelDevAddr()].CommState != 0) {
    ShowMessage(this, Txt(TTextId::DeviceNotLinked));
    return;
  }
  if (!FFrmUserSet) FFrmUserSet = new TFrmUserSet(ControlHost(), this);
  FFrmUserSet->show();
  FFrmUserSet->raise();
  FFrmUserSet->activateWindow();
}

TControlHost TFrmMain::ControlHost() {
  return {FCtx, [this] { return FTreePane->SelDevAddr(); }, [this] { return FEngine.PortIsOpen(); }};
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

QString TFrmMain::LayoutPath() const { return QString::fromStdString(FCtx.DataDir + "Desktop.ini"); }

void TFrmMain::RestoreLayout() {
  const QSettings layout(LayoutPath(), QSettings::IniFormat);
  if (layout.contains(QStringLiteral("Main/Geometry")))
    restoreGeometry(layout.value(QStringLiteral("Main/Geometry")).toByteArray());
  // Only a tab the protocol shows.
  const int tab = layout.value(QStringLiteral("Main/LiveTab"), 0).toInt();
  if (tab > 0 && tab < PageControl2->count() && PageControl2->tabBar()->isVisibleTo(this))
    PageControl2->setCurrentIndex(tab);
}

void TFrmMain::SaveLayout() {
  // A layout that cannot be kept costs the next start its window size, nothing more.
  QSettings layout(LayoutPath(), QSettings::IniFormat);
  layout.setValue(QStringLiteral("Main/Geometry"), saveGeometry());
  layout.setValue(QStringLiteral("Main/LiveTab"), PageControl2->currentIndex());
  layout.sync();
}

void TFrmMain::FinishExit() {
  if (FExitConfirmed) return;
  FExitConfirmed = true;
  Timer1.stop();
  SaveLayout();
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
