// tessaro --headless with its bus behind a serial device server: the
// simulator's pseudo-terminal served over raw TCP by socat and over RFC 2217
// by Debian's ser2net, servers that are killed and come back, and servers
// that misbehave.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/HeadlessFixture.h"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string SourceDir = TESSARO_SOURCE_DIR;
const char* const Socat = "/usr/bin/socat";
const char* const Ser2net = "/usr/sbin/ser2net";

// A loopback port nobody listens on now.
uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// Waits until something accepts connections on the port.
bool Listening(uint16_t port, std::chrono::milliseconds bound = 10s) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < end) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (ok) return true;
    poll(nullptr, 0, 50);
  }
  return false;
}

std::vector<int> ProgramCodes(const std::vector<EventRecord>& ev) {
  std::vector<int> codes;
  for (const EventRecord& e : ev)
    if (e.Kind == 0 && e.Address == 0) codes.push_back(e.Code);
  return codes;
}

class NetworkBus : public Headless {
 protected:
  void SetUp() override {
    Headless::SetUp();
    ASSERT_TRUE(fs::exists(Socat) && fs::exists(Ser2net)) << "install Debian's socat and ser2net (scripts/deps.sh)";
  }
  // The monitor's settings for a port name, with [CommPort] extras.
  void WriteNetSettings(const fs::path& data, const std::string& comName, int protocol,
                        const std::string& commPort = {}) const {
    fs::create_directories(data / "Record");
    std::ofstream(data / "UserParaIni.ini") << "[CommPort]\nComName=" << comName << "\nProtocol=" << protocol << "\n"
                                            << commPort << "[DataLog]\nRecInterval=0\n";
  }
  // The server in front of the simulator's link, on `port`; a port of 0 is
  // chosen here (by socat itself for raw TCP, so no one can take it first).
  std::unique_ptr<TChildProcess> StartRedirector(const std::string& transport, uint16_t& port, bool fork = true) const {
    if (transport == "tcp") {
      auto socat = std::make_unique<TChildProcess>(std::vector<std::string>{
          Socat, "-d", "-d", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr" + (fork ? ",fork" : ""),
          "FILE:" + Link + ",raw,echo=0"});
      const std::string mark = "listening on AF=2 127.0.0.1:";
      const bool listening = socat->WaitForError(mark, 10s) &&
                             socat->WaitForError("\n", 10s, socat->Err().find(mark));  // the whole port number
      EXPECT_TRUE(listening) << socat->Err();
      if (listening && port == 0) port = static_cast<uint16_t>(std::atoi(socat->Err().c_str() + socat->Err().find(mark) + mark.size()));
      return socat;
    }
    // ser2net names no port it was given 0 for.
    if (port == 0) port = FreePort();
    const fs::path config = Dir / "ser2net.yaml";
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &bus\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                          << "  connector: serialdev," << Link << ",9600n81,local\n"
                          << "  options:\n    kickolduser: true\n";
    auto ser2net = std::make_unique<TChildProcess>(std::vector<std::string>{
        Ser2net, "-n", "-u", "-c", config.string(), "-P", (Dir / "ser2net.pid").string()});
    EXPECT_TRUE(Listening(port)) << ser2net->Err();
    return ser2net;
  }
  std::unique_ptr<TChildProcess> StartMonitorIn(const fs::path& data, int seconds) const {
    return std::make_unique<TChildProcess>(std::vector<std::string>{
        BuildDir + "/tessaro", "--headless", "--data-dir", data.string(), "--duration", std::to_string(seconds)});
  }
  static std::vector<EventRecord> EventsIn(const fs::path& data) {
    return ReadEventLogFile((data / "Record" / "EventLog.dat").string());
  }
};

struct TNetCase {
  const char* SimName;
  int Protocol;
  int AlarmCode;          // the alarm the simulator raises with the mains failure
  const char* Transport;  // "tcp" or "rfc2217"
};

class NetworkProtocol : public NetworkBus, public ::testing::WithParamInterface<TNetCase> {};

}  // namespace

// The devices come online and a mains failure is logged, as on a local port;
// over RFC 2217 the server sets the line to our speed.
TEST_P(NetworkProtocol, DevicesComeOnlineAndAMainsFailureIsLogged) {
  const TNetCase& c = GetParam();
  const bool telnet = std::string(c.Transport) == "rfc2217";
  WriteDevices({1});
  auto sim = StartSim(c.SimName, {"--devices", "1", "--alarm-device", "1", "--alarm-at", "3", "--battery-at", "4",
                                  "--clear-at", "1000", "--verbose"});
  uint16_t port = 0;
  auto redirector = StartRedirector(c.Transport, port);
  WriteNetSettings(Dir / "data", std::string(c.Transport) + "://127.0.0.1:" + std::to_string(port), c.Protocol,
                   telnet ? "BaudRate=4800\n" : "");
  auto monitor = StartMonitor(15);
  ASSERT_EQ(monitor->WaitForExit(60s), 0) << monitor->Err();
  const auto ev = Events();
  const std::string out = monitor->Out() + monitor->Err();
  ASSERT_GE(ev.size(), 5u) << out;
  EXPECT_EQ(ProgramCodes(ev), (std::vector<int>{20, 23, 21})) << out;
  const int up = Find(ev, 1, 0, 22);
  EXPECT_GT(up, 0) << out;
  EXPECT_GT(Find(ev, 1, 2, c.AlarmCode, 1), up) << out;
  EXPECT_GT(Find(ev, 1, 1, 5), up) << "on battery\n" << out;
  EXPECT_EQ(Find(ev, 1, 0, 18), -1) << "the link must never be lost\n" << out;
  if (telnet) {
    sim->Stop();
    EXPECT_NE(sim->Err().find("line speed 4800"), std::string::npos) << sim->Err();
  }
}

INSTANTIATE_TEST_SUITE_P(ProtocolsAndTransports, NetworkProtocol,
                         ::testing::Values(TNetCase{"modbus", 2, 25, "tcp"}, TNetCase{"ydt", 0, 25, "tcp"},
                                           TNetCase{"quorvan", 1, 202, "tcp"}, TNetCase{"modbus", 2, 25, "rfc2217"},
                                           TNetCase{"ydt", 0, 25, "rfc2217"}, TNetCase{"quorvan", 1, 202, "rfc2217"}),
                         [](const auto& p) { return std::string(p.param.SimName) + "_" + p.param.Transport; });

class NetworkRedirector : public NetworkBus, public ::testing::WithParamInterface<const char*> {};

// The server dies (power cut in the cabinet) and comes back: the loss and the
// return are logged once each, polling is back within 10 s of its return (the
// device's state is logged afresh, as after a local port's return), and
// nothing else reaches the log.
TEST_P(NetworkRedirector, KilledAndRestartedIsLostThenReestablishedWithinTenSeconds) {
  const std::string transport = GetParam();
  WriteDevices({1});
  auto sim = StartSim("modbus", {"--devices", "1"});
  // socat without fork: killing it ends the connection it serves too.
  uint16_t port = 0;
  auto redirector = StartRedirector(transport, port, false);
  WriteNetSettings(Dir / "data", transport + "://127.0.0.1:" + std::to_string(port), 2);
  auto monitor = StartMonitor(60);
  ASSERT_TRUE(monitor->WaitForOutput("Communication upbuilt", 15s)) << monitor->Out() << monitor->Err();
  redirector->Stop();
  ASSERT_TRUE(monitor->WaitForOutput("Communication lost", 15s)) << monitor->Out() << monitor->Err();
  const size_t lostAt = monitor->Out().find("Communication lost");
  redirector = StartRedirector(transport, port, false);
  EXPECT_TRUE(monitor->WaitForOutput("Online", 10s, lostAt)) << monitor->Out() << monitor->Err();
  monitor->Stop();
  const auto ev = Events();
  const std::string out = monitor->Out() + monitor->Err();
  EXPECT_EQ(ProgramCodes(ev), (std::vector<int>{20, 23, 18, 23, 21})) << out;
  const int lost = Find(ev, 0, 0, 18);
  EXPECT_GT(Find(ev, 1, 1, 4, -1, lost + 1), lost) << out;
  for (const EventRecord& e : ev) {
    EXPECT_NE(e.Kind, 2) << "no alarm: code " << e.Code << "\n" << out;
    EXPECT_FALSE(e.Address == 1 && e.Kind == 0 && e.Code != 22) << "device link event " << e.Code << "\n" << out;
  }
  EXPECT_EQ(Find(ev, 1, 0, 22, -1, lost + 1), -1) << "the device's link was never lost\n" << out;
  EXPECT_NE(monitor->Err().find("Serial port " + transport + "://127.0.0.1:" + std::to_string(port) + " failed"),
            std::string::npos)
      << monitor->Err();
}

INSTANTIATE_TEST_SUITE_P(Transports, NetworkRedirector, ::testing::Values("tcp", "rfc2217"),
                         [](const auto& p) { return std::string(p.param); });

// Servers that accept and never answer, refuse, send garbage, close in the
// middle of a frame or flood Telnet negotiation without reading: each takes
// the port's failure path or leaves the device unheard, the monitor ends on
// time, and no device event is invented.
TEST_F(NetworkBus, MisbehavingServersGiveThePortFailurePathAndNothingFalse) {
  const struct {
    const char* Name;
    const char* Mode;  // bad_server.py mode; "" for a port nobody listens on
    const char* Scheme;
    std::vector<int> Program;  // program events, from the start on
    const char* Said;          // on standard error
  } cases[] = {
      {"silent_tcp", "silent", "tcp", {20, 23, 21}, ""},
      {"silent_rfc2217", "silent", "rfc2217", {20, 21}, "no answer to the RFC 2217 COM port option within 5 s"},
      {"flood_rfc2217", "flood", "rfc2217", {20, 21}, "the server does not read what we send (over 128 KiB"},
      {"refused", "", "tcp", {20, 21}, "Connection refused"},
      {"garbage", "garbage", "tcp", {20, 23, 21}, ""},  // may connect before it could say so
      {"midframe", "midframe", "tcp", {20, 23, 18}, "the server closed the connection"},
  };
  std::vector<std::unique_ptr<TChildProcess>> servers, monitors;
  for (const auto& c : cases) {
    uint16_t port = FreePort();
    if (*c.Mode) {
      servers.push_back(std::make_unique<TChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", SourceDir + "/tests/e2e/bad_server.py", c.Mode}));
      ASSERT_TRUE(servers.back()->WaitForOutput("\n", 10s)) << servers.back()->Err();
      port = static_cast<uint16_t>(std::stoi(servers.back()->Out().substr(6)));
    }
    const fs::path data = Dir / c.Name;
    WriteNetSettings(data, std::string(c.Scheme) + "://127.0.0.1:" + std::to_string(port), 2);
    WriteDevices({1}, data);
    monitors.push_back(StartMonitorIn(data, 10));
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    ASSERT_EQ(monitors[i]->WaitForExit(40s), 0) << c.Name << "\n" << monitors[i]->Err();
    const std::string& err = monitors[i]->Err();
    EXPECT_NE(err.find(c.Said), std::string::npos) << c.Name << "\n" << err;
    const auto ev = EventsIn(Dir / c.Name);
    const std::vector<int> program = ProgramCodes(ev);
    ASSERT_GE(program.size(), c.Program.size()) << c.Name;
    EXPECT_TRUE(std::equal(c.Program.begin(), c.Program.end(), program.begin())) << c.Name << "\n" << err;
    EXPECT_EQ(program.back(), 21) << c.Name;
    for (const EventRecord& e : ev) EXPECT_EQ(e.Address, 0) << c.Name << ": device event " << e.Code << "\n" << err;
  }
}

// tessaro --search probes the bus behind a server as it probes a local one.
TEST_F(NetworkBus, SearchFindsTheDevicesBehindAServer) {
  auto sim = StartSim("modbus", {"--devices", "2,3"});
  uint16_t port = 0;
  auto redirector = StartRedirector("tcp", port);
  WriteNetSettings(Dir / "data", "tcp://127.0.0.1:" + std::to_string(port), 2);
  TChildProcess search({BuildDir + "/tessaro", "--data-dir", (Dir / "data").string(), "--search", "1-4"});
  ASSERT_EQ(search.WaitForExit(60s), 0) << search.Out() << search.Err();
  EXPECT_NE(search.Out().find("2 devices found: 2, 3"), std::string::npos) << search.Out() << search.Err();
}
