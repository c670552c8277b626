#include "web/WebTexts.h"

#include <cstring>
#include <initializer_list>

#include "core/Catalogue.h"
#include "core/LangTable.h"
#include "core/MeasureCatalogue.h"
#include "core/ProtocolTraits.h"
#include "query/DataTable.h"
#include "query/EventTable.h"
#include "web/Json.h"

namespace tessaro::web {

namespace {

struct TPageText {
  const char* Key;
  const char* Chinese;
  const char* English;
};

// Texts of the pages that no window has. The event viewer's filter texts are
// the viewer's own.
constexpr TPageText PageOnly[] = {
    {"overview", "总览", "Overview"},
    {"device", "设备", "Device"},
    {"address", "设备地址", "Address"},
    {"name", "设备名", "Name"},
    {"state", "状态", "State"},
    {"link", "通讯", "Link"},
    {"inputV", "输入电压(V)", "Input voltage (V)"},
    {"outputV", "输出电压(V)", "Output voltage (V)"},
    {"load", "负载率(%)", "Load (%)"},
    {"battery", "电池", "Battery"},
    {"charge", "电池容量率(%)", "Battery capacity (%)"},
    {"runtime", "电池后备时间(分)", "Backup time (min)"},
    {"alarms", "告警", "Alarms"},
    {"port", "串口", "Serial port"},
    {"paused", "轮询已暂停", "Polling paused"},
    {"txCount", "已发送请求", "Requests sent"},
    {"rxCount", "已接收应答", "Answers received"},
    {"refused", "无效应答", "Answers refused"},
    {"lastAnswer", "最后应答时间", "Last answer"},
    {"never", "无", "none"},
    {"noData", "无数据", "No data"},
    {"stale", "数据过期", "Data stale"},
    {"last1h", "最近1小时", "Last hour"},
    {"last6h", "最近6小时", "Last 6 hours"},
    {"last24h", "最近24小时", "Last 24 hours"},
    {"last7d", "最近7天", "Last 7 days"},
    {"batteryChart", "电池", "Battery"},
    {"statusWords", "状态字", "Status words"},
    {"forcedShutdown", "强制关机 (FSD)", "Forced shutdown (FSD)"},
    {"batteryTest", "电池测试", "Battery test"},
    {"prev", "上一页", "Previous"},
    {"next", "下一页", "Next"},
    {"page", "页", "Page"},
    {"rows", "条", "rows"},
    {"offline", "与监控程序的连接已断开", "Connection to the monitor lost"},
    {"searchType", "查询时间范围", "Search Type"},
    {"all", "全部", "All"},
    {"year", "年", "Year"},
    {"month", "月", "Month"},
    {"date", "日", "Date"},
    {"specifyAddress", "指定设备地址:", "Specify Equipment Address:"},
    {"search", "查询", "Search"},
    {"export", "汇出", "Export"},
    {"eventLog", "事件日志", "Event Log"},
    // What a device is doing, as the pages tell it: icon, colour and these words.
    {"lookFine", "正常", "Fine"},
    {"lookBattery", "电池供电", "On battery"},
    {"lookAlarm", "告警", "Alarm"},
    {"lookSilent", "无应答", "Not answering"},
    {"lookWaiting", "尚未轮询", "Not yet polled"},
    {"lookOff", "输出关闭", "Output off"},
    {"bannerClosed", "串口已关闭：没有设备被轮询，显示的是最后读数。",
     "The serial port is closed: no device is being polled; the readings shown are the last ones."},
    {"bannerPaused", "轮询已暂停（跟踪窗口）：读数不会更新。",
     "Polling is paused (trace window): the readings do not change."},
    {"lastSeen", "最后应答", "last answer"},
    {"collectingSince", "数据记录始于", "Collecting since"},
    {"timeAxis", "时间", "Time"},
    {"lowest", "最低", "Lowest"},
    {"average", "平均", "Average"},
    {"highest", "最高", "Highest"},
};

// The web's own wording where the program's texts read oddly; the desktop
// keeps its texts.
struct TWebWording {
  TTextId Id;
  const char* Chinese;
  const char* English;
};
constexpr TWebWording Wording[] = {
    {TTextId::PortLinkSuffix, " 已打开", " is open"},
    {TTextId::PortClosedStatus, "串口已关闭", "Serial port closed"},
    {TTextId::BoxOutputFreq, "输出频率", "Output frequency"},
    {TTextId::BoxBattBackup, "电池后备时间", "Battery runtime"},
    {TTextId::BoxBattCapacity, "电池容量", "Battery charge"},
    {TTextId::BoxDcInputVolt, "直流输入电压", "DC input voltage"},
    {TTextId::Label5InputSupply, "输入供电:", "Input supply:"},
    {TTextId::Label6UpsSupply, "UPS供电:", "UPS supply:"},
    {TTextId::Chart1Title, "输入电压(V)", "Input voltage (V)"},
    {TTextId::Chart2Title, "输出电压(V)", "Output voltage (V)"},
};

// A text of the program's tables as the pages word it.
std::string WebText(TTextId id, int language) {
  for (const TWebWording& w : Wording)
    if (w.Id == id) return language == 1 ? w.Chinese : w.English;
  return LangTextUtf8(id, language);
}

// Texts of the main window the pages show, by the names the pages use.
constexpr std::pair<const char*, TTextId> MainTexts[] = {
    {"title", TTextId::MainCaption},
    {"portOpenSuffix", TTextId::PortLinkSuffix},
    {"portClosed", TTextId::PortClosedStatus},
    {"realTime", TTextId::NodeRealTime},
    {"graph", TTextId::NodeGraph},
    {"inputA", TTextId::LbInputA},
    {"inputB", TTextId::LbInputB},
    {"inputC", TTextId::LbInputC},
    {"outputA", TTextId::LbOutputA},
    {"outputB", TTextId::LbOutputB},
    {"outputC", TTextId::LbOutputC},
    {"loadHeading", TTextId::LoadHeading},
    {"phaseA", TTextId::LoadPhaseA},
    {"phaseB", TTextId::LoadPhaseB},
    {"phaseC", TTextId::LoadPhaseC},
    {"dcInputVolt", TTextId::BoxDcInputVolt},
    {"outputFreq", TTextId::BoxOutputFreq},
    {"battBackup", TTextId::BoxBattBackup},
    {"battCapacity", TTextId::BoxBattCapacity},
    {"switchStatus", TTextId::GrpSwitch},
    {"alarm", TTextId::GrpAlarm},
    {"inputSupply", TTextId::Label5InputSupply},
    {"upsSupply", TTextId::Label6UpsSupply},
    {"chartInput", TTextId::Chart1Title},
    {"chartOutput", TTextId::Chart2Title},
    {"dataLog", TTextId::Mni202DataLog},
};

using enum TMeasureId;

// The overview's value columns: a text name and the values, " / " between them.
struct TColumnLayout {
  const char* Title;
  std::initializer_list<TMeasureId> Values;
};
const TColumnLayout Columns[] = {
    {"inputV", {InputL1, InputL2, InputL3}},
    {"outputV", {OutputL1, OutputL2, OutputL3}},
    {"load", {LoadL1, LoadL2, LoadL3}},
    {"charge", {BatteryCharge}},
    {"runtime", {BatteryRuntime}},
};

// The device page's trend charts: a text name and the values drawn together;
// phases are named by their letter, other values by caption and unit.
struct TChartLayout {
  const char* Title;
  std::initializer_list<TMeasureId> Values;
  bool Phases;
};
const TChartLayout Charts[] = {
    {"chartInput", {InputL1, InputL2, InputL3}, true},
    {"chartOutput", {OutputL1, OutputL2, OutputL3}, true},
    {"load", {LoadL1, LoadL2, LoadL3}, true},
    {"batteryChart", {BatteryCharge, BatteryVoltage}, false},
};

std::string Caption(const TMeasure& m, int language) {
  if (!m.Label) return {};
  std::string text = WebText(*m.Label, language);
  if (m.Heading) text = WebText(*m.Heading, language) + (" " + text);
  return text;
}

void WriteField(TJson& j, const TMeasure& m, int language) {
  j.BeginObject();
  j.Key("key").String(m.Name);
  j.Key("caption").String(Caption(m, language));
  j.Key("unit").String(m.Unit);
  j.Key("decimals").Integer(m.Decimals);
  j.Key("divisor").Number(m.ShownDivisor);
  j.EndObject();
}

}  // namespace

std::string PageFieldsJson(int language, uint8_t protocol) {
  const TProtocolTraits& traits = ProtocolTraits(protocol);
  TJson j;
  j.BeginObject();
  j.Key("boxes").BeginArray();
  for (const TMeasure& m : Measures())
    if (m.Label && ProtocolHas(traits, m)) WriteField(j, m, language);
  j.EndArray();
  j.Key("columns").BeginArray();
  for (const TColumnLayout& c : Columns) {
    j.BeginObject().Key("title").String(c.Title).Key("fields").BeginArray();
    for (const TMeasureId id : c.Values) WriteField(j, Measure(id), language);
    j.EndArray().EndObject();
  }
  j.EndArray();
  j.Key("charts").BeginArray();
  for (const TChartLayout& c : Charts) {
    j.BeginObject().Key("title").String(c.Title).Key("keys").BeginArray();
    for (const TMeasureId id : c.Values) j.String(Measure(id).Name);
    j.EndArray().Key("labels").BeginArray();
    char phase = 'A';
    for (const TMeasureId id : c.Values) {
      const TMeasure& m = Measure(id);
      j.String(c.Phases ? std::string(1, phase++) : Caption(m, language) + " (" + m.Unit + ")");
    }
    j.EndArray().EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Take();
}

std::string PageText(const char* key, int language) {
  for (const TPageText& t : PageOnly)
    if (std::strcmp(t.Key, key) == 0) return language == 1 ? t.Chinese : t.English;
  return {};
}

std::string PageTextsJson(int language) {
  TJson j;
  j.BeginObject();
  for (const TPageText& t : PageOnly) j.Key(t.Key).String(language == 1 ? t.Chinese : t.English);
  for (const auto& [key, id] : MainTexts) j.Key(key).String(WebText(id, language));
  j.Key("commLost").String(StateText(StateCommLost, language));
  const TEventTable events(language);
  j.Key("eventColumns").BeginArray();
  for (int c = 0; c < events.ColumnCount(); ++c) j.String(events.Title(c));
  j.EndArray();
  const TDataTable data(language);
  j.Key("dataColumns").BeginArray();
  for (int c = 0; c < data.ColumnCount(); ++c) j.String(data.Title(c));
  j.EndArray();
  j.EndObject();
  return j.Take();
}

}  // namespace tessaro::web
