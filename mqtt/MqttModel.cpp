#include "mqtt/MqttModel.h"

#include <cctype>

#include "core/MeasureCatalogue.h"
#include "core/ProtocolTraits.h"
#include "net/NutCommands.h"
#include "web/Json.h"

namespace tessaro::mqtt {

namespace {

// Lower-case letters, digits and "_" only, as Home Assistant's ids and topic levels take them.
std::string IdText(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const char next = std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '_';
    if (next == '_' && (out.empty() || out.back() == '_')) continue;
    out += next;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

// "input.L1-N.voltage" -> "Input L1-N voltage"; "ups.load" -> "Load".
std::string EntityName(std::string_view name) {
  if (name.rfind("ups.", 0) == 0) name.remove_prefix(4);
  std::string out(name);
  for (char& c : out)
    if (c == '.') c = ' ';
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

struct TEntity {
  std::string Key;  // object id, the last level before /config
  std::string Name;
  std::string Template;
  TSensorKind Kind{};
  bool Measurement = false;
};

// Every entity a device of `protocol` has; every one of any protocol with `all`.
std::vector<TEntity> Entities(uint8_t protocol, bool all) {
  std::vector<TEntity> out;
  const TProtocolTraits& traits = ProtocolTraits(protocol);
  for (const TMeasure& def : Measures()) {
    if (!all && !ProtocolHas(traits, def)) continue;
    out.push_back({IdText(def.Name), EntityName(def.Name),
                   std::string("{{ value_json['values']['") + def.Name + "'] }}", SensorKind(def.Name), true});
  }
  out.push_back({"status", "Status", "{{ value_json.status }}", {}, false});
  // A sensor's state is at most 255 characters.
  out.push_back({"alarms", "Alarms",
                 "{% set a = value_json.alarms | map(attribute='text') | list %}"
                 "{{ (a | join('; '))[:255] if a else 'none' }}",
                 {}, false});
  return out;
}

std::string ConfigTopic(const TMqttConfig& c, uint8_t address, const std::string& key,
                        const char* component = "sensor") {
  return c.DiscoveryPrefix + "/" + component + "/" + DeviceUid(c, address) + "/" + key + "/config";
}

uint8_t AddressOf(const TMqttConfig& c, std::string_view topic, std::string_view tail) {
  const std::string head = c.Prefix + "/ups";
  if (topic.size() <= head.size() + tail.size() || topic.substr(0, head.size()) != head ||
      topic.substr(topic.size() - tail.size()) != tail)
    return 0;
  const std::string_view digits = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  if (digits.empty() || digits.size() > 3 || digits[0] == '0') return 0;
  int address = 0;
  for (const char d : digits) {
    if (d < '0' || d > '9') return 0;
    address = address * 10 + (d - '0');
  }
  return address <= 255 ? static_cast<uint8_t>(address) : 0;
}

void Availability(web::TJson& j, const std::string& topic) {
  j.BeginObject().Key("topic").String(topic);
  j.Key("payload_available").String(Online).Key("payload_not_available").String(Offline).EndObject();
}

}  // namespace

std::string BusStatusTopic(const TMqttConfig& c) { return c.Prefix + "/status"; }
std::string DeviceTopic(const TMqttConfig& c, uint8_t address) { return c.Prefix + "/ups" + std::to_string(address); }
std::string AvailabilityTopic(const TMqttConfig& c, uint8_t address) {
  return DeviceTopic(c, address) + "/availability";
}
std::string StateTopic(const TMqttConfig& c, uint8_t address) { return DeviceTopic(c, address) + "/state"; }
std::string DiscoveryStatusTopic(const TMqttConfig& c) { return c.DiscoveryPrefix + "/status"; }

std::string CommandTopic(const TMqttConfig& c, uint8_t address) { return DeviceTopic(c, address) + "/command"; }
std::string ResultTopic(const TMqttConfig& c, uint8_t address) { return DeviceTopic(c, address) + "/result"; }

uint8_t AddressOfAvailability(const TMqttConfig& c, std::string_view topic) {
  return AddressOf(c, topic, "/availability");
}
uint8_t AddressOfCommand(const TMqttConfig& c, std::string_view topic) { return AddressOf(c, topic, "/command"); }

std::string DeviceUid(const TMqttConfig& c, uint8_t address) {
  return IdText(c.Prefix) + "_ups" + std::to_string(address);
}

TSensorKind SensorKind(std::string_view name) {
  const std::string_view last = name.substr(name.rfind('.') + 1);
  if (last == "voltage") return {"voltage", "V"};
  if (last == "frequency") return {"frequency", "Hz"};
  if (last == "current") return {"current", "A"};
  if (last == "charge") return {"battery", "%"};
  if (last == "runtime") return {"duration", "s"};
  if (last == "load" || last == "percent") return {nullptr, "%"};
  return {nullptr, nullptr};
}

std::vector<TMessage> DiscoveryConfigs(const TMqttConfig& c, const web::TBusSnapshot& s, const web::TDeviceView& d,
                                       std::string_view version) {
  const std::string uid = DeviceUid(c, d.Address);
  const std::string state = StateTopic(c, d.Address);
  const std::string available = AvailabilityTopic(c, d.Address);
  const std::string bus = BusStatusTopic(c);
  const std::string name = d.Name.empty() ? "UPS " + std::to_string(d.Address) : d.Name;
  // Both availabilities, the device and the origin, as every entity has them.
  const auto belonging = [&](web::TJson& j) {
    j.Key("availability").BeginArray();
    Availability(j, bus);
    Availability(j, available);
    j.EndArray();
    j.Key("availability_mode").String("all");
    j.Key("device").BeginObject();
    j.Key("identifiers").BeginArray().String(uid).EndArray();
    j.Key("name").String(name);
    j.Key("model").String("UPS at bus address " + std::to_string(d.Address));
    j.Key("sw_version").String(version);
    j.EndObject();
    j.Key("origin").BeginObject().Key("name").String("tessaro").Key("sw_version").String(version).EndObject();
    j.EndObject();
  };
  std::vector<TMessage> out;
  for (const TEntity& e : Entities(s.Protocol, false)) {
    web::TJson j;
    j.BeginObject();
    j.Key("name").String(e.Name);
    j.Key("unique_id").String(uid + "_" + e.Key);
    j.Key("state_topic").String(state);
    j.Key("value_template").String(e.Template);
    if (e.Kind.DeviceClass) j.Key("device_class").String(e.Kind.DeviceClass);
    if (e.Kind.Unit) j.Key("unit_of_measurement").String(e.Kind.Unit);
    if (e.Measurement) j.Key("state_class").String("measurement");
    belonging(j);
    out.push_back({ConfigTopic(c, d.Address, e.Key), j.Take()});
  }
  if (!c.Commands) return out;
  for (const net::TNutCommandDef& def : net::NutCommandDefs()) {
    const std::string key = IdText(def.Name);
    web::TJson j;
    j.BeginObject();
    j.Key("name").String(def.Description);
    j.Key("unique_id").String(uid + "_" + key);
    j.Key("command_topic").String(CommandTopic(c, d.Address));
    j.Key("payload_press").String(def.Name);
    belonging(j);
    out.push_back({ConfigTopic(c, d.Address, key, "button"), j.Take()});
  }
  return out;
}

std::vector<std::string> AllDiscoveryTopics(const TMqttConfig& c, uint8_t address) {
  std::vector<std::string> out;
  for (const TEntity& e : Entities(0, true)) out.push_back(ConfigTopic(c, address, e.Key));
  for (const net::TNutCommandDef& def : net::NutCommandDefs())
    out.push_back(ConfigTopic(c, address, IdText(def.Name), "button"));
  return out;
}

}  // namespace tessaro::mqtt
