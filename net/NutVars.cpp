#include "net/NutVars.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/Catalogue.h"
#include "core/UserParaIni.h"

namespace tessaro::net {

namespace {

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

bool BatteryLow(const TUpsInfo& info) {
  for (const int32_t code : LowBatteryAlarms)
    if (HasAlarm(info, code)) return true;
  // A backup time of 0 is what a record holds before the device has sent
  // one, so only a reported time counts.
  const int limit = info.Params.PreAlarmTime > 0 ? info.Params.PreAlarmTime : DefaultLowRuntimeMinutes;
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

}  // namespace

std::string UpsStatus(const TUpsInfo& info) {
  std::string s;
  switch (info.StateCode) {
    case StateOnline:
    case StateEco:
      Add(s, "OL");
      break;
    case StateBattery:
    case StateBattSelfTest:
      Add(s, "OB");
      break;
    case StateBypass:
    case StateMaintBypass:
      Add(s, "OL");
      Add(s, "BYPASS");
      break;
    case StateFault:
      // The fault state says nothing of the path; the supply flags do.
      if (info.UpsSupply == 1) {
        Add(s, info.InputSupply == 2 ? "OB" : "OL");
      } else if (info.UpsSupply == 2) {
        Add(s, "OL");
        Add(s, "BYPASS");
      } else {
        Add(s, InputWord(info));
        Add(s, "OFF");
      }
      break;
    default:  // standby, no output, inverter starting, EPO: the load is not fed
      Add(s, InputWord(info));
      Add(s, "OFF");
      break;
  }
  if (info.StateCode == StateBattSelfTest || info.BattTestFlag) Add(s, "CAL");
  if (BatteryLow(info)) Add(s, "LB");
  if (info.AlarmCount > 0) Add(s, "ALARM");
  return s;
}

std::string UpsAlarm(const TUpsInfo& info) {
  std::string out;
  for (int i = 0; i < std::min<int>(info.AlarmCount, MaxAlarms); ++i) {
    const int32_t code = info.AlarmCodes[static_cast<size_t>(i)];
    std::string text = AlarmText(code, 0);
    if (text.empty()) text = "Alarm " + std::to_string(code);
    if (!out.empty()) out += "; ";
    out += text;
  }
  return out;
}

std::string FormatNumber(double value) {
  if (!std::isfinite(value)) value = 0;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  std::string s(buf, r.ptr);
  while (s.size() > 1 && s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
  if (s == "-0.0") s = "0.0";
  return s;
}

TVarList DeviceVariables(const TUpsInfo& info, uint8_t protocol) {
  const TMeasureBlock& m = info.Measure;
  // The power-frequency protocol reports neither battery capacity nor currents.
  const bool hasBatteryGroup = protocol != ProtocolQuorvan;
  TVarList v;
  auto put = [&v](std::string name, std::string value) { v.emplace_back(std::move(name), std::move(value)); };

  put("device.type", "ups");
  put("driver.name", "tessaro");
  put("ups.id", std::to_string(info.Address));
  put("ups.status", UpsStatus(info));
  if (info.AlarmCount > 0) put("ups.alarm", UpsAlarm(info));

  const double in[3] = {m.InputVoltA, m.InputVoltB, m.InputVoltC};
  const double out[3] = {m.OutputVoltA, m.OutputVoltB, m.OutputVoltC};
  const double load[3] = {m.LoadA, m.LoadB, m.LoadC};
  put("input.voltage", FormatNumber(in[0]));
  put("output.voltage", FormatNumber(out[0]));
  for (int p = 0; p < 3; ++p) {
    const std::string phase = std::to_string(p + 1);
    put("input.L" + phase + "-N.voltage", FormatNumber(in[p]));
    put("output.L" + phase + "-N.voltage", FormatNumber(out[p]));
    put("output.L" + phase + ".power.percent", FormatNumber(load[p]));
  }
  put("output.frequency", FormatNumber(m.OutputFreq));
  put("ups.load", FormatNumber(std::max({load[0], load[1], load[2]})));

  put("battery.voltage", FormatNumber(m.DcInputVolt));
  put("battery.runtime", std::to_string(static_cast<int>(m.BattBackupTime) * 60));
  if (hasBatteryGroup) {
    put("battery.charge", std::to_string(m.BattCapacity));
    // Positive while charging, negative while discharging.
    const double current = m.BattDischargeCurr > 0 ? -m.BattDischargeCurr : m.BattChargeCurr;
    put("battery.current", FormatNumber(current));
  }
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace tessaro::net
