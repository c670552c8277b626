// The publisher's settings and what it sends, without a broker: the broker
// address, topic and login checks, the password file, and the Home Assistant
// discovery configs made from a snapshot.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <map>
#include <set>

#include "core/UserParaIni.h"
#include "mqtt/MqttConfig.h"
#include "mqtt/MqttModel.h"

using namespace tessaro;
using namespace tessaro::mqtt;
using nlohmann::json;
namespace fs = std::filesystem;

TEST(MqttConfig, BrokerUrls) {
  struct TCase {
    const char* Text;
    bool Ok;
    const char* Host;
    int Port;
    bool Tls;
  } cases[] = {
      {"mqtt://broker.lan", true, "broker.lan", 1883, false},
      {"mqtts://broker.lan", true, "broker.lan", 8883, true},
      {"mqtt://192.0.2.7:1884", true, "192.0.2.7", 1884, false},
      {"mqtts://[::1]:8884", true, "::1", 8884, true},
      {"mqtt://[fe80::1]", true, "fe80::1", 1883, false},
      {"tcp://broker:1883", false},
      {"broker:1883", false},
      {"mqtt://", false},
      {"mqtt://:1883", false},
      {"mqtt://broker:", false},
      {"mqtt://broker:0", false},
      {"mqtt://broker:65536", false},
      {"mqtt://broker:12x", false},
      {"mqtt://user:pw@broker", false},  // no password in a URL that shows up everywhere
      {"mqtt://broker/path", false},
      {"mqtt://[::1", false},
      {"mqtt://[::1]x", false},
  };
  for (const TCase& c : cases) {
    TBrokerUrl url;
    std::string why;
    ASSERT_EQ(ParseBrokerUrl(c.Text, url, why), c.Ok) << c.Text << ": " << why;
    if (!c.Ok) {
      EXPECT_FALSE(why.empty()) << c.Text;
      continue;
    }
    EXPECT_EQ(url.Host, c.Host) << c.Text;
    EXPECT_EQ(url.Port, c.Port) << c.Text;
    EXPECT_EQ(url.Tls, c.Tls) << c.Text;
  }
  TBrokerUrl v6;
  std::string why;
  ASSERT_TRUE(ParseBrokerUrl("mqtts://[::1]", v6, why));
  EXPECT_EQ(v6.Text(), "mqtts://[::1]:8883");
}

TEST(MqttConfig, TopicPrefixesAndClientWords) {
  std::string why;
  for (const char* good : {"tessaro/host", "site/bus-2", "a"}) EXPECT_TRUE(CheckTopicPrefix(good, why)) << good;
  for (const std::string& bad : std::vector<std::string>{"", "/tessaro", "tessaro/", "a//b", "a/+/b", "a/#", std::string("a\nb"),
                                std::string("caf\xC3\xA9"), std::string(201, 'a')})
    EXPECT_FALSE(CheckTopicPrefix(bad, why)) << bad;
  EXPECT_TRUE(CheckClientWord("tessaro-host_1", why));
  for (const std::string& bad : std::vector<std::string>{"", "two words", std::string(101, 'a'), std::string("a\tb")})
    EXPECT_FALSE(CheckClientWord(bad, why)) << bad;
}

class PasswordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_mqtt_pw_" + std::to_string(::getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Write(const std::string& name, const std::string& text, mode_t mode) const {
    const std::string path = (Dir / name).string();
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
  }
  fs::path Dir;
};

TEST_F(PasswordFile, OnlyItsOwnersFileIsReadAndOnlyItsFirstLine) {
  std::string why;
  EXPECT_EQ(ReadPasswordFile(Write("ok", "s3cret\r\nignored\n", 0600), why).value_or("?"), "s3cret") << why;
  EXPECT_EQ(ReadPasswordFile(Write("ro", "s3cret", 0400), why).value_or("?"), "s3cret") << why;
  struct TCase {
    std::string Path;
    const char* Said;
  } cases[] = {
      {Write("group", "s3cret\n", 0640), "chmod 600"},
      {Write("others", "s3cret\n", 0604), "chmod 600"},
      {Write("empty", "\n", 0600), "holds no password"},
      {"relative/file", "absolute path"},
      {(Dir / "missing").string(), "cannot open"},
      {Dir.string(), "not a regular file"},
  };
  fs::create_symlink(Dir / "ok", Dir / "link");
  for (TCase& c : cases) {
    EXPECT_FALSE(ReadPasswordFile(c.Path, why)) << c.Path;
    EXPECT_NE(why.find(c.Said), std::string::npos) << c.Path << ": " << why;
    EXPECT_EQ(why.find("s3cret"), std::string::npos) << "never shows the password: " << why;
  }
  // A link could point anywhere, another user's file too.
  EXPECT_FALSE(ReadPasswordFile((Dir / "link").string(), why));
}

TEST(MqttConfig, DefaultsComeFromTheHostAndRefusalsNameTheKey) {
  TSettings s;
  std::string why;
  EXPECT_FALSE(MakeConfig(s, std::nullopt, "box", why));
  EXPECT_TRUE(why.empty()) << "no broker: off, not refused";

  s.MqttBroker = "mqtt://broker";
  std::optional<TMqttConfig> c = MakeConfig(s, std::nullopt, "box", why);
  ASSERT_TRUE(c) << why;
  EXPECT_EQ(c->Prefix, "tessaro/box");
  EXPECT_EQ(c->ClientId, "tessaro-box");
  EXPECT_EQ(c->DiscoveryPrefix, "homeassistant");
  // --mqtt "" turns off what the settings turn on.
  EXPECT_FALSE(MakeConfig(s, std::string(), "box", why));
  EXPECT_TRUE(why.empty());

  struct TCase {
    void (*Change)(TSettings&);
    const char* Said;
  } cases[] = {
      {[](TSettings& x) { x.MqttBroker = "http://broker"; }, "mqtt://HOST"},
      {[](TSettings& x) { x.MqttPrefix = "a/#"; }, "[Mqtt] Prefix"},
      {[](TSettings& x) { x.MqttDiscoveryPrefix = "ha/"; }, "[Mqtt] DiscoveryPrefix"},
      {[](TSettings& x) { x.MqttPasswordFile = "/etc/passwd"; }, "goes with a User"},
      {[](TSettings& x) { x.MqttUser = "two words"; }, "[Mqtt] User"},
      {[](TSettings& x) { x.MqttKeepalive = 4; }, "[Mqtt] Keepalive"},
      {[](TSettings& x) { x.MqttInterval = 0; }, "[Mqtt] Interval"},
      {[](TSettings& x) { x.MqttCaFile = "/nonexistent/ca.pem"; }, "[Mqtt] CaFile"},
  };
  for (const TCase& t : cases) {
    TSettings bad = s;
    t.Change(bad);
    EXPECT_FALSE(MakeConfig(bad, std::nullopt, "box", why));
    EXPECT_NE(why.find(t.Said), std::string::npos) << why;
  }
}

namespace {

TMqttConfig Config(const std::string& prefix = "tessaro/box") {
  TMqttConfig c;
  c.Prefix = prefix;
  c.DiscoveryPrefix = "homeassistant";
  return c;
}

web::TBusSnapshot Bus(uint8_t protocol, const std::string& name2 = "Server room \"B\"") {
  web::TBusSnapshot s;
  s.Made = true;
  s.Protocol = protocol;
  s.Devices.resize(2);
  s.Devices[0].Address = 1;
  s.Devices[0].Name = "机房 UPS";
  s.Devices[1].Address = 12;
  s.Devices[1].Name = name2;
  return s;
}

std::vector<json> Configs(const TMqttConfig& c, const web::TBusSnapshot& s, size_t device) {
  std::vector<json> out;
  for (const TMessage& m : DiscoveryConfigs(c, s, s.Devices[device], "1.2.3")) {
    json j = json::parse(m.Payload, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << m.Payload;
    j["topic"] = m.Topic;
    out.push_back(j);
  }
  return out;
}

const json* Entity(const std::vector<json>& configs, const std::string& valueName) {
  for (const json& j : configs)
    if (j["value_template"].get<std::string>().find("'" + valueName + "'") != std::string::npos) return &j;
  return nullptr;
}

}  // namespace

TEST(MqttDiscovery, EveryValueIsASensorWithHomeAssistantsClassAndUnit) {
  const TMqttConfig c = Config();
  const std::vector<json> configs = Configs(c, Bus(ProtocolModbus), 0);
  struct TCase {
    const char* Value;
    const char* DeviceClass;  // null: none
    const char* Unit;
  } cases[] = {
      {"input.L2-N.voltage", "voltage", "V"}, {"output.frequency", "frequency", "Hz"},
      {"battery.charge", "battery", "%"},     {"battery.runtime", "duration", "s"},
      {"ups.load", nullptr, "%"},             {"output.L3.power.percent", nullptr, "%"},
      {"battery.voltage", "voltage", "V"},    {"battery.current", "current", "A"},
  };
  for (const TCase& t : cases) {
    const json* e = Entity(configs, t.Value);
    ASSERT_TRUE(e) << t.Value;
    EXPECT_EQ(e->value("device_class", ""), t.DeviceClass ? t.DeviceClass : "") << t.Value;
    EXPECT_EQ((*e)["unit_of_measurement"], t.Unit) << t.Value;
    EXPECT_EQ((*e)["state_class"], "measurement") << t.Value;
  }
  for (const json& j : configs) {
    EXPECT_EQ(j["state_topic"], "tessaro/box/ups1/state");
    EXPECT_EQ(j["availability_mode"], "all");
    ASSERT_EQ(j["availability"].size(), 2u);
    EXPECT_EQ(j["availability"][0]["topic"], "tessaro/box/status");
    EXPECT_EQ(j["availability"][1]["topic"], "tessaro/box/ups1/availability");
    EXPECT_EQ(j["device"]["name"], "机房 UPS");
    EXPECT_EQ(j["topic"].get<std::string>().rfind("homeassistant/sensor/tessaro_box_ups1/", 0), 0u) << j["topic"];
  }
  std::set<std::string> keys;
  for (const json& j : configs) keys.insert(j["unique_id"].get<std::string>());
  EXPECT_TRUE(keys.count("tessaro_box_ups1_status"));
  EXPECT_TRUE(keys.count("tessaro_box_ups1_alarms"));
  // The power-frequency protocol gives no battery charge: no entity for it.
  EXPECT_FALSE(Entity(Configs(c, Bus(ProtocolQuorvan), 0), "battery.charge"));
}

TEST(MqttDiscovery, UniqueIdsAreUniqueAndSurviveARenameButNotAnotherBus) {
  const TMqttConfig c = Config();
  std::set<std::string> ids;
  std::set<std::string> topics;
  for (size_t d = 0; d < 2; ++d)
    for (const json& j : Configs(c, Bus(ProtocolModbus), d)) {
      EXPECT_TRUE(ids.insert(j["unique_id"].get<std::string>()).second) << j["unique_id"];
      EXPECT_TRUE(topics.insert(j["topic"].get<std::string>()).second) << j["topic"];
    }
  const std::vector<json> before = Configs(c, Bus(ProtocolModbus), 1);
  const std::vector<json> renamed = Configs(c, Bus(ProtocolModbus, "Renamed"), 1);
  ASSERT_EQ(before.size(), renamed.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i]["unique_id"], renamed[i]["unique_id"]);
    EXPECT_EQ(before[i]["topic"], renamed[i]["topic"]);
    EXPECT_EQ(before[i]["device"]["identifiers"], renamed[i]["device"]["identifiers"]);
  }
  EXPECT_EQ(renamed[0]["device"]["name"], "Renamed");
  for (const json& j : Configs(Config("site/bus2"), Bus(ProtocolModbus), 1))
    EXPECT_FALSE(ids.count(j["unique_id"].get<std::string>())) << j["unique_id"];
  // What is emptied for a removed device covers every protocol's entities,
  // and the buttons of the commands.
  TMqttConfig commands = c;
  commands.Commands = true;
  const std::vector<std::string> all = AllDiscoveryTopics(c, 12);
  for (const uint8_t protocol : {ProtocolYdtV31, ProtocolQuorvan, ProtocolModbus})
    for (const json& j : Configs(commands, Bus(protocol), 1))
      EXPECT_NE(std::find(all.begin(), all.end(), j["topic"].get<std::string>()), all.end()) << j["topic"];
}

TEST(MqttDiscovery, ButtonsOnlyWithCommandsAndEachPressesItsCommand) {
  TMqttConfig c = Config();
  auto buttons = [&c] {
    std::map<std::string, json> out;
    for (const json& j : Configs(c, Bus(ProtocolModbus), 0))
      if (j.contains("command_topic")) out[j["payload_press"].get<std::string>()] = j;
    return out;
  };
  EXPECT_TRUE(buttons().empty());
  c.Commands = true;
  const std::map<std::string, json> on = buttons();
  ASSERT_EQ(on.size(), 4u);
  for (const char* command : {"test.battery.start", "test.battery.stop", "load.on", "load.off"}) {
    ASSERT_TRUE(on.count(command)) << command;
    const json& j = on.at(command);
    EXPECT_EQ(j["command_topic"], "tessaro/box/ups1/command");
    EXPECT_EQ(j["topic"].get<std::string>().rfind("homeassistant/button/tessaro_box_ups1/", 0), 0u) << j["topic"];
    EXPECT_EQ(j["availability"].size(), 2u);
  }
}

TEST(MqttTopics, AvailabilityTopicsGiveTheirAddressAndNothingElseDoes) {
  const TMqttConfig c = Config();
  EXPECT_EQ(AddressOfAvailability(c, AvailabilityTopic(c, 1)), 1);
  EXPECT_EQ(AddressOfAvailability(c, AvailabilityTopic(c, 252)), 252);
  for (const char* other : {"tessaro/box/ups/availability", "tessaro/box/ups01/availability",
                            "tessaro/box/ups256/availability", "tessaro/box/ups1x/availability",
                            "tessaro/box/ups1/state", "tessaro/boxx/ups1/availability", "other/ups1/availability",
                            "tessaro/box/status"})
    EXPECT_EQ(AddressOfAvailability(c, other), 0) << other;
  EXPECT_EQ(AddressOfCommand(c, CommandTopic(c, 7)), 7);
  EXPECT_EQ(AddressOfCommand(c, AvailabilityTopic(c, 7)), 0);
  EXPECT_EQ(AddressOfCommand(c, ResultTopic(c, 7)), 0);
  EXPECT_EQ(AddressOfCommand(c, "tessaro/box/ups07/command"), 0);
}
