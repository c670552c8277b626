#include "core/DeviceState.h"

#include <algorithm>
#include <cstdio>

namespace tessaro {

namespace {

using enum TLoadPath;
using P = TSketchPicture;
using I = TTreeIcon;

// clang-format off
constexpr TStateRow Rows[] = {
  // code               name                  path      picture     icon      text
  {-1,                  nullptr,              Off,      P::None,    I::Ok,    -1},
  {StateNone,           nullptr,              Off,      P::Standby, I::Ok,    StateNone},
  {StateStandby,        "standby",            Off,      P::Standby, I::Ok,    StateStandby},
  {StateNoOutput,       "no_output",          Off,      P::Standby, I::Ok,    StateNoOutput},
  {StateBypass,         "bypass",             Bypass,   P::Bypass,  I::Ok,    StateBypass},
  {StateOnline,         "online",             Line,     P::Online,  I::Ok,    StateOnline},
  {StateBattery,        "battery",            Battery,  P::Battery, I::Ok,    StateBattery},
  {StateBattSelfTest,   "battery_self_test",  Battery,  P::Test,    I::Ok,    StateBattSelfTest},
  {StateInvStarting,    "inverter_starting",  Off,      P::Standby, I::Ok,    StateInvStarting},
  {StateEco,            "eco",                Line,     P::Economy, I::Ok,    StateEco},
  {StateEpo,            "epo",                Off,      P::Standby, I::Ok,    StateEpo},
  {StateMaintBypass,    "maintenance_bypass", Bypass,   P::Standby, I::Alarm, StateMaintBypass},
  {StateFault,          "fault",              BySupply, P::Fault,   I::Ok,    StateFault},
  {StateCommLost,       nullptr,              Off,      P::Standby, I::Lost,  StateCommLost},
};
// clang-format on

constexpr TStateRow Unknown = {-2, nullptr, Off, P::Standby, I::Ok, -1};

// The event log's codes of the two link troubles, whose texts the tree shows.
constexpr int LinkLostText = 18;
constexpr int LinkErrorText = 19;

// Alarms that mean the battery is nearly empty.
constexpr int32_t LowBatteryAlarms[] = {
    21,   // Battery under voltage (rectifier word)
    23,   // Low battery alarm
    67,   // Battery under voltage (system word)
    206,  // Battery Under Voltage (power-frequency)
    209,  // Battery Low Pre-warning (power-frequency)
};

bool HasAlarm(const TUpsInfo& info, int32_t code) {
  const auto end = info.AlarmCodes.begin() + std::min<int>(info.AlarmCount, MaxAlarms);
  return std::find(info.AlarmCodes.begin(), end, code) != end;
}

bool BatteryLow(const TUpsInfo& info, int lowRuntimeMinutes) {
  for (const int32_t code : LowBatteryAlarms)
    if (HasAlarm(info, code)) return true;
  // A backup time of 0 is what a record holds before the device has sent
  // one, so only a reported time counts.
  const int limit = info.Params.PreAlarmTime > 0 ? info.Params.PreAlarmTime : lowRuntimeMinutes;
  return info.Measure.BattBackupTime > 0 && info.Measure.BattBackupTime <= limit;
}

// OL or OB from the supply of the rectifier side; empty when none is known.
const char* InputWord(const TUpsInfo& info) {
  switch (info.InputSupply) {
    case 1: return "OL";
    case 2: return "OB";
    default: return "";
  }
}

void Add(std::string& status, const char* word) {
  if (*word == '\0') return;
  if (!status.empty()) status += ' ';
  status += word;
}

void AddPath(std::string& s, TLoadPath path, const TUpsInfo& info) {
  switch (path) {
    case Line: Add(s, "OL"); break;
    case Battery: Add(s, "OB"); break;
    case Bypass:
      Add(s, "OL");
      Add(s, "BYPASS");
      break;
    case BySupply:
      if (info.UpsSupply == 1) {
        Add(s, info.InputSupply == 2 ? "OB" : "OL");
      } else if (info.UpsSupply == 2) {
        AddPath(s, Bypass, info);
      } else {
        AddPath(s, Off, info);
      }
      break;
    case Off:
      Add(s, InputWord(info));
      Add(s, "OFF");
      break;
  }
}

std::string Hex4(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

}  // namespace

const char* TreeIconName(TTreeIcon icon) {
  switch (icon) {
    case TTreeIcon::Ok: return "ok";
    case TTreeIcon::Alarm: return "alarm";
    case TTreeIcon::Page: return "page";
    case TTreeIcon::Lost: break;
  }
  return "lost";
}

std::span<const TStateRow> StateRows() { return Rows; }

const TStateRow& StateRow(int32_t code) {
  for (const TStateRow& row : Rows)
    if (row.Code == code) return row;
  return Unknown;
}

std::string StateCaption(int32_t code, int language) {
  const int32_t text = StateRow(code).TextCode;
  return text < 0 ? std::string() : StateText(text, language);
}

TTreeLook TreeLook(const TUpsInfo& info, bool portOpen, int language) {
  if (!portOpen) return {TTreeIcon::Lost, StateCaption(StateCommLost, language)};
  switch (info.CommState) {
    case 0: {
      const TStateRow& row = StateRow(info.StateCode);
      return {info.AlarmCount > 0 ? TTreeIcon::Alarm : row.Icon, StateCaption(info.StateCode, language),
              info.StateCode >= 0};
    }
    case 1: return {TTreeIcon::Alarm, EventText(LinkErrorText, language)};
    default: return {TTreeIcon::Lost, EventText(LinkLostText, language)};
  }
}

int32_t ShownSketchState(const TUpsInfo& info) { return info.CommState != 0 ? int32_t{StateCommLost} : info.StateCode; }

std::string NutStatusWords(const TUpsInfo& info, int lowRuntimeMinutes) {
  std::string s;
  AddPath(s, StateRow(info.StateCode).Path, info);
  if (info.StateCode == StateBattSelfTest || info.BattTestFlag) Add(s, "CAL");
  if (BatteryLow(info, lowRuntimeMinutes)) Add(s, "LB");
  if (info.AlarmCount > 0) Add(s, "ALARM");
  return s;
}

std::optional<TTextId> InputSupplyText(const TUpsInfo& info) {
  switch (info.InputSupply) {
    case 0: return TTextId::SupplyNone;
    case 1: return TTextId::SupplyMains;
    case 2: return TTextId::SupplyBattery;
    default: return std::nullopt;
  }
}

std::optional<TTextId> UpsSupplyText(const TUpsInfo& info) {
  switch (info.UpsSupply) {
    case 0: return TTextId::SupplyNone;
    case 1: return TTextId::SupplyInverter;
    case 2: return info.Params.WorkMode == 1 ? TTextId::SupplyEco : TTextId::SupplyBypass;
    default: return std::nullopt;
  }
}

TStatusWordTexts StatusWordTexts(const TStatusBlock& s) {
  return {Hex4(s.CmmState1) + "-" + Hex4(s.CmmState2), Hex4(s.InvState1) + "-" + Hex4(s.InvState2),
          Hex4(s.CmmAlarm1) + "-" + Hex4(s.CmmAlarm2), Hex4(s.InvAlarm1) + "-" + Hex4(s.InvAlarm2),
          Hex4(s.SysState),                            Hex4(s.SysAlarm)};
}

}  // namespace tessaro
