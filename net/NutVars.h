#pragma once
// The protocol's view of one device record: which variables it has and their
// values. Only what the device reports is served; nothing is made up.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/MeasureCatalogue.h"
#include "core/TestSchedule.h"
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

// Every variable of a device (served only while it is fresh, core/Freshness.h); `protocol` is the protocol
// number of the settings (battery charge and current only where it gives them).
TVarList DeviceVariables(const TUpsInfo& info, uint8_t protocol, bool forced = false);
// ups.test.result and ups.test.date, once the device has been tested.
void AddTestVariables(TVarList& v, const TTestResults& tests, int address);

// What GET DESC and GET TYPE tell of a variable Tessaro serves.
struct TVarDef {
  const char* Name;
  const char* Description;  // short, English
  int MaxLength;            // 0: a number; else text of at most this many bytes
};
// The definition of a variable Tessaro serves for the protocol, or nothing:
// no such variable, or a measured value the protocol does not report.
std::optional<TVarDef> FindVarDef(std::string_view name, uint8_t protocol);
// "NUMBER" or "STRING:n", as GET TYPE answers.
std::string VarType(const TVarDef& def);

}  // namespace tessaro::net
