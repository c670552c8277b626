#include "net/NutVars.h"

#include <algorithm>

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

TVarList DeviceVariables(const TUpsInfo& info, uint8_t protocol, bool forced) {
  TVarList v;
  auto put = [&v](std::string name, std::string value) { v.emplace_back(std::move(name), std::move(value)); };
  put("device.type", "ups");
  put("driver.name", "tessaro");
  put("ups.id", std::to_string(info.Address));
  put("ups.status", UpsStatus(info, forced));
  if (info.AlarmCount > 0) put("ups.alarm", UpsAlarm(info));
  const TProtocolTraits& traits = ProtocolTraits(protocol);
  for (const TMeasure& m : Measures())
    if (ProtocolHas(traits, m)) put(m.Name, MeasureText(m, info.Measure));
  std::sort(v.begin(), v.end());
  return v;
}

void AddTestVariables(TVarList& v, const TTestResults& tests, int address) {
  std::string result = tests.ResultText(address);
  if (result.empty()) return;
  v.emplace_back("ups.test.result", std::move(result));
  v.emplace_back("ups.test.date", tests.DateText(address));
}

namespace {

// Longest text served: device names are 40 GBK bytes, at most 60 in UTF-8;
// ups.alarm holds up to MaxAlarms texts.
constexpr int NameLength = 64;

// clang-format off
// The variables that are no measured value; those are in the measure catalogue.
constexpr TVarDef VarDefs[] = {
  {"device.description",      "Device name, as configured in Tessaro",   NameLength},
  {"device.type",             "Device type",                             16},
  {"driver.name",             "Driver name",                             16},
  {"ups.alarm",               "UPS alarms",                              MaxAlarms * 64},
  {"ups.id",                  "UPS address on the bus",                  3},
  {"ups.status",              "UPS status",                              64},
  {"ups.test.date",           "Date of the last UPS self-test",          20},
  {"ups.test.result",         "Results of the last UPS self-test",       64},
};
// clang-format on

}  // namespace

std::optional<TVarDef> FindVarDef(std::string_view name, uint8_t protocol) {
  if (const TMeasure* m = FindMeasure(name)) {
    if (!ProtocolHas(ProtocolTraits(protocol), *m)) return std::nullopt;
    return TVarDef{m->Name, m->Description, 0};
  }
  for (const TVarDef& def : VarDefs)
    if (name == def.Name) return def;
  return std::nullopt;
}

std::string VarType(const TVarDef& def) {
  return def.MaxLength == 0 ? std::string("NUMBER") : "STRING:" + std::to_string(def.MaxLength);
}

}  // namespace tessaro::net
