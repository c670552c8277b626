#include "core/LangTable.h"

#include <array>

namespace tessaro {

namespace {

using enum TTextId;

// Texts exactly as the Parts give them, trailing blanks and odd spellings included.
constexpr std::array<TLangEntry, static_cast<size_t>(TTextId::Count)> Table{{
    {MainCaption, "Tessaro监控", "Tessaro Monitor"},
    {ExitQuestion, "您确定要退出系统吗?", "Exit Program ?"},
    {PortOpenFailed, "开启串口时出错,请检查串口设置!",
     "There was an error to open serial port,please check the serial port settings !"},
    {PortOpenButton, "开启串口", "Open COM"},
    {PortCloseButton, "关闭串口", "Close COM"},
    {PortLinkSuffix, "  已开启", " is Link"},
    {PortClosedStatus, "串口已关闭", "COM is closed"},
    {PollingPausedStatus, "轮询已暂停（手动发送）", "Polling paused (manual send)"},
    {DeviceNotLinked, "该设备未联机!", "The device is not communication!"},
    {NotAvailableYet, "此功能尚未提供。", "This window is not available yet."},
    {VersionPrefix, "版本 ", "Version "},

    {SupplyNone, "均不供电", "No Supply"},
    {SupplyMains, "市电供电", "Mains Supply"},
    {SupplyBattery, "电池供电", "Battery Supply"},
    {SupplyInverter, "逆变供电", "Inverter Supply"},
    {SupplyBypass, "旁路供电", "Bypass Supply"},
    {SupplyEco, "ECO", "ECO"},

    {Mni100System, "系统", "System"},
    {Mni101UserSet, "用户设置", "User Set"},
    {Mni102SoftwarePara, "软件参数设定", "Software Parameter Setting"},
    {Mni103Exit, "退出", "Exit"},
    {Mni200Log, "日志", "Log"},
    {Mni201EventLog, "事件日志", "Event Log"},
    {Mni202DataLog, "数据日志", "Data Log"},
    {Mni203LogSetting, "日志设定", "Log Setting"},
    {Mni300Control, "控制", "Control"},
    {Mni301BattTest, "电池自检", "Battery Test"},
    {MniTurnOn, "开关机", "Turn On/Off"},
    {Mni400Language, "Language", "Language"},
    {Mni401Chinese, "中文", "Chinese"},
    {Mni402English, "English", "English"},
    {Mni500Help, "帮助", "Help"},
    {Mni501About, "关于", "About"},

    {HintSpeedButton1, "软件参数设定", "Software Parameter Setting"},
    {HintSpeedButton2, "中文简体", "Chinese"},
    {HintSpeedButton3, "English", "English"},
    {HintSpeedButton4, "事件日志", "Event Log"},
    {HintSpeedButton5, "数据日志", "Data Log"},
    {HintSpeedButton8, "日志设定", "Log Setting"},
    {HintSpeedButton6, "帮助", "About"},
    {HintSpeedButton7, "退出", "Exit"},

    {BtnSearch, "搜索", "Search"},
    {BtnSearchHint, "搜索RS485网络上的逆变器", "Search inverters on RS485 network"},
    {BtnNew, "添加", "Append"},
    {BtnNewHint, "在设备树中添加要被监控的逆变器", "Append inverter of need to be Monitored "},
    {BtnDelete, "删除", "Delete"},
    {BtnDeleteHint, "从设备树中删除不需要再监控的逆变器", "Delete inverter of need not to be used"},
    {BtnProperty, "属性", "Property"},
    {BtnPropertyHint, "查看设备树中指定的逆变器属性", "View property of inverter"},
    {NodeRealTime, "实时信息", "Real-time Info"},
    {NodeGraph, "曲线图", "Graph"},

    {TabData, "数据", "Data"},
    {TabSketch, "示意图", "Sketch Map"},
    {LbInputA, "输入A相电压", "Input A Phase V"},
    {LbInputB, "输入B相电压", "Input B Phase V"},
    {LbInputC, "输入C相电压", "Input C Phase V"},
    {LbOutputA, "输出A相电压", "Output A Phase V"},
    {LbOutputB, "输出B相电压", "Output B Phase V"},
    {LbOutputC, "输出C相电压", "Output C Phase V"},
    {LoadHeading, "UPS负载率", "Load percent"},
    {LoadPhaseA, "A相", "A phase"},
    {LoadPhaseB, "B相", "B phase"},
    {LoadPhaseC, "C相", "C phase"},
    {BoxDcInputVolt, "直流输入电压", "DC Input Voltage"},
    {BoxOutputFreq, "输出频率", "Output Frequence"},
    {BoxBattBackup, "电池后备时间", "Support Time Of Battery"},
    {BoxBattCapacity, "电池容量率", "Capability of Battery"},
    {GrpSwitch, "开关状态", "Switch Status"},
    {GrpSwitchHint, "ON为闭合,OFF为断开", "ON express switch is closed,OFF express switch is open"},
    {GrpAlarm, "告警", "Alarm"},
    {Label1InputSwitch, "输入开关状态:", "Input Switch Status:"},
    {Label2BypassSwitch, "旁路开关状态:", "Bypass Switch Status:"},
    {Label3OutputSwitch, "输出开关状态:", "Output Switch Status:"},
    {Label4MaintSwitch, "维修旁路开关状态:", "Manu-Bypass Switch Status:"},
    {Label5InputSupply, "输入供电状态:", "Input Supply Power Status:"},
    {Label6UpsSupply, "UPS供电状态:", "UPS Supply Power Status:"},
    {GrpCode, "", ""},

    {Chart1Title, "输入电压(V)", "Input Voltage(V)"},
    {Chart2Title, "输出电压(V)", "Output Voltage(V)"},
    {ChartTimeAxis, "时间", "Time"},

    {NewEquipCaption, "添加要监控的设备", "Append Equipment"},
    {PropertyCaption, "设备属性", "Equipment Property"},
    {EquipNameLabel, "设备名:", "Equipment Name:"},
    {EquipAddrLabel, "设备地址:", "Equipment Address:"},
    {DlgAppend, "添加", "Append"},
    {DlgOk, "确定", "OK"},
    {DlgCancel, "取消", "Cancel"},
    {MsgNameEmptyNew, "设备名不能为空", "Equipment Name is empty !"},
    {MsgNameEmptyProperty, "设备名不能为空", "Equipment name is empty !"},
    {MsgAddrEmpty, "设备地址不能为空", "Equipment Address is empty !"},
    {MsgNameTooLong, "设备名过长", "Equipment name is too long !"},
    {MsgNameNotStorable, "设备名含有无法保存的字符", "Equipment name has a character that cannot be stored !"},
    {MsgSaveFailed, "设备列表无法保存:", "The device list could not be saved:"},

    {AboutCaption, "关于", "About"},
    {AboutTitleLine, "PC监控软件", "PC Monitor Software"},
    {TraceTitle, "Trace", "Trace"},

    {ReasonSeparator, "：", ": "},
    {SettingsWarning, "设置有误", "check the settings"},
    {NoAnswerSince, "通讯中断，数值为最后应答时的读数，最后应答于 ", "No answer: the values are those of the last answer, at "},
    {NoAnswerYet, "通讯中断，尚无应答", "No answer from the device yet"},

    {TrayAllFine, "所有设备正常", "All devices fine"},
    {TrayOnBattery, "有设备由电池供电", "A device runs on battery"},
    {TrayAlarm, "有设备告警", "A device reports an alarm"},
    {TrayNotAnswering, "有设备无应答", "A device does not answer"},
    {TrayShow, "显示窗口", "Show window"},
    {TrayMute, "静音", "Mute"},
    {TrayExit, "退出", "Exit"},
    {TrayMissing, "没有系统托盘，不显示托盘图标", "No system tray: no tray icon shown"},

    {NewsMainsFailed, "市电中断", "Mains failure"},
    {NewsMainsBack, "市电恢复", "Mains back"},
    {NewsBatteryLow, "电池电量低", "Battery low"},
    {NewsLinkLost, "通讯中断", "Link lost"},
    {NewsLinkBack, "通讯恢复", "Link back"},
    {NewsCommand, "命令结果", "Command outcome"},
    {NotifyMissing, "没有通知服务，不发送桌面通知", "No notification service: none sent"},
}};

constexpr bool InIdOrder() {
  for (size_t i = 0; i < Table.size(); ++i) {
    if (static_cast<size_t>(Table[i].Id) != i) return false;
  }
  return true;
}
static_assert(InIdOrder(), "LangTable rows must follow TTextId order");

}  // namespace

std::span<const TLangEntry> LangTable() { return Table; }

const char* LangTextUtf8(TTextId id, int language) {
  const auto index = static_cast<size_t>(id);
  if (index >= Table.size()) return "";
  const TLangEntry& entry = Table[index];
  return language == 1 ? entry.Chinese : entry.English;
}

}  // namespace tessaro
