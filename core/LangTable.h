#pragma once
// Every text of the main window and its small dialogs in both languages,
// side by side, keyed by an id; the desktop and the web pages read them. Language 1 = Chinese,
// any other value English.

#include <span>

namespace tessaro {

enum class TTextId : int {
  // Window, messages and shared texts
  MainCaption,
  ExitQuestion,
  PortOpenFailed,
  PortOpenButton,      // port closed: the button opens it
  PortCloseButton,     // port open: the button closes it
  PortLinkSuffix,      // appended to ComName while open
  PortClosedStatus,
  PollingPausedStatus, // status panel 2 while the trace window's manual mode holds polling
  DeviceNotLinked,     // mni101 on a device that does not communicate
  NotAvailableYet,     // windows of later issues
  VersionPrefix,       // status panel 3 and the About box

  // Supply texts
  SupplyNone,
  SupplyMains,
  SupplyBattery,
  SupplyInverter,
  SupplyBypass,
  SupplyEco,

  // Menu
  Mni100System,
  Mni101UserSet,
  Mni102SoftwarePara,
  Mni103Exit,
  Mni200Log,
  Mni201EventLog,
  Mni202DataLog,
  Mni203LogSetting,
  Mni300Control,
  Mni301BattTest,
  MniTurnOn,
  Mni400Language,      // not translated
  Mni401Chinese,
  Mni402English,
  Mni500Help,
  Mni501About,

  // Tool bar hints
  HintSpeedButton1,
  HintSpeedButton2,
  HintSpeedButton3,
  HintSpeedButton4,
  HintSpeedButton5,
  HintSpeedButton8,
  HintSpeedButton6,
  HintSpeedButton7,

  // Device tree
  BtnSearch,
  BtnSearchHint,
  BtnNew,
  BtnNewHint,
  BtnDelete,
  BtnDeleteHint,
  BtnProperty,
  BtnPropertyHint,
  NodeRealTime,
  NodeGraph,

  // Real-time display
  TabData,
  TabSketch,
  LbInputA,
  LbInputB,
  LbInputC,
  LbOutputA,
  LbOutputB,
  LbOutputC,
  LoadHeading,
  LoadPhaseA,
  LoadPhaseB,
  LoadPhaseC,
  BoxDcInputVolt,
  BoxOutputFreq,
  BoxBattBackup,
  BoxBattCapacity,
  GrpSwitch,
  GrpSwitchHint,
  GrpAlarm,
  Label1InputSwitch,
  Label2BypassSwitch,
  Label3OutputSwitch,
  Label4MaintSwitch,
  Label5InputSupply,
  Label6UpsSupply,
  GrpCode,

  // Trend graphs
  Chart1Title,
  Chart2Title,
  ChartTimeAxis,

  // Add-device and property dialogs
  NewEquipCaption,
  PropertyCaption,
  EquipNameLabel,
  EquipAddrLabel,
  DlgAppend,
  DlgOk,
  DlgCancel,
  MsgNameEmptyNew,
  MsgNameEmptyProperty,
  MsgAddrEmpty,
  MsgNameTooLong,
  MsgNameNotStorable,  // a character the name file cannot hold
  MsgSaveFailed,       // the device list file could not be written

  // About box
  AboutCaption,
  AboutTitleLine,
  TraceTitle,

  // Why the port is closed, and values no longer current
  ReasonSeparator,     // between a status and its reason
  SettingsWarning,     // status panel 1 when a setting keeps the devices from being polled
  NoAnswerSince,       // followed by the time of the device's last answer
  NoAnswerYet,

  // Tray icon
  TrayAllFine,
  TrayOnBattery,
  TrayAlarm,
  TrayNotAnswering,
  TrayShow,
  TrayMute,
  TrayExit,
  TrayMissing,         // said once when the session has no tray

  // Desktop notifications: summaries, and what is said when there is no service
  NewsMainsFailed,
  NewsMainsBack,
  NewsBatteryLow,
  NewsLinkLost,
  NewsLinkBack,
  NewsCommand,
  NotifyMissing,

  Count
};

struct TLangEntry {
  TTextId Id;
  const char* Chinese;  // UTF-8
  const char* English;
};

// The whole table, one row per id, in id order.
std::span<const TLangEntry> LangTable();

// The text of id in UTF-8 in the language (1 = Chinese, anything else
// English); empty for an id outside the table.
const char* LangTextUtf8(TTextId id, int language);

}  // namespace tessaro
