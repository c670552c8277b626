#include "web/WebModel.h"

#include <cstdio>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <algorithm>

#include "core/UnixTime.h"
#include "core/Catalogue.h"
#include "core/DeviceState.h"
#include "core/ProtocolTraits.h"
#include "core/LangTable.h"
#include "core/MeasureCatalogue.h"
#include "core/UserParaIni.h"
#include "logs/EventLog.h"
#include "net/NutVars.h"
#include "web/Json.h"

namespace tessaro::web {

namespace {

const char* LinkName(uint8_t commState) {
  switch (commState) {
    case 0: return "communicating";
    case 1: return "error";
    default: return "lost";
  }
}

// A local time as ISO 8601 with its offset and as Unix seconds; both null
// for none.
void WriteTime(TJson& j, const char* iso, const char* unix, TDateTime local) {
  if (local == 0) {
    j.Key(iso).Null().Key(unix).Null();
    return;
  }
  j.Key(iso).String(FormatIso8601(local)).Key(unix).Integer(static_cast<long long>(UnixSeconds(local)));
}

// Failures in a row after which the link counts as lost (core/UpsInfo.cpp).
constexpr int LostAfterFailures = 10;

// Before its first answer since the start and its link not yet given up on.
bool NotYetPolled(const TDeviceView& d) {
  return d.LastAnswer == 0 && d.Info.CommState != 0 && d.Info.FailStreak < LostAfterFailures;
}

// The link as the metrics give it: a device not yet polled is not lost.
const char* MetricLinkName(const TBusSnapshot& s, const TDeviceView& d) {
  if (!s.PortOpen) return "lost";
  return NotYetPolled(d) ? "waiting" : LinkName(d.Info.CommState);
}

void WriteSupply(TJson& j, int code, std::optional<TTextId> text, int language) {
  j.BeginObject().Key("code").Integer(code).Key("text").String(text ? LangTextUtf8(*text, language) : "").EndObject();
}

void WriteDevice(TJson& j, const TBusSnapshot& s, const TDeviceView& d, bool full) {
  const TUpsInfo& r = d.Info;
  const int lang = s.Language;
  j.BeginObject();
  j.Key("address").Integer(d.Address);
  j.Key("name").String(d.Name);
  j.Key("up").Bool(d.Up);
  const TTreeLook look = TreeLook(r, s.PortOpen, lang);
  j.Key("tree").BeginObject().Key("icon").String(TreeIconName(look.Icon)).Key("caption").String(look.Caption).EndObject();
  j.Key("look").String(LookName(s, d));
  j.Key("link").BeginObject();
  j.Key("state").String(MetricLinkName(s, d));
  j.Key("successRate").Integer(r.SuccessRate);
  j.Key("lastAnswer");
  if (d.LastAnswer != 0)
    j.String(FormatDateTime(d.LastAnswer));
  else
    j.Null();
  WriteTime(j, "lastAnswerAt", "lastAnswerUnix", d.LastAnswer);
  j.EndObject();
  // Shown whether or not the device answers: the hosts are going down either way.
  j.Key("forcedShutdown");
  if (d.Forced)
    j.BeginObject().Key("by").String(d.Forced->By).Key("from").String(d.Forced->From).Key("at")
        .String(FormatDateTime(d.Forced->At)).EndObject();
  else
    j.Null();
  // Kept whether or not the device answers now.
  j.Key("batteryTest");
  if (!d.TestResult.empty())
    j.BeginObject().Key("result").String(d.TestResult).Key("date").String(d.TestDate).EndObject();
  else
    j.Null();
  if (!d.Up) {
    // Nothing the device said before its link went is served as current.
    j.Key("state").Null().Key("status").Null().Key("alarms").BeginArray().EndArray();
    j.Key("values").BeginObject().EndObject();
    j.EndObject();
    return;
  }
  j.Key("state").BeginObject().Key("code").Integer(r.StateCode).Key("text").String(StateCaption(r.StateCode, lang));
  j.EndObject();
  j.Key("status").String(net::UpsStatus(r, d.Forced.has_value()));
  j.Key("alarms").BeginArray();
  for (int i = 0; i < std::min<int>(r.AlarmCount, MaxAlarms); ++i) {
    const int32_t code = r.AlarmCodes[static_cast<size_t>(i)];
    j.BeginObject().Key("code").Integer(code).Key("text").String(AlarmText(code, lang)).EndObject();
  }
  j.EndArray();
  j.Key("values");
  WriteValues(j, r.Measure, s.Protocol);
  if (full) {
    j.Key("supply").BeginObject();
    j.Key("input");
    WriteSupply(j, r.InputSupply, InputSupplyText(r), lang);
    j.Key("ups");
    WriteSupply(j, r.UpsSupply, UpsSupplyText(r), lang);
    j.EndObject();
    j.Key("switches").BeginObject();
    j.Key("input").Bool(r.InputSwitch).Key("output").Bool(r.OutputSwitch);
    j.Key("bypass").Bool(r.BypassSwitch).Key("maintenance").Bool(r.MaintSwitch);
    j.EndObject();
    const TStatusWordTexts w = StatusWordTexts(r.Status);
    j.Key("statusWords").BeginObject();
    j.Key("cmmState").String(w.CmmState);
    j.Key("invState").String(w.InvState);
    j.Key("cmmAlarm").String(w.CmmAlarm);
    j.Key("invAlarm").String(w.InvAlarm);
    if (ProtocolTraits(s.Protocol).SystemWords) {
      j.Key("sysState").String(w.SysState);
      j.Key("sysAlarm").String(w.SysAlarm);
    }
    j.EndObject();
  }
  j.EndObject();
}

void WriteBus(TJson& j, const TBusSnapshot& s) {
  j.Key("time").String(FormatDateTime(s.Now));
  WriteTime(j, "timeAt", "timeUnix", s.Now);
  j.Key("sequence").Integer(static_cast<long long>(s.Sequence));
  j.Key("language").String(s.Language == 1 ? "zh" : "en");
  j.Key("protocol").Integer(s.Protocol);
  j.Key("port").BeginObject();
  j.Key("name").String(s.PortName).Key("open").Bool(s.PortOpen).Key("paused").Bool(s.Paused);
  j.Key("requestsSent").Integer(s.Stats.TxCount);
  j.Key("receives").Integer(s.Stats.RxCount);
  j.Key("answersRefused").Integer(s.Stats.ParseFailures);
  j.EndObject();
}

// ---- Prometheus text format

// A label value with \, " and line feeds escaped.
std::string LabelValue(std::string_view v) {
  std::string out;
  for (const char c : v) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest text that reads back as the same double ("219.39", "0.47").
std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A reading in base units without the noise of its decoding: readings carry
// at most two decimals, so 219.20000000000002 V is 219.2 V, and 47 % is 0.47.
double Metric(double value, double divisor) {
  if (!std::isfinite(value)) return value;
  return std::round(value * 100) / (100 * divisor);
}

// The flags the devices raise, always given so that a series does not come
// and go; a flag outside this list is given while raised.
constexpr const char* StatusFlags[] = {"OL", "OB", "LB", "BYPASS", "CAL", "OFF", "ALARM", "FSD"};

class TMetrics {
 public:
  // Names a family; its HELP and TYPE are written before its first sample,
  // and not at all when it has none.
  void Family(const char* name, const char* type, const char* help) { FFamilies.try_emplace(name, type, help); }
  void Sample(const char* name, const std::string& labels, double value) {
    // A family's samples come one after another.
    if (name != FLast && FDeclared.insert(name).second) {
      const auto& [type, help] = FFamilies.at(name);
      FOut += "# HELP ";
      FOut += name;
      FOut += ' ';
      FOut += help;
      FOut += "\n# TYPE ";
      FOut += name;
      FOut += ' ';
      FOut += type;
      FOut += '\n';
    }
    FLast = name;
    FOut += name;
    if (!labels.empty()) {
      FOut += '{';
      FOut += labels;
      FOut += '}';
    }
    FOut += ' ';
    FOut += Number(value);
    FOut += '\n';
  }
  std::string Take() { return std::move(FOut); }
  void Reserve(size_t bytes) { FOut.reserve(bytes); }

 private:
  std::string FOut;
  std::map<std::string, std::pair<const char*, const char*>> FFamilies;
  std::set<std::string> FDeclared;
  const char* FLast = nullptr;
};

// Each metric family is written whole, device by device, so that a name's
// samples stay together.
void DeviceFamilies(TMetrics& m, const TBusSnapshot& s, const std::vector<std::string>& labels) {
  const auto& devices = s.Devices;
  m.Family("tessaro_device_up", "gauge",
           "1 while the device's values are current: link up and its state decoded since; 0 otherwise, and then "
           "no readings of it are given.");
  for (size_t i = 0; i < devices.size(); ++i) m.Sample("tessaro_device_up", labels[i], devices[i].Up ? 1 : 0);
  m.Family("tessaro_device_link_state", "gauge",
           "1 for the link state the device is in (waiting: not yet answered since the start), 0 for the others.");
  for (size_t i = 0; i < devices.size(); ++i) {
    const char* now = MetricLinkName(s, devices[i]);
    for (const char* state : {"communicating", "error", "lost", "waiting"})
      m.Sample("tessaro_device_link_state", labels[i] + ",state=\"" + state + "\"", std::string_view(now) == state);
  }
  m.Family("tessaro_device_success_ratio", "gauge", "Share of the device's requests answered, 0 to 1.");
  for (size_t i = 0; i < devices.size(); ++i)
    m.Sample("tessaro_device_success_ratio", labels[i], devices[i].Info.SuccessRate / 100.0);
  m.Family("tessaro_device_last_answer_timestamp_seconds", "gauge",
           "Time of the device's last accepted answer, Unix seconds.");
  for (size_t i = 0; i < devices.size(); ++i)
    if (devices[i].LastAnswer != 0)
      m.Sample("tessaro_device_last_answer_timestamp_seconds", labels[i],
               static_cast<double>(UnixSeconds(devices[i].LastAnswer)));
  m.Family("tessaro_device_info", "gauge", "Always 1; the device's name, address, protocol and bus in labels.");
  for (size_t i = 0; i < devices.size(); ++i)
    m.Sample("tessaro_device_info", labels[i] + ",protocol=\"" + std::to_string(s.Protocol) + "\",bus=\"" +
                                        LabelValue(s.PortName) + "\"",
             1);

  m.Family("tessaro_device_state", "gauge", "1 for the UPS state the device reports, 0 for the others.");
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i].Up) continue;
    for (const TStateRow& row : StateRows())
      if (row.Name)
        m.Sample("tessaro_device_state", labels[i] + ",state=\"" + row.Name + "\"", devices[i].Info.StateCode == row.Code);
  }
  m.Family("tessaro_device_alarm", "gauge",
           "1 while the alarm is active, 0 when not; every alarm the protocol can raise.");
  // The labels of each alarm the protocol has, made once.
  std::map<int32_t, std::string> alarmLabels;
  auto alarmLabel = [&alarmLabels](int32_t code) -> const std::string& {
    auto [it, made] = alarmLabels.try_emplace(code);
    if (made) {
      std::string text = AlarmText(code, 0);
      if (text.empty()) text = "Alarm " + std::to_string(code);
      it->second = ",code=\"" + std::to_string(code) + "\",alarm=\"" + LabelValue(text) + "\"";
    }
    return it->second;
  };
  std::set<int32_t> protocolCodes;
  for (const TCatalogueEntry& e : AlarmCatalogue())
    if (RaisesAlarm(ProtocolTraits(s.Protocol), e.Code)) protocolCodes.insert(e.Code);
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i].Up) continue;
    const TUpsInfo& r = devices[i].Info;
    const std::set<int32_t> active(r.AlarmCodes.begin(),
                                   r.AlarmCodes.begin() + std::min<int>(r.AlarmCount, MaxAlarms));
    std::set<int32_t> codes = protocolCodes;
    codes.insert(active.begin(), active.end());
    for (const int32_t code : codes)
      m.Sample("tessaro_device_alarm", labels[i] + alarmLabel(code), active.count(code) ? 1 : 0);
  }
  m.Family("tessaro_device_status", "gauge",
           "1 for each status flag the device raises, by its network UPS name (OL, OB, LB, ...), 0 for the others.");
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i].Up) continue;
    std::vector<std::string> raised;
    std::istringstream words(net::UpsStatus(devices[i].Info));
    for (std::string w; words >> w;) raised.push_back(w);
    std::vector<std::string> flags(std::begin(StatusFlags), std::end(StatusFlags));
    for (const std::string& w : raised)
      if (std::find(flags.begin(), flags.end(), w) == flags.end()) flags.push_back(w);
    for (const std::string& flag : flags)
      m.Sample("tessaro_device_status", labels[i] + ",flag=\"" + LabelValue(flag) + "\"",
               std::find(raised.begin(), raised.end(), flag) != raised.end());
  }
  const TProtocolTraits& traits = ProtocolTraits(s.Protocol);
  const TMeasure& load = Measure(TMeasureId::UpsLoad);
  m.Family("tessaro_ups_load_ratio", "gauge", "Load on the device, its most loaded phase; 1 = full load.");
  for (size_t i = 0; i < devices.size(); ++i)
    if (devices[i].Up && ProtocolHas(traits, load))
      m.Sample("tessaro_ups_load_ratio", labels[i], Metric(load.Value(devices[i].Info.Measure), 100));
  for (const TMeasure& def : Measures()) {
    if (!def.Metric || !ProtocolHas(traits, def)) continue;
    if (*def.Help) m.Family(def.Metric, "gauge", def.Help);
    for (size_t i = 0; i < devices.size(); ++i) {
      if (!devices[i].Up) continue;
      std::string l = labels[i];
      if (def.Phase) l += std::string(",phase=\"") + def.Phase + "\"";
      m.Sample(def.Metric, l, Metric(def.Value(devices[i].Info.Measure), def.MetricDivisor));
    }
  }
}

}  // namespace

const char* LookName(const TBusSnapshot& s, const TDeviceView& d) {
  if (!s.PortOpen) return "silent";
  if (!d.Up) return NotYetPolled(d) || d.Info.CommState == 0 ? "waiting" : "silent";
  const std::string status = " " + net::UpsStatus(d.Info) + " ";
  if (status.find(" OB ") != std::string::npos) return "battery";
  if (d.Info.AlarmCount > 0) return "alarm";
  if (status.find(" OFF ") != std::string::npos) return "off";
  return "fine";
}

void WriteValues(TJson& j, const TMeasureBlock& m, uint8_t protocol) {
  const TProtocolTraits& traits = ProtocolTraits(protocol);
  j.BeginObject();
  for (const TMeasure& def : Measures())
    if (ProtocolHas(traits, def)) j.Key(def.Name).Raw(MeasureText(def, m));
  j.EndObject();
}

std::string DevicesJson(const TBusSnapshot& s) {
  TJson j;
  j.BeginObject();
  WriteBus(j, s);
  j.Key("devices").BeginArray();
  for (const TDeviceView& d : s.Devices) WriteDevice(j, s, d, false);
  j.EndArray();
  j.EndObject();
  return j.Take();
}

std::string DeviceJson(const TBusSnapshot& s, const TDeviceView& d) {
  TJson j;
  j.BeginObject();
  WriteBus(j, s);
  j.Key("device");
  WriteDevice(j, s, d, true);
  j.EndObject();
  return j.Take();
}

namespace {

// Where the JSON value starting at `at` ends, in the compact text TJson makes.
size_t ValueEnd(std::string_view t, size_t at) {
  int depth = 0;
  bool inString = false;
  for (size_t i = at; i < t.size(); ++i) {
    const char c = t[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
        if (depth == 0) return i + 1;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return i;
      if (--depth == 0) return i + 1;
    } else if (c == ',' && depth == 0) {
      return i;
    }
  }
  return t.size();
}

// The members of an object (keys without their quotes) or, with no keys, the
// elements of an array.
std::vector<std::pair<std::string_view, std::string_view>> Members(std::string_view text, bool keyed) {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  size_t i = 1;
  while (i < text.size() && text[i] != '}' && text[i] != ']') {
    std::string_view key;
    if (keyed) {
      const size_t keyEnd = ValueEnd(text, i);
      key = text.substr(i + 1, keyEnd - i - 2);
      i = keyEnd + 1;
    }
    const size_t end = ValueEnd(text, i);
    out.emplace_back(key, text.substr(i, end - i));
    i = end + (end < text.size() && text[end] == ',');
  }
  return out;
}

struct TFlatMember {
  std::string Key;          // "up", "link", "link/state"
  std::string Value;        // what is compared: an object by its keys
  std::string_view Whole;   // what is sent
};

// An object's members, those that are objects one level down too.
std::vector<TFlatMember> Flatten(std::string_view object) {
  std::vector<TFlatMember> out;
  for (const auto& [key, value] : Members(object, true)) {
    if (value.empty() || value[0] != '{') {
      out.push_back({std::string(key), std::string(value), value});
      continue;
    }
    const auto inner = Members(value, true);
    std::string shape = "{";
    for (const auto& m : inner) shape.append(m.first).push_back(',');
    out.push_back({std::string(key), shape, value});
    for (const auto& [sub, v] : inner) out.push_back({std::string(key) + "/" + std::string(sub), std::string(v), v});
  }
  return out;
}

// The members that differ from what was sent, as "key":value pairs; `sent`
// takes them. An object whose keys changed goes whole.
template <typename TSkip>
std::string Changed(const std::vector<TFlatMember>& now, std::map<std::string, std::string>& sent, TSkip skip) {
  std::string out, replaced;
  for (const TFlatMember& m : now) {
    const size_t slash = m.Key.find('/');
    if (slash != std::string::npos && std::string_view(m.Key).substr(0, slash) == replaced) {
      sent[m.Key] = m.Value;
      continue;
    }
    if (skip(m.Key)) continue;
    std::string& was = sent[m.Key];
    if (was == m.Value && !was.empty()) continue;
    was = m.Value;
    if (slash == std::string::npos) replaced = m.Key;
    if (!out.empty()) out += ',';
    out.append("\"").append(m.Key).append("\":").append(m.Whole);
  }
  return out;
}

}  // namespace

TDevicesDiff::TEvent TDevicesDiff::Next(const TBusSnapshot& s) {
  TEvent event;
  const std::string body = DevicesJson(s);
  std::vector<TFlatMember> bus;
  std::vector<std::pair<std::string, std::vector<TFlatMember>>> devices;
  for (TFlatMember& m : Flatten(body)) {
    if (m.Key != "devices") {
      bus.push_back(std::move(m));
      continue;
    }
    for (const auto& element : Members(m.Whole, false)) {
      std::vector<TFlatMember> d = Flatten(element.second);
      const auto address = std::find_if(d.begin(), d.end(), [](const TFlatMember& f) { return f.Key == "address"; });
      devices.emplace_back(address != d.end() ? address->Value : "", std::move(d));
    }
  }
  std::vector<std::string> order;
  for (const auto& d : devices) order.push_back(d.first);
  const bool full = !FStarted || order != FOrder;
  if (full) {
    FStarted = true;
    FOrder = std::move(order);
    FBus.clear();
    FDevices.clear();
  }
  // The time moves every second; the pages do not show it.
  const auto skipBus = [](const std::string& key) {
    return key == "time" || key == "timeAt" || key == "timeUnix" || key == "sequence";
  };
  // Readings move with every answer: they go every ReadingsEveryMs, or with
  // any other change of their device. The port counters, small, go at once.
  const bool readingsDue = full || s.MadeMs - FReadingsSentMs >= ReadingsEveryMs;
  if (readingsDue) FReadingsSentMs = s.MadeMs;
  std::string patch = Changed(bus, FBus, skipBus);
  std::string changedDevices;
  for (const auto& [address, members] : devices) {
    const bool up = std::any_of(members.begin(), members.end(),
                                [](const TFlatMember& f) { return f.Key == "up" && f.Value == "true"; });
    // Not kept either while the device is up: its first change once it is
    // not up is then sent.
    const auto skipAnswer = [up](const std::string& key) { return up && key.starts_with("link/lastAnswer"); };
    const auto skipReadings = [&](const std::string& key) {
      return skipAnswer(key) || (!readingsDue && key.starts_with("values/"));
    };
    std::string d = Changed(members, FDevices[address], skipReadings);
    if (d.empty()) continue;
    if (const std::string readings = Changed(members, FDevices[address], skipAnswer); !readings.empty())
      d += "," + readings;
    changedDevices.append(changedDevices.empty() ? "" : ",").append("\"" + address + "\":{").append(d).append("}");
  }
  if (full) {
    event.Full = true;
    event.Data = body;
  } else if (!patch.empty() || !changedDevices.empty()) {
    event.Data = "{\"sequence\":" + std::to_string(s.Sequence);
    if (!patch.empty()) event.Data += "," + patch;
    if (!changedDevices.empty()) event.Data += ",\"devices\":{" + changedDevices + "}";
    event.Data += "}";
  }
  return event;
}

std::string DeviceObjectJson(const TBusSnapshot& s, const TDeviceView& d) {
  TJson j;
  WriteDevice(j, s, d, true);
  return j.Take();
}

std::string MetricsText(const TBusSnapshot& s, std::string_view version) {
  TMetrics m;
  m.Reserve(4096 + s.Devices.size() * 8192);
  m.Family("tessaro_build_info", "gauge", "Always 1; the version of the monitor in a label.");
  m.Sample("tessaro_build_info", "version=\"" + LabelValue(version) + "\"", 1);
  m.Family("tessaro_port_open", "gauge", "1 while the serial port is open.");
  m.Sample("tessaro_port_open", "port=\"" + LabelValue(s.PortName) + "\"", s.PortOpen);
  m.Family("tessaro_polling_paused", "gauge", "1 while polling is held by the trace window.");
  m.Sample("tessaro_polling_paused", "", s.Paused);
  m.Family("tessaro_bus_requests_sent_total", "counter", "Request frames sent on the bus.");
  m.Sample("tessaro_bus_requests_sent_total", "", s.Stats.TxCount);
  m.Family("tessaro_bus_receives_total", "counter", "Chunks of bytes received from the bus.");
  m.Sample("tessaro_bus_receives_total", "", s.Stats.RxCount);
  m.Family("tessaro_bus_answers_refused_total", "counter",
           "Received chunks refused as an answer (wrong device, function, length or checksum).");
  m.Sample("tessaro_bus_answers_refused_total", "", s.Stats.ParseFailures);
  std::vector<std::string> labels;
  labels.reserve(s.Devices.size());
  for (const TDeviceView& d : s.Devices)
    labels.push_back("address=\"" + std::to_string(d.Address) + "\",name=\"" + LabelValue(d.Name) + "\"");
  DeviceFamilies(m, s, labels);
  return m.Take();
}

namespace {

THealth EngineHealth(const TBusSnapshot& s, int64_t nowMs) {
  if (!s.Made) return {false, "the engine has not started"};
  if (nowMs - s.MadeMs > EngineStalledMs)
    return {false, "the engine has not run for " + std::to_string((nowMs - s.MadeMs) / 1000) + " s"};
  if (!s.PortOpen) return {false, "serial port " + s.PortName + " is closed"};
  return {true, "ok: polling " + std::to_string(s.Devices.size()) + " devices on " + s.PortName};
}

}  // namespace

THealth Health(const TBusSnapshot& s, int64_t nowMs) {
  THealth h = EngineHealth(s, nowMs);
  for (const TPartHealth& p : s.Parts)
    h.Reason += "\n" + p.Name + ": " + (p.Up ? "connected to " : "not connected to ") + p.What +
                (p.Since != 0 ? " since " + FormatDateTime(p.Since) : " since the start");
  return h;
}

}  // namespace tessaro::web
