#pragma once
// Every measured value of a device, once: how each face names, writes and
// labels it, and how it is read from the device record. The network UPS
// server, the JSON, the metrics, the trends, the web pages, the desktop's
// labels and the data-log columns all read this table, so a value added here
// shows everywhere and a unit or a label can never differ between faces.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/LangTable.h"
#include "core/UpsInfo.h"

namespace tessaro {

struct TProtocolTraits;

enum class TMeasureId : int {
  InputVoltage,  // phase 1 without a phase in its name
  InputL1,
  InputL2,
  InputL3,
  OutputVoltage,  // phase 1 without a phase in its name
  OutputL1,
  OutputL2,
  OutputL3,
  LoadL1,
  LoadL2,
  LoadL3,
  UpsLoad,  // the highest phase
  OutputFrequency,
  BatteryVoltage,
  BatteryRuntime,
  BatteryCharge,
  BatteryCurrent,
};

// A data-log column title in both languages (UTF-8).
struct TLogTitle {
  const char* Chinese;
  const char* English;
};

struct TMeasure {
  TMeasureId Id;
  // The network UPS variable, also the value's field in the web's JSON and
  // the name of its trend series ("input.L1-N.voltage").
  const char* Name;
  const char* Description;  // GET DESC, short, English

  // The metric ("tessaro_input_voltage_volts", its unit the suffix), or null:
  // no metric of its own and no trend. Value / MetricDivisor is the metric,
  // in base units (100: percent -> ratio).
  const char* Metric;
  const char* Phase;  // value of the metric's phase label, or null
  double MetricDivisor;
  const char* Help;  // the metric's HELP; "" for the later phases of a family

  bool Integer;       // written without decimals
  bool BatteryGroup;  // only where the protocol reports battery charge and current

  // How the displays show it: Value / ShownDivisor with Decimals, then Unit.
  const char* Unit;
  int Decimals;
  double ShownDivisor;
  // The caption on the desktop and the web page (both languages), and the
  // heading of the group it stands under; none: not shown there.
  std::optional<TTextId> Label;
  std::optional<TTextId> Heading;

  // Column of the data-log grid and export (2..14), 0: not logged as a column.
  int LogColumn;
  TLogTitle LogTitle;

  // In the variable's unit.
  double (*Value)(const TMeasureBlock&);
};

// Every measured value, in the order the network server's list and the JSON
// give them and the displays show them.
std::span<const TMeasure> Measures();
const TMeasure& Measure(TMeasureId id);
// The measure named `name` (network UPS variable), or null.
const TMeasure* FindMeasure(std::string_view name);

// The protocol reports the value.
bool ProtocolHas(const TProtocolTraits& traits, const TMeasure& measure);

// The value as the displays show it, before formatting.
inline double ShownValue(const TMeasure& measure, const TMeasureBlock& m) {
  return measure.Value(m) / measure.ShownDivisor;
}

// A measurement as the network protocol and the JSON write numbers: a dot, at
// least one decimal, no trailing zeros beyond it ("220.0", "219.39").
std::string FormatNumber(double value);
// The value as the network protocol and the JSON write it ("229.9", "97", "1800").
std::string MeasureText(const TMeasure& measure, const TMeasureBlock& m);

// The data-log columns 2..14 in column order.
constexpr int FirstLogColumn = 2;
constexpr int LogColumnCount = 13;
std::span<const TMeasure* const> LogColumns();

}  // namespace tessaro
