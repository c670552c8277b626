#include "core/MeasureCatalogue.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "core/ProtocolTraits.h"

namespace tessaro {

namespace {

using enum TMeasureId;
using enum TTextId;

double MaxLoad(const TMeasureBlock& m) { return std::max({m.LoadA, m.LoadB, m.LoadC}); }
// Positive while charging, negative while discharging.
double BatteryCurrentOf(const TMeasureBlock& m) {
  return m.BattDischargeCurr > 0 ? -m.BattDischargeCurr : m.BattChargeCurr;
}

constexpr std::nullopt_t NoText = std::nullopt;
constexpr TLogTitle NoColumn{nullptr, nullptr};

// clang-format off
constexpr TMeasure Table[] = {
  {InputVoltage, "input.voltage", "Input voltage (V)",
   nullptr, nullptr, 1, "", false, false,
   "V", 1, 1, NoText, NoText, 0, NoColumn,
   [](const TMeasureBlock& m) { return m.InputVoltA; }},
  {InputL1, "input.L1-N.voltage", "Input voltage, phase 1 (V)",
   "tessaro_input_voltage_volts", "L1", 1, "Input voltage of a phase.", false, false,
   "V", 1, 1, LbInputA, NoText, 2, {"输入A相电压(V)", "InV-A (V)"},
   [](const TMeasureBlock& m) { return m.InputVoltA; }},
  {InputL2, "input.L2-N.voltage", "Input voltage, phase 2 (V)",
   "tessaro_input_voltage_volts", "L2", 1, "", false, false,
   "V", 1, 1, LbInputB, NoText, 3, {"输入B相电压(V)", "InV-B (V)"},
   [](const TMeasureBlock& m) { return m.InputVoltB; }},
  {InputL3, "input.L3-N.voltage", "Input voltage, phase 3 (V)",
   "tessaro_input_voltage_volts", "L3", 1, "", false, false,
   "V", 1, 1, LbInputC, NoText, 4, {"输入C相电压(V)", "InV-C (V)"},
   [](const TMeasureBlock& m) { return m.InputVoltC; }},
  {OutputVoltage, "output.voltage", "Output voltage (V)",
   nullptr, nullptr, 1, "", false, false,
   "V", 1, 1, NoText, NoText, 0, NoColumn,
   [](const TMeasureBlock& m) { return m.OutputVoltA; }},
  {OutputL1, "output.L1-N.voltage", "Output voltage, phase 1 (V)",
   "tessaro_output_voltage_volts", "L1", 1, "Output voltage of a phase.", false, false,
   "V", 1, 1, LbOutputA, NoText, 5, {"输出A相电压(V)", "OutV-A (V)"},
   [](const TMeasureBlock& m) { return m.OutputVoltA; }},
  {OutputL2, "output.L2-N.voltage", "Output voltage, phase 2 (V)",
   "tessaro_output_voltage_volts", "L2", 1, "", false, false,
   "V", 1, 1, LbOutputB, NoText, 6, {"输出B相电压(V)", "OutV-B (V)"},
   [](const TMeasureBlock& m) { return m.OutputVoltB; }},
  {OutputL3, "output.L3-N.voltage", "Output voltage, phase 3 (V)",
   "tessaro_output_voltage_volts", "L3", 1, "", false, false,
   "V", 1, 1, LbOutputC, NoText, 7, {"输出C相电压(V)", "OutV-C (V)"},
   [](const TMeasureBlock& m) { return m.OutputVoltC; }},
  {LoadL1, "output.L1.power.percent", "Load, phase 1 (percent)",
   "tessaro_output_load_ratio", "L1", 100, "Load of a phase, 1 = full load.", false, false,
   "%", 0, 1, LoadPhaseA, LoadHeading, 8, {"A相负载率(%)", "Load-A (%)"},
   [](const TMeasureBlock& m) { return m.LoadA; }},
  {LoadL2, "output.L2.power.percent", "Load, phase 2 (percent)",
   "tessaro_output_load_ratio", "L2", 100, "", false, false,
   "%", 0, 1, LoadPhaseB, LoadHeading, 9, {"B相负载率(%)", "Load-B (%)"},
   [](const TMeasureBlock& m) { return m.LoadB; }},
  {LoadL3, "output.L3.power.percent", "Load, phase 3 (percent)",
   "tessaro_output_load_ratio", "L3", 100, "", false, false,
   "%", 0, 1, LoadPhaseC, LoadHeading, 10, {"C相负载率(%)", "Load-C (%)"},
   [](const TMeasureBlock& m) { return m.LoadC; }},
  {UpsLoad, "ups.load", "Load on the UPS (percent, highest phase)",
   nullptr, nullptr, 1, "", false, false,
   "%", 0, 1, NoText, NoText, 0, NoColumn,
   MaxLoad},
  {OutputFrequency, "output.frequency", "Output frequency (Hz)",
   "tessaro_output_frequency_hertz", nullptr, 1, "Output frequency.", false, false,
   "Hz", 1, 1, BoxOutputFreq, NoText, 11, {"输出频率(Hz)", "OutFreq (Hz)"},
   [](const TMeasureBlock& m) { return m.OutputFreq; }},
  {BatteryVoltage, "battery.voltage", "Battery voltage (V)",
   "tessaro_battery_voltage_volts", nullptr, 1, "DC input (battery) voltage.", false, false,
   "V", 1, 1, BoxDcInputVolt, NoText, 12, {"直流输入电压(V)", "DC V(V)"},
   [](const TMeasureBlock& m) { return m.DcInputVolt; }},
  // The device counts minutes; the network protocol and the metric want seconds.
  {BatteryRuntime, "battery.runtime", "Battery runtime (seconds)",
   "tessaro_battery_runtime_seconds", nullptr, 1, "Battery backup time the device reports.", true, false,
   "Minute", 0, 60, BoxBattBackup, NoText, 14, {"电池后备时间(分)", "BattSuppTime(min)"},
   [](const TMeasureBlock& m) { return static_cast<double>(m.BattBackupTime) * 60; }},
  {BatteryCharge, "battery.charge", "Battery charge (percent of full)",
   "tessaro_battery_charge_ratio", nullptr, 100, "Battery capacity, 1 = full.", true, true,
   "%", 0, 1, BoxBattCapacity, NoText, 13, {"电池容量率(%)", "BattCapa (%)"},
   [](const TMeasureBlock& m) { return static_cast<double>(m.BattCapacity); }},
  {BatteryCurrent, "battery.current", "Battery current (A), negative while discharging",
   "tessaro_battery_current_amperes", nullptr, 1, "Battery current, negative while discharging.", false, true,
   "A", 1, 1, NoText, NoText, 0, NoColumn,
   BatteryCurrentOf},
};
// clang-format on

constexpr bool InIdOrder() {
  for (std::size_t i = 0; i < std::size(Table); ++i)
    if (static_cast<std::size_t>(Table[i].Id) != i) return false;
  return true;
}
static_assert(InIdOrder(), "Measure(id) indexes the table by id");

constexpr std::array<const TMeasure*, LogColumnCount> MakeLogColumns() {
  std::array<const TMeasure*, LogColumnCount> columns{};
  for (const TMeasure& m : Table)
    if (m.LogColumn != 0) columns[static_cast<std::size_t>(m.LogColumn - FirstLogColumn)] = &m;
  return columns;
}
constexpr std::array<const TMeasure*, LogColumnCount> LogColumnTable = MakeLogColumns();

constexpr bool EveryColumnOnce() {
  int logged = 0;
  for (const TMeasure& m : Table) logged += m.LogColumn != 0 ? 1 : 0;
  for (const TMeasure* m : LogColumnTable)
    if (m == nullptr) return false;
  return logged == LogColumnCount;
}
static_assert(EveryColumnOnce(), "each data-log column 2..14 comes from exactly one measure");

}  // namespace

std::span<const TMeasure> Measures() { return Table; }

const TMeasure& Measure(TMeasureId id) { return Table[static_cast<std::size_t>(id)]; }

const TMeasure* FindMeasure(std::string_view name) {
  for (const TMeasure& m : Table)
    if (name == m.Name) return &m;
  return nullptr;
}

bool ProtocolHas(const TProtocolTraits& traits, const TMeasure& measure) {
  return !measure.BatteryGroup || traits.BatteryGroup;
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

std::string MeasureText(const TMeasure& measure, const TMeasureBlock& m) {
  const double v = measure.Value(m);
  return measure.Integer ? std::to_string(static_cast<long long>(std::isfinite(v) ? v : 0)) : FormatNumber(v);
}

std::span<const TMeasure* const> LogColumns() { return LogColumnTable; }

}  // namespace tessaro
