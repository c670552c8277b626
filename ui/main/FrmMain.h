#pragma once
// The main window: menu and tool bar, the device tree pane on the left, the
// live pages (data, sketch, switches and alarms) and the trend graphs on the
// right, and the status bar. It lays the panels out and hands each what it
// shows; what a device state looks like is decided in the library. Driven by
// its housekeeping timer.

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <cstdint>

#include "ui/main/LangTable.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QToolBar;

namespace tessaro {

class TContext;
class TPollEngine;
class TAlarmPanel;
class TDeviceTreePane;
class TFrmUserSet;
class TLamp;
class TLiveValuesPanel;
class TLogMenu;
class TQtTexts;
class TSketchPanel;
class TStatusStrip;
class TSwitchPanel;
class TTrendCharts;
class TTrayIcon;
class TNotifier;
struct TControlHost;

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
  void RefreshView();
  void Timer1Timer();  // one housekeeping pass
  void HousekeepingPass();
  static constexpr int HousekeepingInterval = 110;  // ms

  // ---- event handlers
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
  uint8_t SelDevAddr() const;
  int32_t IdxSelNode() const;
  int32_t IdxSelItem() const;
  // Index (TSketchPicture) of the visible sketch picture, -1 when none is.
  int VisiblePicture() const;

  // ---- the panels
  TDeviceTreePane& TreePane() const { return *FTreePane; }
  TLiveValuesPanel& LiveValues() const { return *FLiveValues; }
  TSketchPanel& Sketch() const { return *FSketch; }
  TSwitchPanel& Switches() const { return *FSwitches; }
  TAlarmPanel& Alarms() const { return *FAlarms; }
  TTrendCharts& Charts() const { return *FCharts; }
  TStatusStrip& Strip() const { return *FStrip; }
  TTrayIcon& Tray() const { return *FTray; }
  // Desktop notifications through the session bus, from now on (the program
  // turns them on; the tests of other things leave the session alone).
  void EnableNotifications();
  TNotifier* Notifier() const { return FNotifier; }
  QStackedWidget* Pages() const { return PageControl1; }  // 0 real-time, 1 graphs
  QTabWidget* LiveTabs() const { return PageControl2; }   // Data, Sketch Map

  QTimer Timer1;
  TLogMenu* LogMenu = nullptr;  // the log viewers and their progress window

 signals:
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildToolBar();
  QWidget* BuildRealTimePage();
  void ShowPage(int page);
  void UpdateDebugOverlay();
  void ShowPortState();  // status panel 1 and the port button
  void SayOnce(const QString& text);  // what the desktop lacks (no tray, no notification service)
  // The window's size and place and the selected tab, kept in the data
  // directory's Desktop.ini from one run to the next.
  QString LayoutPath() const;
  void RestoreLayout();
  void SaveLayout();
  // Empty while the device's values are current; else when it last answered.
  QString StaleNote(uint8_t address) const;
  QString Txt(TTextId id) const;
  // Timer stopped, settings saved, port closed, Closed emitted; once.
  void FinishExit();
  TControlHost ControlHost();

  TContext& FCtx;
  TPollEngine& FEngine;
  uint8_t FSlowDiv = 0;
  bool FExitConfirmed = false;
  QWidget* FTraceWindow = nullptr;
  TFrmUserSet* FFrmUserSet = nullptr;
  int FCommandObserver = 0;  // its place among the command tracker's observers
  QAction* FDebugAction = nullptr;
  TQtTexts* FQtTexts = nullptr;
  QString FStoreMessage;  // the last word on the log stores, shown in the middle panel

  // Texts filled by ApplyLanguage and used by the housekeeping pass.
  struct TSharedTexts {
    QString PortOpen, PortClose, LinkSuffix, PortClosed, PollingPaused;
  } SharedTexts;

  TDeviceTreePane* FTreePane = nullptr;
  TLiveValuesPanel* FLiveValues = nullptr;
  TSketchPanel* FSketch = nullptr;
  TSwitchPanel* FSwitches = nullptr;
  TAlarmPanel* FAlarms = nullptr;
  TTrendCharts* FCharts = nullptr;
  TStatusStrip* FStrip = nullptr;
  TTrayIcon* FTray = nullptr;
  TNotifier* FNotifier = nullptr;

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

  QStackedWidget* PageControl1;
  QTabWidget* PageControl2;
};

}  // namespace tessaro
