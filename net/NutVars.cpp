#include "net/NutVars.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/Catalogue.h"
#include "core/DeviceState.h"
#include "core/ProtocolTraits.h"
#include "core/UserParaIni.h"

namespace tessaro::net {

std::string UpsStatus(const TUpsInfo& info, bool forced) {
  const std::string words = NutStatusWords(info, DefaultLowRuntimeMinutes);
  return forced ? (words.empty() ? "FSD" : "FSD " + words) : words;
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

namespace {

double MaxLoad(const TMeasureBlock& m) { return std::max({m.LoadA, m.LoadB, m.LoadC}); }
// Positive while charging, negative while discharging.
double BatteryCurrent(const TMeasureBlock& m) {
  return m.BattDischargeCurr > 0 ? -m.BattDischargeCurr : m.BattChargeCurr;
}

// clang-format off
constexpr TMeasureDef Measures[] = {
  //  variable                   metric                             phase  divisor  HELP
  {"input.voltage",           nullptr,                            nullptr, 1, "", false, false,
   [](const TMeasureBlock& m) { return m.InputVoltA; }},
  {"input.L1-N.voltage",      "tessaro_input_voltage_volts",      "L1", 1, "Input voltage of a phase.", false, false,
   [](const TMeasureBlock& m) { return m.InputVoltA; }},
  {"input.L2-N.voltage",      "tessaro_input_voltage_volts",      "L2", 1, "", false, false,
   [](const TMeasureBlock& m) { return m.InputVoltB; }},
  {"input.L3-N.voltage",      "tessaro_input_voltage_volts",      "L3", 1, "", false, false,
   [](const TMeasureBlock& m) { return m.InputVoltC; }},
  {"output.voltage",          nullptr,                            nullptr, 1, "", false, false,
   [](const TMeasureBlock& m) { return m.OutputVoltA; }},
  {"output.L1-N.voltage",     "tessaro_output_voltage_volts",     "L1", 1, "Output voltage of a phase.", false, false,
   [](const TMeasureBlock& m) { return m.OutputVoltA; }},
  {"output.L2-N.voltage",     "tessaro_output_voltage_volts",     "L2", 1, "", false, false,
   [](const TMeasureBlock& m) { return m.OutputVoltB; }},
  {"output.L3-N.voltage",     "tessaro_output_voltage_volts",     "L3", 1, "", false, false,
   [](const TMeasureBlock& m) { return m.OutputVoltC; }},
  {"output.L1.power.percent", "tessaro_output_load_ratio",        "L1", 100, "Load of a phase, 1 = full load.", false, false,
   [](const TMeasureBlock& m) { return m.LoadA; }},
  {"output.L2.power.percent", "tessaro_output_load_ratio",        "L2", 100, "", false, false,
   [](const TMeasureBlock& m) { return m.LoadB; }},
  {"output.L3.power.percent", "tessaro_output_load_ratio",        "L3", 100, "", false, false,
   [](const TMeasureBlock& m) { return m.LoadC; }},
  {"ups.load",                nullptr,                            nullptr, 1, "", false, false, MaxLoad},
  {"output.frequency",        "tessaro_output_frequency_hertz",   nullptr, 1, "Output frequency.", false, false,
   [](const TMeasureBlock& m) { return m.OutputFreq; }},
  {"battery.voltage",         "tessaro_battery_voltage_volts",    nullptr, 1, "DC input (battery) voltage.", false, false,
   [](const TMeasureBlock& m) { return m.DcInputVolt; }},
  {"battery.runtime",         "tessaro_battery_runtime_seconds",  nullptr, 1, "Battery backup time the device reports.", true, false,
   [](const TMeasureBlock& m) { return static_cast<double>(m.BattBackupTime) * 60; }},
  {"battery.charge",          "tessaro_battery_charge_ratio",     nullptr, 100, "Battery capacity, 1 = full.", true, true,
   [](const TMeasureBlock& m) { return static_cast<double>(m.BattCapacity); }},
  {"battery.current",         "tessaro_battery_current_amperes",  nullptr, 1, "Battery current, negative while discharging.", false, true,
   BatteryCurrent},
};
// clang-format on

}  // namespace

std::span<const TMeasureDef> MeasureDefs() { return Measures; }

bool ProtocolHas(const TMeasureDef& def, uint8_t protocol) {
  return !def.BatteryGroup || ProtocolTraits(protocol).BatteryGroup;
}

std::string FormatMeasure(const TMeasureDef& def, const TMeasureBlock& m) {
  const double v = def.Value(m);
  return def.Integer ? std::to_string(static_cast<long long>(std::isfinite(v) ? v : 0)) : FormatNumber(v);
}

TVarList DeviceVariables(const TUpsInfo& info, uint8_t protocol, bool forced) {
  TVarList v;
  auto put = [&v](std::string name, std::string value) { v.emplace_back(std::move(name), std::move(value)); };
  put("device.type", "ups");
  put("driver.name", "tessaro");
  put("ups.id", std::to_string(info.Address));
  put("ups.status", UpsStatus(info, forced));
  if (info.AlarmCount > 0) put("ups.alarm", UpsAlarm(info));
  for (const TMeasureDef& def : Measures)
    if (ProtocolHas(def, protocol)) put(def.Name, FormatMeasure(def, info.Measure));
  std::sort(v.begin(), v.end());
  return v;
}

namespace {

// Longest text served: device names are 40 GBK bytes, at most 60 in UTF-8;
// ups.alarm holds up to MaxAlarms texts.
constexpr int NameLength = 64;

// clang-format off
constexpr TVarDef VarDefs[] = {
  {"battery.charge",          "Battery charge (percent of full)",        0},
  {"battery.current",         "Battery current (A), negative while discharging", 0},
  {"battery.runtime",         "Battery runtime (seconds)",               0},
  {"battery.voltage",         "Battery voltage (V)",                     0},
  {"device.description",      "Device name, as configured in Tessaro",   NameLength},
  {"device.type",             "Device type",                             16},
  {"driver.name",             "Driver name",                             16},
  {"input.L1-N.voltage",      "Input voltage, phase 1 (V)",              0},
  {"input.L2-N.voltage",      "Input voltage, phase 2 (V)",              0},
  {"input.L3-N.voltage",      "Input voltage, phase 3 (V)",              0},
  {"input.voltage",           "Input voltage (V)",                       0},
  {"output.L1-N.voltage",     "Output voltage, phase 1 (V)",             0},
  {"output.L1.power.percent", "Load, phase 1 (percent)",                 0},
  {"output.L2-N.voltage",     "Output voltage, phase 2 (V)",             0},
  {"output.L2.power.percent", "Load, phase 2 (percent)",                 0},
  {"output.L3-N.voltage",     "Output voltage, phase 3 (V)",             0},
  {"output.L3.power.percent", "Load, phase 3 (percent)",                 0},
  {"output.frequency",        "Output frequency (Hz)",                   0},
  {"output.voltage",          "Output voltage (V)",                      0},
  {"ups.alarm",               "UPS alarms",                              MaxAlarms * 64},
  {"ups.id",                  "UPS address on the bus",                  3},
  {"ups.load",                "Load on the UPS (percent, highest phase)", 0},
  {"ups.status",              "UPS status",                              64},
};
// clang-format on

}  // namespace

const TVarDef* FindVarDef(std::string_view name) {
  for (const TVarDef& def : VarDefs)
    if (name == def.Name) return &def;
  return nullptr;
}

std::string VarType(const TVarDef& def) {
  return def.MaxLength == 0 ? std::string("NUMBER") : "STRING:" + std::to_string(def.MaxLength);
}

}  // namespace tessaro::net
