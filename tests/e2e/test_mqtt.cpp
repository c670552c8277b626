// tessaro --headless publishing to Debian's mosquitto broker, started here on
// a free loopback port, with mosquitto_sub as the consumer: discovery, values
// and availability arrive retained, the will is left behind by a killed
// monitor, a broker away for half a minute costs no poll and no data record
// (and /healthz tells of it), a refused login says so, and commands are taken
// only when asked for.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "e2e/HeadlessFixture.h"
#include "web/WebFixture.h"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Broker = "/usr/sbin/mosquitto";
const std::string Sub = "/usr/bin/mosquitto_sub";
const std::string Prefix = "tessaro/e2e";

uint16_t FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

struct TLine {
  bool Retained = false;
  std::string Topic;
  std::string Payload;
};

// mosquitto_sub -F "%r %t %p" output, one message a line.
std::vector<TLine> Lines(const std::string& out) {
  std::vector<TLine> lines;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) {
    const size_t space = l.find(' ', 2);
    if (l.size() < 3 || space == std::string::npos) continue;
    lines.push_back({l[0] == '1', l.substr(2, space - 2), l.substr(space + 1)});
  }
  return lines;
}

class Mqtt : public Headless {
 protected:
  void SetUp() override {
    Headless::SetUp();
    if (!fs::exists(Broker) || !fs::exists(Sub)) GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed";
    Port = FreePort();
  }

  // The broker on Port; with a password file when `users` is not empty, with
  // TLS and the certificate Certificates made for `tlsName` when that is not.
  std::unique_ptr<TChildProcess> StartBroker(const std::string& users = {}, const std::string& tlsName = {}) const {
    std::ofstream conf(Dir / "mosquitto.conf");
    conf << "listener " << Port << " 127.0.0.1\npersistence false\n";
    if (!tlsName.empty())
      conf << "cafile " << (Dir / "ca.pem").string() << "\ncertfile " << (Dir / (tlsName + ".pem")).string()
           << "\nkeyfile " << (Dir / (tlsName + ".key")).string() << "\n";
    // As root the broker would switch to its own user, who cannot read our files.
    if (::geteuid() == 0) conf << "user root\n";
    if (users.empty()) {
      conf << "allow_anonymous true\n";
    } else {
      conf << "allow_anonymous false\npassword_file " << users << "\n";
    }
    conf.close();
    auto broker = std::make_unique<TChildProcess>(std::vector<std::string>{Broker, "-c", (Dir / "mosquitto.conf").string()});
    EXPECT_TRUE(broker->WaitForError("running", 10s)) << broker->Err();
    return broker;
  }
  // Everything under `topic`, retained messages first, as it comes.
  std::unique_ptr<TChildProcess> Subscribe(const std::string& topic, std::vector<std::string> extra = {}) const {
    std::vector<std::string> argv = {Sub, "-h", "127.0.0.1", "-p", std::to_string(Port), "-F", "%r %t %p", "-t", topic};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<TChildProcess>(argv);
  }
  // What the broker holds retained under `topic` now.
  std::vector<TLine> Retained(const std::string& topic) const {
    auto sub = Subscribe(topic, {"--retained-only", "-W", "4"});
    sub->WaitForExit(10s);
    return Lines(sub->Out());
  }
  std::unique_ptr<TChildProcess> StartMonitor(const std::vector<std::string>& extra = {}, int seconds = 120) const {
    std::vector<std::string> argv = {BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(),
                                     "--duration", std::to_string(seconds), "--mqtt",
                                     "mqtt://127.0.0.1:" + std::to_string(Port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<TChildProcess>(argv);
  }
  void WriteSettings(const std::string& mqtt = {}, int recInterval = 0) const {
    Headless::WriteSettings(2, recInterval,
                            "[CommMast]\nFastPoll=1\n[Mqtt]\nPrefix=" + Prefix + "\nInterval=5\n" + mqtt);
  }
  // A file of its owner only holding `text`, with `mode`.
  std::string SecretFile(const std::string& name, const std::string& text, mode_t mode = 0600) const {
    const fs::path path = Dir / name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path.string();
  }

  // A CA and a server certificate signed by it for each name, in Dir.
  bool Certificates(const std::vector<std::string>& names) const {
    std::string script = "set -e; cd '" + Dir.string() + "'\n" +
                         "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key "
                         "-out ca.pem -days 2 -subj /CN=TestCA\n";
    for (const std::string& n : names)
      script += "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + n + ".key -out " +
                n + ".csr -subj /CN=" + n + "\nprintf 'subjectAltName=DNS:" + n + "\\n' > " + n +
                ".ext\nopenssl x509 -req -in " + n + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + n +
                ".pem -days 2 -extfile " + n + ".ext\n";
    TChildProcess sh({"/bin/sh", "-c", script});
    const int status = sh.WaitForExit(60s);
    EXPECT_EQ(status, 0) << sh.Err();
    return status == 0;
  }

  uint16_t Port = 0;
};

// The keys Home Assistant's MQTT discovery needs of a sensor that belongs to
// a device and follows both availability topics.
const char* const RequiredKeys[] = {"name", "unique_id", "state_topic", "value_template", "device",
                                    "availability", "availability_mode"};

}  // namespace

TEST_F(Mqtt, DiscoveryValuesAndAvailabilityArriveRetained) {
  WriteSettings();
  WriteDevices({1, 2});
  auto sim = StartSim("modbus", {"--devices", "1-2", "--drop-device", "2", "--drop-after", "10"});
  auto broker = StartBroker();
  auto all = Subscribe("#");
  auto monitor = StartMonitor();
  ASSERT_TRUE(monitor->WaitForError("MQTT publishing to mqtt://127.0.0.1:" + std::to_string(Port), 20s))
      << monitor->Err();
  ASSERT_TRUE(all->WaitForOutput(Prefix + "/ups2/availability online", 30s)) << all->Out();
  // Device 2 falls silent: it is offline, and its last values are not served as current.
  ASSERT_TRUE(all->WaitForOutput(Prefix + "/ups2/availability offline", 60s,
                                 all->Out().find(Prefix + "/ups2/availability online")))
      << all->Out();

  // Values: the device as the JSON API gives it.
  bool sawValues = false;
  for (const TLine& l : Lines(all->Out()))
    if (l.Topic == Prefix + "/ups1/state") {
      const auto j = nlohmann::json::parse(l.Payload, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << l.Payload;
      if (j["up"] == true) {
        sawValues = true;
        EXPECT_GT(j["values"]["input.voltage"].get<double>(), 100) << l.Payload;
        EXPECT_EQ(j["status"], "OL") << l.Payload;
        EXPECT_TRUE(j["link"]["lastAnswer"].is_string()) << l.Payload;
      }
    }
  EXPECT_TRUE(sawValues) << all->Out();
  const std::vector<TLine> state = Retained(Prefix + "/ups2/state");
  ASSERT_EQ(state.size(), 1u);
  EXPECT_TRUE(nlohmann::json::parse(state[0].Payload)["values"].empty()) << state[0].Payload;

  // Discovery: retained, valid, complete, one unique id each.
  const std::vector<TLine> configs = Retained("homeassistant/#");
  std::set<std::string> ids;
  std::map<std::string, int> perDevice;
  for (const TLine& l : configs) {
    const auto j = nlohmann::json::parse(l.Payload, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << l.Topic << " " << l.Payload;
    for (const char* key : RequiredKeys) EXPECT_TRUE(j.contains(key)) << l.Topic << " lacks " << key;
    EXPECT_TRUE(ids.insert(j.value("unique_id", "")).second) << "unique id twice: " << l.Payload;
    EXPECT_EQ(j["availability_mode"], "all");
    ASSERT_EQ(j["availability"].size(), 2u) << l.Payload;
    EXPECT_EQ(j["availability"][0]["topic"], Prefix + "/status");
    EXPECT_FALSE(j["device"]["identifiers"].empty());
    ++perDevice[j["device"]["identifiers"][0].get<std::string>()];
  }
  EXPECT_EQ(perDevice.size(), 2u);
  EXPECT_GE(perDevice["tessaro_e2e_ups1"], 10);
  EXPECT_EQ(perDevice["tessaro_e2e_ups1"], perDevice["tessaro_e2e_ups2"]);

  // Home Assistant restarted: everything is announced again.
  const size_t announced = all->Out().size();
  TChildProcess pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(Port), "-t",
                     "homeassistant/status", "-m", "online"});
  EXPECT_EQ(pub.WaitForExit(10s), 0) << pub.Err();
  EXPECT_TRUE(all->WaitForOutput("homeassistant/sensor/tessaro_e2e_ups2/alarms/config {", 20s, announced));

  // Device 2 removed from the list while the monitor is off: its entities go.
  monitor->Stop();
  EXPECT_EQ(monitor->WaitForExit(10s), 0) << monitor->Err();
  ASSERT_TRUE(all->WaitForOutput(Prefix + "/status offline", 20s)) << all->Out();
  const size_t stopped = all->Out().size();
  WriteDevices({1});
  auto again = StartMonitor();
  ASSERT_TRUE(again->WaitForError("MQTT publishing", 20s)) << again->Err();
  // Removal is published right after the retained availabilities come back.
  ASSERT_TRUE(all->WaitForOutput(Prefix + "/ups2/availability \n", 20s, stopped)) << all->Out();
  for (const TLine& l : Retained("homeassistant/#"))
    EXPECT_EQ(l.Topic.find("tessaro_e2e_ups2"), std::string::npos) << l.Topic;
  EXPECT_TRUE(Retained(Prefix + "/ups2/#").empty());
  EXPECT_FALSE(Retained(Prefix + "/ups1/#").empty());
}

TEST_F(Mqtt, AKilledMonitorLeavesItsWillAndAStoppedOneSaysOffline) {
  WriteSettings();
  WriteDevices({1});
  auto sim = StartSim("modbus", {});
  auto broker = StartBroker();
  auto status = Subscribe(Prefix + "/status");
  for (const bool kill : {true, false}) {
    SCOPED_TRACE(kill ? "SIGKILL" : "SIGTERM");
    const size_t from = status->Out().size();
    auto monitor = StartMonitor();
    ASSERT_TRUE(status->WaitForOutput(Prefix + "/status online", 20s, from)) << monitor->Err();
    monitor->Signal(kill ? SIGKILL : SIGTERM);
    monitor->WaitForExit(10s);
    EXPECT_TRUE(status->WaitForOutput(Prefix + "/status offline", 20s, from)) << status->Out();
    EXPECT_EQ(Retained(Prefix + "/status").at(0).Payload, "offline");
  }
}

// Half a minute without the broker: polling keeps its pace, the data log its
// interval, and publishing resumes once the broker is back.
TEST_F(Mqtt, ABrokerAwayForHalfAMinuteCostsNoPollNorRecordAndIsReportedOnceEachWay) {
  constexpr int RecSeconds = 5;
  WriteSettings({}, RecSeconds * 10);
  WriteDevices({1});
  auto sim = StartSim("modbus", {});
  auto broker = StartBroker();
  auto monitor = StartMonitor({"--web-listen", "127.0.0.1:0"}, 600);
  const std::string mark = "web server listening on http://127.0.0.1:";
  ASSERT_TRUE(monitor->WaitForError(mark, 20s)) << monitor->Err();
  const auto web = static_cast<uint16_t>(std::atoi(monitor->Err().c_str() + monitor->Err().find(mark) + mark.size()));
  ASSERT_TRUE(monitor->WaitForError("MQTT publishing", 20s)) << monitor->Err();
  auto requestsSent = [web] {
    const auto j = nlohmann::json::parse(Get(web, "/api/v1/devices").Body, nullptr, false);
    return j.is_discarded() ? -1 : j["port"]["requestsSent"].get<int>();
  };
  using Steady = std::chrono::steady_clock;
  auto seconds = [](Steady::duration d) { return std::chrono::duration<double>(d).count(); };
  // The data log is written from before the outage to after it.
  const TSystemClock clock;
  auto recordedAfter = [this](TDateTime time) {
    const auto end = Steady::now() + 30s;
    for (;;) {
      const std::vector<DataRecord> records = DataRecords();
      if ((!records.empty() && records.back().Time > time) || Steady::now() > end) return;
      std::this_thread::sleep_for(200ms);
    }
  };
  recordedAfter(0);
  // The normal pace, with the broker there and the device up.
  const int first = requestsSent();
  const auto firstAt = Steady::now();
  while (requestsSent() < first + 500 && Steady::now() < firstAt + 60s) std::this_thread::sleep_for(200ms);
  const double normal = (requestsSent() - first) / seconds(Steady::now() - firstAt);
  ASSERT_GT(normal, 0);

  // The health check tells of the publisher, and its state a tick after the report at most.
  const std::string brokerText = "broker mqtt://127.0.0.1:" + std::to_string(Port);
  auto healthSays = [web](const std::string& text) {
    const auto end = Steady::now() + 10s;
    while (Get(web, "/healthz").Body.find(text) == std::string::npos && Steady::now() < end)
      std::this_thread::sleep_for(100ms);
    return Get(web, "/healthz").Body;
  };
  const std::string up = "\nmqtt: connected to " + brokerText + " since ";
  EXPECT_NE(healthSays(up).find(up), std::string::npos);

  broker->Stop();
  const auto away = Steady::now();
  const TDateTime stoppedAt = clock.Now();
  ASSERT_TRUE(monitor->WaitForError("MQTT broker mqtt://127.0.0.1:" + std::to_string(Port) + " lost", 20s))
      << monitor->Err();
  const std::string notUp = "\nmqtt: not connected to " + brokerText + " since ";
  const std::string down = healthSays(notUp);
  EXPECT_NE(down.find(notUp), std::string::npos) << down;
  EXPECT_EQ(down.rfind("ok: polling", 0), 0u) << "the publisher does not make the monitor unhealthy: " << down;
  // The broker stays away for 30 s, through several tries to reconnect, and
  // polling keeps at least half its pace: both are measured on the same
  // loaded machine, and a poll held up by the publisher would fall far short.
  const int before = requestsSent();
  const auto beforeAt = Steady::now();
  while (Steady::now() < away + 30s) std::this_thread::sleep_for(200ms);
  const double outage = (requestsSent() - before) / seconds(Steady::now() - beforeAt);
  EXPECT_GE(outage, normal / 2) << "requests a second: " << outage << " without the broker, " << normal << " with it";

  broker = StartBroker();
  const TDateTime restartedAt = clock.Now();
  auto state = Subscribe(Prefix + "/ups1/state");
  // The tries are at most 30 s apart.
  ASSERT_TRUE(monitor->WaitForError("connected again", 60s)) << monitor->Err();
  // Fresh values, not only the retained ones: a second message.
  ASSERT_TRUE(state->WaitForOutput("\"up\":true", 30s)) << state->Out();
  ASSERT_TRUE(state->WaitForOutput("\"up\":true", 30s, state->Out().find('\n') + 1)) << state->Out();
  recordedAfter(clock.Now());
  monitor->Stop();
  const std::string err = monitor->Err();
  auto count = [&err](const std::string& text) {
    size_t n = 0;
    for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(" lost: "), 1u) << err;
  EXPECT_EQ(count(" connected again after "), 1u) << err;
  EXPECT_EQ(monitor->Out().find("Communication lost"), std::string::npos) << monitor->Out();

  // The data log goes on through the outage at its interval. The slack for a
  // loaded machine is less than an interval, so a missed record shows.
  const std::vector<DataRecord> records = DataRecords();
  ASSERT_GE(records.size(), 2u);
  EXPECT_LT(records.front().Time, stoppedAt);
  EXPECT_GT(records.back().Time, restartedAt);
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].Address, 1);
    EXPECT_LE((records[i].Time - records[i - 1].Time) * 86400, RecSeconds + 4)
        << "a gap after " << FormatDateTime(records[i - 1].Time) << ", record " << i << " of " << records.size();
  }
}

TEST_F(Mqtt, TheLoginIsCheckedAndARefusalSaysWhy) {
  const std::string users = SecretFile("users", "");
  ASSERT_EQ(std::system(("/usr/bin/mosquitto_passwd -b " + users + " tess right-one").c_str()), 0);
  WriteDevices({1});
  auto broker = StartBroker(users);
  struct TCase {
    const char* Password;
    mode_t Mode;
    const char* Said;
  } cases[] = {
      {"right-one\n", 0600, "MQTT publishing"},
      {"wrong\n", 0600, "refused the connection: Connection Refused: not authorised"},
      {"right-one\n", 0644, "MQTT publisher not started: the password file"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Said);
    const std::string file = SecretFile("password", c.Password, c.Mode);
    WriteSettings("User=tess\nPasswordFile=" + file + "\n");
    auto monitor = StartMonitor();
    EXPECT_TRUE(monitor->WaitForError(c.Said, 20s)) << monitor->Err();
    EXPECT_EQ(monitor->Err().find("right-one"), std::string::npos) << "the password is never shown";
  }
}

TEST_F(Mqtt, ATlsBrokerIsTakenOnlyWithACertificateForItsName) {
  if (!fs::exists("/usr/bin/openssl")) GTEST_SKIP() << "openssl is not installed";
  ASSERT_TRUE(Certificates({"localhost", "other.example"}));
  WriteSettings("CaFile=" + (Dir / "ca.pem").string() + "\n");
  WriteDevices({1});
  struct TCase {
    const char* CertifiedName;
    std::string Said;
  } cases[] = {
      {"localhost", "MQTT publishing to mqtts://localhost:"},
      {"other.example", "the broker's certificate must be valid for localhost and signed by a CA of " +
                            (Dir / "ca.pem").string()},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.CertifiedName);
    auto broker = StartBroker({}, c.CertifiedName);
    TChildProcess monitor({BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(), "--duration",
                           "60", "--mqtt", "mqtts://localhost:" + std::to_string(Port)});
    EXPECT_TRUE(monitor.WaitForError(c.Said, 20s)) << monitor.Err() << broker->Err();
  }
}

// Commands go the network server's way to the device; with Commands=0 they
// are not even subscribed, and retained or oversized ones are dropped.
TEST_F(Mqtt, ACommandReachesTheDeviceOnlyWhenCommandsAreOnAndItsResultIsPublished) {
  WriteDevices({1});
  auto peer = StartPeer({BuildDir + "/tessaro-modbus-peer", "--link", Link, "--log-requests"});
  auto broker = StartBroker();
  auto publish = [this](const std::string& payload, bool retain = false) {
    std::vector<std::string> argv = {"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(Port),
                                     "-t", Prefix + "/ups1/command", "-m", payload};
    if (retain) argv.push_back("-r");
    TChildProcess pub(argv);
    EXPECT_EQ(pub.WaitForExit(10s), 0) << pub.Err();
  };
  auto results = Subscribe(Prefix + "/ups1/result");
  for (const bool on : {false, true}) {
    SCOPED_TRACE(on ? "Commands=1" : "Commands=0");
    WriteSettings(on ? "Commands=1\n" : "");
    // Given long ago: not to be carried out by whoever connects next.
    if (on) publish("test.battery.start", true);
    // Fresh values from this run, not the retained ones of the last.
    auto state = Subscribe(Prefix + "/ups1/state", {"-R"});
    auto monitor = StartMonitor();
    ASSERT_TRUE(state->WaitForOutput("\"up\":true", 30s)) << monitor->Err();
    const std::vector<TLine> buttons = Retained("homeassistant/button/#");
    EXPECT_EQ(buttons.size(), on ? 4u : 0u);
    for (const TLine& b : buttons)
      EXPECT_EQ(nlohmann::json::parse(b.Payload)["command_topic"], Prefix + "/ups1/command") << b.Payload;
    if (on) publish(std::string(200, 'x'));
    publish("test.battery.start");
    if (!on) {
      monitor->Stop();
      EXPECT_EQ(monitor->WaitForExit(10s), 0) << monitor->Err();
      EXPECT_EQ(monitor->Err().find("MQTT command"), std::string::npos) << monitor->Err();
      continue;
    }
    ASSERT_TRUE(results->WaitForOutput("\"state\":\"success\"", 20s)) << results->Out() << monitor->Err();
    const auto lines = Lines(results->Out());
    ASSERT_EQ(lines.size(), 2u) << results->Out();
    EXPECT_EQ(nlohmann::json::parse(lines[0].Payload),
              nlohmann::json::parse(R"({"command":"test.battery.start","outcome":"queued","state":"pending"})"));
    EXPECT_FALSE(lines[1].Retained);
    EXPECT_TRUE(monitor->WaitForError("MQTT: a retained command for ups1 dropped", 5s)) << monitor->Err();
    EXPECT_TRUE(monitor->WaitForError("MQTT command test.battery.start for ups1 queued", 5s)) << monitor->Err();
    publish("", true);  // the retained one cleared
  }
  // One frame, the battery test window's with its default of 60 s: the
  // ignored, retained and oversized commands reached nothing.
  EXPECT_EQ(PeerWrites(*peer, 1), std::vector<std::string>{"rx 01 06 4E 22 00 3C 3E F9"});
}
