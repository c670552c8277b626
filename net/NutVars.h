#pragma once
// The protocol's view of one device record: which variables it has and their
// values. Only what the device reports is served; nothing is made up.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/UpsInfo.h"

namespace tessaro::net {

// (name, value), sorted by name.
using TVarList = std::vector<std::pair<std::string, std::string>>;

// Runtime at or below which the battery counts as low when the device has no
// pre-alarm time of its own (minutes).
constexpr int DefaultLowRuntimeMinutes = 5;

// ups.status: OL or OB, BYPASS, OFF, CAL, LB and ALARM, as the device's state
// code, supply path, alarms and runtime tell; FSD first while the device's
// forced-shutdown flag is set.
std::string UpsStatus(const TUpsInfo& info, bool forced = false);

// ups.alarm: the English texts of the active alarms, "; " between them.
std::string UpsAlarm(const TUpsInfo& info);

// One measured value of a device, named once for every face that serves it:
// the network UPS variable (also the key of the web's JSON) and, where it has
// one, the metric with its unit in base units.
struct TMeasureDef {
  const char* Name;        // network UPS variable, "input.L1-N.voltage"
  const char* Metric;      // "tessaro_input_voltage_volts", or null: not a metric of its own
  const char* Phase;       // value of the metric's phase label, or null
  double MetricDivisor;    // Value / MetricDivisor is the metric (100: percent -> ratio)
  const char* Help;        // the metric's HELP text
  bool Integer;            // served without decimals
  bool BatteryGroup;       // only where the protocol reports battery charge and current
  double (*Value)(const TMeasureBlock&);  // in the variable's unit
};

// Every measured value, in the order the web shows them.
std::span<const TMeasureDef> MeasureDefs();
// The protocol reports the value (battery charge and current are not given by
// the power-frequency protocol).
bool ProtocolHas(const TMeasureDef& def, uint8_t protocol);
// The value as the network protocol writes it ("229.9", "97", "1800").
std::string FormatMeasure(const TMeasureDef& def, const TMeasureBlock& m);

// Every variable of a device (served only while it is fresh, core/Freshness.h); `protocol` is the protocol
// number of the settings (battery charge and current only where it gives them).
TVarList DeviceVariables(const TUpsInfo& info, uint8_t protocol, bool forced = false);

// What GET DESC and GET TYPE tell of a variable Tessaro serves.
struct TVarDef {
  const char* Name;
  const char* Description;  // short, English
  int MaxLength;            // 0: a number; else text of at most this many bytes
};
// The definition of a served variable, or null.
const TVarDef* FindVarDef(std::string_view name);
// "NUMBER" or "STRING:n", as GET TYPE answers.
std::string VarType(const TVarDef& def);

// A measurement as the protocol writes numbers: a dot, at least one decimal,
// no trailing zeros beyond it ("220.0", "219.39").
std::string FormatNumber(double value);

}  // namespace tessaro::net
