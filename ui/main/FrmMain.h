#pragma once
// The main window: menu and tool bar, the device tree on the left, the live
// display (data gauges, the animated sketch, supply status and alarms) and the
// trend graphs on the right, the status bar, the port button and the two
// activity lamps. A thin view over TContext and TPollEngine, driven by its
// 10 ms timer.

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>

#include "logs/StoreHealth.h"
#include "ui/main/LangTable.h"

class QAction;
class QChart;
class QGroupBox;
class QLabel;
class QLineEdit;
class QLineSeries;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QCategoryAxis;
class QGraphicsSimpleTextItem;
class QValueAxis;

namespace tessaro {

class TContext;
class TPollEngine;
class TAngularGauge;
class TFlowPipe;
class TLamp;
class TLedBar;
class TLogMenu;
class TUpsDiagram;
class TValueBox;
class TValueText;
class TFrmUserSet;
class TQtTexts;
struct TControlHost;
struct TUpsInfo;

// Captions of the child nodes under every device node.
struct TNodeCaptionRec {
  std::array<QString, 10> Captions;
  int32_t CaptionCount = 2;
};

// One line chart with its three phase series and the time label of every x.
struct TPhaseChart {
  QChart* Chart = nullptr;
  std::array<QLineSeries*, 3> Series{};
  QCategoryAxis* AxisX = nullptr;
  QValueAxis* AxisY = nullptr;
  QGraphicsSimpleTextItem* AxisYTitle = nullptr;  // "V", upright
  QStringList Times;
};

class TFrmMain : public QMainWindow {
  Q_OBJECT

 public:
  // Runs the main window's part of start-up: directories, settings, language,
  // protocol layout, log stores, device list and tree, device table. Throws
  // what TContext::Start throws (a directory that cannot be made).
  TFrmMain(TContext& context, TPollEngine& engine, QWidget* parent = nullptr);
  ~TFrmMain() override;

  // ---- operations
  // The orderly exit without the question (SIGTERM, SIGINT): timer stopped,
  // settings saved, port closed, then the window closes.
  void ExitWithoutQuestion();
  void ApplyLanguage();
  void ApplyProtocolLayout();
  void HideSwitchRows();
  void RebuildTree();
  void RefreshView();
  void RefreshNode(int k);
  void ShowInputs(const TUpsInfo& r);
  void ShowOutputs(const TUpsInfo& r);
  void ShowStatus(const TUpsInfo& r);
  void ShowAlarms(const TUpsInfo& r);
  void ShowSketch(const TUpsInfo& r);
  void Timer1Timer();       // one housekeeping pass
  void HousekeepingPass();
  static constexpr int HousekeepingInterval = 110;  // ms

  // ---- event handlers
  void TreeView1Click();
  void btnSearchClick();
  void btnNewClick();
  void btnDeleteClick();
  void btnPropertyClick();
  void btnComClick();
  void mni101Click();
  void mni102Click();  // the software parameter dialog
  void mni103Click();
  void mni201Click();  // Event Log
  void mni202Click();  // Data Log
  void mni203Click();  // Log Setting
  void mni401Click();
  void mni402Click();
  void mni501Click();
  // Control menu: battery test and remote on/off, each behind the model gate.
  void mni301Click();
  void mniTurnOnClick();
  // The user settings view, once it has been opened.
  TFrmUserSet* UserSetWindow() const { return FFrmUserSet; }

  // The trace window, made on first use (the About box's code opens it).
  void ShowTraceWindow();
  void HideTraceWindow();
  QWidget* TraceWindow() const { return FTraceWindow; }

  // ---- state read by the other windows
  uint8_t SelDevAddr() const { return FSelDevAddr; }
  int32_t IdxSelNode() const { return FidxSelNode; }
  int32_t IdxSelItem() const { return FidxSelItem; }
  const TNodeCaptionRec& NodeCaption() const { return FNodeCaption; }
  int ShownSketchState() const { return FSketchState; }
  // The tree icon index a node shows (0..3).
  static int NodeIcon(const QTreeWidgetItem* item);
  // Index into GIFs of the visible picture, -1 when none is.
  int VisiblePicture() const;
  // The device node item of the tree node at absolute index, or nullptr.
  QTreeWidgetItem* NodeAt(int absoluteIndex) const;
  static int AbsoluteIndex(const QTreeWidgetItem* item);

  // fixed-point with at most 5 significant digits, as the displays show values
  static QString FormatFixed(double value, int decimals);
  static QString Hex4(uint16_t value);

  // ---- components (public, as the tests and the other windows reach them)
  QMenu* mni100;
  QAction* mni101;
  QAction* mni102;
  QAction* mni103;
  QMenu* mni200;
  QAction* mni201;
  QAction* mni202;
  QAction* mni203;
  QMenu* mni300;
  QAction* mni301;
  QAction* mniTurnOn;
  QMenu* mni400;
  QAction* mni401;
  QAction* mni402;
  QMenu* mni500;
  QAction* mni501;

  QToolBar* ToolBar1;
  QAction* bsSkinSpeedButton1;
  QAction* bsSkinSpeedButton2;
  QAction* bsSkinSpeedButton3;
  QAction* bsSkinSpeedButton4;
  QAction* bsSkinSpeedButton5;
  QAction* bsSkinSpeedButton8;
  QAction* bsSkinSpeedButton6;
  QAction* bsSkinSpeedButton7;
  QLabel* lblDebug;
  TLamp* iLedTx;
  TLamp* iLedRx;
  QLabel* lblProtocol;
  QPushButton* btnCom;

  QPushButton* btnSearch;
  QPushButton* btnNew;
  QPushButton* btnDelete;
  QPushButton* btnProperty;
  QTreeWidget* TreeView1;
  QLineEdit* edtTreeData;
  QLineEdit* edtArrEq;
  QLineEdit* edtNode;

  QStackedWidget* PageControl1;  // 0 real-time, 1 graphs
  QTabWidget* PageControl2;      // Data, Sketch Map
  std::array<QLabel*, 3> lbInput{};
  std::array<QLabel*, 3> lbOutput{};
  std::array<TValueText*, 3> stInputV{};
  std::array<TValueText*, 3> stOutputV{};
  std::array<TAngularGauge*, 3> iAGInPutV{};
  std::array<TAngularGauge*, 3> iAGOutPutV{};
  QLabel* bsSkinLabel6;
  std::array<QLabel*, 3> bsSkinStdLabel{};  // 7, 8, 9
  std::array<TLedBar*, 3> iLedBar{};
  std::array<TValueText*, 3> stLoadPer{};
  TValueBox* AdvPanel4;  // stDCInputV
  TValueBox* AdvPanel1;  // stOutputFreq
  TValueBox* AdvPanel9;  // stBattLivingTime
  TValueBox* AdvPanel6;  // stBattCapa

  QGroupBox* grpSwitch;
  std::array<QLabel*, 6> Label{};  // Label1..Label6
  std::array<QLabel*, 4> stOn{};
  std::array<QLabel*, 4> stOff{};
  std::array<QLabel*, 4> SwitchSlash{};
  QLabel* stInputPowerSupply;
  QLabel* stUpsPowerSupply;
  QGroupBox* grpAlarm;
  QPlainTextEdit* MemoAlarm;

  QLabel* stComStatus;
  // GIFStandbyMode, GIFOnlineMode, GIFBypassMode, GIFBattMode,
  // GIFEconomyMode, GIFTestMode, GIFFaltMode
  std::array<TUpsDiagram*, 7> GIFs{};
  TFlowPipe* PipCharge;
  QGroupBox* grpCode;
  QLabel* lblCMMState;
  QLabel* lblINVState;
  QLabel* lblCMMAlarm;
  QLabel* lblINVAlarm;
  QLabel* lbSysState;
  QLabel* lbSysAlarm;
  QLabel* lblUpsState;

  TPhaseChart Chart1;  // input voltages
  TPhaseChart Chart2;  // output voltages

  std::array<QLabel*, 4> StatusPanel{};
  QString FStoreMessage;  // the last word on the log stores, shown in panel 2
  QTimer Timer1;
  TLogMenu* LogMenu = nullptr;  // the log viewers and their progress window

  // Texts filled by ApplyLanguage and used by the other steps.
  struct TSharedTexts {
    QString PortOpen, PortClose, LinkSuffix, PortClosed, PortOpenFailed, PollingPaused;
    QString NoSupply, MainsSupply, BatterySupply, InverterSupply, BypassSupply, Eco;
  } SharedTexts;

 signals:
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenu();
  void BuildToolBar();
  QWidget* BuildLeftPane();
  QWidget* BuildRealTimePage();
  QWidget* BuildDataTab();
  QWidget* BuildSketchTab();
  QWidget* BuildLowerStrip();
  QWidget* BuildGraphPage();
  void BuildStatusBar();
  void SetPicture(int stateCode);
  void KeepHighlightOnCurrent();
  void UpdateDebugOverlay();
  void FillDebugEdits(int overlayPosition);
  void AddChartPoints(TPhaseChart& chart, double a, double b, double c);
  void NotAvailable();
  void ReportSaveFailure(const char* what);
  QString Txt(TTextId id) const;

  TContext& FCtx;
  TPollEngine& FEngine;
  TNodeCaptionRec FNodeCaption;
  int32_t FidxSelNode = 0;
  int32_t FidxSelItem = 0;
  uint8_t FSelDevAddr = 0;
  uint8_t FSlowDiv = 0;
  int FSketchState = 0;
  bool FExitConfirmed = false;
  // Timer stopped, settings saved, port closed, Closed emitted; once.
  void FinishExit();
  QWidget* FTraceWindow = nullptr;
  TFrmUserSet* FFrmUserSet = nullptr;
  int FCommandObserver = 0;  // its place among the command tracker's observers
  TControlHost ControlHost();
  QWidget* FSketchHost = nullptr;
  QAction* FDebugAction = nullptr;
  TQtTexts* FQtTexts = nullptr;
};

}  // namespace tessaro
