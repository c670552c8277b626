// tessaro --headless against device peers on real pseudo-terminals: the
// simulator for every protocol, and a Modbus slave built on libmodbus, so a
// mistake shared by our master and our simulator cannot hide.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HeadlessFixture.h"
#include "serial/PtyPair.h"
#include "TestFiles.h"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using tessaro::test::ReadText;

// One request to the network UPS server on a fresh connection: the answer up
// to the text that ends it, or what came within 10 s.
std::string AskNut(int port, const std::string& request, const std::string& end) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  std::string got;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      ::write(fd, (request + "\n").data(), request.size() + 1) == static_cast<ssize_t>(request.size() + 1)) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.find(end) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return got;
}

// One device whose mains fails and returns while we watch: link, state and
// alarm events in order, and data log records carrying the simulator's values.
void CheckAlarmScenario(const std::vector<EventRecord>& ev, int alarm, const std::string& out) {
  ASSERT_GE(ev.size(), 6u) << out;
  EXPECT_EQ(ev.front().Code, 20);
  EXPECT_EQ(ev.front().Kind, 0);
  EXPECT_EQ(ev[1].Code, 23);
  EXPECT_EQ(ev.back().Code, 21);
  EXPECT_EQ(ev.back().Address, 0);
  const int up = Find(ev, 1, 0, 22);
  const int battery = Find(ev, 1, 1, 5);
  const int raised = Find(ev, 1, 2, alarm, 1);
  const int cleared = Find(ev, 1, 2, alarm, 0);
  const int backOnline = Find(ev, 1, 1, 4, -1, battery + 1);
  EXPECT_GT(up, 1) << out;
  EXPECT_GT(raised, up) << out;
  EXPECT_GT(battery, up) << out;
  EXPECT_GT(cleared, raised) << out;
  EXPECT_GT(backOnline, battery) << out;
  EXPECT_EQ(Find(ev, 1, 0, 18), -1) << "the link must never be lost\n" << out;
}

void CheckDataRecords(const std::vector<DataRecord>& records) {
  ASSERT_GE(records.size(), 2u);
  for (const DataRecord& r : records) {
    EXPECT_EQ(r.Address, 1);
    EXPECT_NEAR(r.Measure.OutputVoltA, 220.0, 10.0);
    EXPECT_NEAR(r.Measure.OutputFreq, 50.0, 1.0);
  }
}

}  // namespace

struct TProtocolCase {
  const char* SimName;
  int Protocol;
  int AlarmCode;  // the alarm the simulator raises with the mains failure
};

class HeadlessProtocol : public Headless, public ::testing::WithParamInterface<TProtocolCase> {};

TEST_P(HeadlessProtocol, MonitorsASimulatedDeviceThroughAMainsFailure) {
  const TProtocolCase& c = GetParam();
  WriteSettings(c.Protocol, 50);
  WriteDevices({1});
  auto sim = StartSim(c.SimName, {"--devices", "1", "--alarm-device", "1", "--alarm-at", "4", "--battery-at", "5",
                                  "--clear-at", "13"});
  auto monitor = StartMonitor(22);
  ASSERT_EQ(monitor->WaitForExit(60s), 0) << monitor->Err();
  CheckAlarmScenario(Events(), c.AlarmCode, monitor->Out());
  CheckDataRecords(DataRecords());
  // Every record is printed as it is written.
  EXPECT_NE(monitor->Out().find("Monitor software is open"), std::string::npos);
  EXPECT_NE(monitor->Out().find("Monitor software is closed"), std::string::npos);
}

// Device 1 answers every third request 1.5 s late, when the engine is already
// asking it the next question; device 2 answers every request late. No late
// answer may be decoded as the answer to another request.
TEST_P(HeadlessProtocol, LateAnswersAreNeverTakenForAnotherRequest) {
  const TProtocolCase& c = GetParam();
  WriteSettings(c.Protocol, 20);
  WriteDevices({1, 2});
  auto sim = StartSim(c.SimName, {"--devices", "1,2", "--fault-device", "1", "--faults", "late", "--fault-every", "3",
                                  "--late-device", "2", "--late-ms", "1500"});
  auto monitor = StartMonitor(30);
  ASSERT_EQ(monitor->WaitForExit(60s), 0) << monitor->Err();
  const auto ev = Events();
  const std::string out = monitor->Out();
  for (const EventRecord& e : ev) {
    EXPECT_NE(e.Address, 2) << "code " << e.Code << "\n" << out;
    if (e.Address != 1) continue;
    // Established once, then online; no other state and no alarm.
    const bool established = e.Kind == 0 && e.Code == 22;
    const bool online = e.Kind == 1 && e.Code == 4;
    EXPECT_TRUE(established || online) << "kind " << int(e.Kind) << " code " << e.Code << "\n" << out;
  }
  EXPECT_GT(Find(ev, 1, 1, 4), 0) << out;
  const auto records = DataRecords();
  ASSERT_FALSE(records.empty());
  for (const DataRecord& r : records) {
    EXPECT_EQ(r.Address, 1);
    EXPECT_NEAR(r.Measure.OutputVoltA, 220.0, 10.0);
    EXPECT_NEAR(r.Measure.OutputFreq, 50.0, 1.0);
    EXPECT_LE(r.Measure.LoadA, 100.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, HeadlessProtocol,
                         ::testing::Values(TProtocolCase{"modbus", 2, 25}, TProtocolCase{"ydt", 0, 25},
                                           TProtocolCase{"quorvan", 1, 202}),
                         [](const auto& p) { return std::string(p.param.SimName); });

TEST_F(Headless, MonitorsALibmodbusSlave) {
  WriteSettings(2, 50);
  WriteDevices({1});
  auto peer = StartPeer({BuildDir + "/tessaro-modbus-peer", "--link", Link, "--slave", "1"});
  auto monitor = StartMonitor(14);
  ASSERT_EQ(monitor->WaitForExit(60s), 0) << monitor->Err();
  const auto ev = Events();
  const int up = Find(ev, 1, 0, 22);
  ASSERT_GT(up, 0) << monitor->Out() << peer->Err();
  EXPECT_GT(Find(ev, 1, 1, 4), up) << monitor->Out();
  EXPECT_EQ(Find(ev, 1, 0, 18), -1) << monitor->Out();
  const auto records = DataRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_DOUBLE_EQ(records.back().Measure.InputVoltA, 220.1);
  EXPECT_DOUBLE_EQ(records.back().Measure.OutputFreq, 50.0);
}

TEST_F(Headless, PortThatVanishesIsReportedAndReopenedWhenItReturns) {
  WriteSettings(2, 0);
  WriteDevices({1});
  auto sim = StartSim("modbus", {"--devices", "1"});
  auto monitor = StartMonitor(30);
  ASSERT_TRUE(monitor->WaitForOutput("Communication upbuilt", 15s)) << monitor->Out() << monitor->Err();
  sim->Stop();  // the adapter is unplugged
  ASSERT_TRUE(monitor->WaitForOutput("Communication lost", 15s)) << monitor->Out() << monitor->Err();
  sim = StartSim("modbus", {"--devices", "1"});  // and plugged back in
  const std::string out = monitor->Out();
  const size_t lostAt = out.find("Communication lost");
  ASSERT_TRUE(monitor->WaitForOutput("Communication recovered", 20s));
  ASSERT_TRUE(monitor->WaitForExit(60s) == 0) << monitor->Err();
  const auto ev = Events();
  const int lost = Find(ev, 0, 0, 18);
  ASSERT_GT(lost, 0);
  const int recovered = Find(ev, 0, 0, 23, -1, lost + 1);
  EXPECT_GT(recovered, lost);
  // Closing the port resets the counters and the state, not the link state:
  // the device's state is logged afresh once it answers again.
  EXPECT_GT(Find(ev, 1, 1, 4, -1, recovered + 1), recovered) << monitor->Out();
  EXPECT_NE(monitor->Out().find("Communication recovered", lostAt), std::string::npos);
}

TEST_F(Headless, MissingPortIsReportedAndRetried) {
  WriteSettings(2, 0);
  auto monitor = StartMonitor(5);
  ASSERT_EQ(monitor->WaitForExit(30s), 0);
  EXPECT_NE(monitor->Err().find("There was an error to open serial port"), std::string::npos) << monitor->Err();
  EXPECT_NE(monitor->Err().find("retrying"), std::string::npos);
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].Code, 20);
  EXPECT_EQ(ev[1].Code, 21);
}

// An operator edits the settings while the service runs and restarts it:
// the exit must not put the old values back.
TEST_F(Headless, SettingsFileEditedWhileRunningIsLeftAsItIs) {
  WriteSettings(2, 0);
  const fs::path ini = Dir / "data" / "UserParaIni.ini";
  auto monitor = StartMonitor(120);
  ASSERT_TRUE(monitor->WaitForOutput("Monitor software is open", 10s)) << monitor->Err();
  const std::string edited = "[CommPort]\nComName=" + Link + "\nProtocol=1\nBaudRate=2400\n";
  std::ofstream(ini) << edited;
  // Stopped once the edit is on disk, not at a duration it may outrun.
  monitor->Signal(SIGTERM);
  ASSERT_EQ(monitor->WaitForExit(30s), 0) << monitor->Err();
  std::ifstream in(ini);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), edited);
  EXPECT_NE(monitor->Err().find("UserParaIni.ini changed on disk while running; left as it is"), std::string::npos)
      << monitor->Err();
}

TEST_F(Headless, SettingsThatStopAllPollingAreWarnedAtStart) {
  tessaro::test::TPtyPair pty;  // a real port, which takes no speed of 0
  const auto start = [&](int language) {
    std::ofstream(Dir / "data" / "UserParaIni.ini")
        << "[CommPort]\nComName=" << pty.SlavePath() << "\nBaudRate=0\nReadIntervalTimeout=0\nProtocol=2\n"
        << "[CommMast]\nMaxReSend=1\n[Language]\nLanguage=" << language << "\n";
    auto monitor = StartMonitor(1);
    EXPECT_EQ(monitor->WaitForExit(30s), 0) << monitor->Err();
    return monitor->Err();
  };
  const std::string err = start(0);
  for (const char* said : {"warning: ", "ReadIntervalTimeout is 0", "MaxReSend is 1", "BaudRate is 0",
                           "tessaro config set ReadIntervalTimeout=200", "The serial port does not accept the baud rate"})
    EXPECT_NE(err.find(said), std::string::npos) << said << "\n" << err;
  EXPECT_LT(err.find("MaxReSend is 1"), err.find("There was an error to open serial port")) << "warned at start";
  // In the language of the settings, as the events are printed.
  const std::string zh = start(1);
  for (const char* said : {"接收间隔超时为 0", "重发次数为 1", "波特率为 0", "tessaro config set MaxReSend=2"})
    EXPECT_NE(zh.find(said), std::string::npos) << said << "\n" << zh;
  EXPECT_EQ(zh.find("MaxReSend is 1"), std::string::npos) << zh;
}

// Files under the names the monitor reads or appends to that would lose
// everything (/dev/null), read as noise (/dev/zero, a FIFO) or make up a
// port to open (a settings file of noise) stop the start, say which file
// and what to do, and are left as they were.
TEST_F(Headless, BadFilesStopTheStartAndAreLeftAsTheyWere) {
  const fs::path data = Dir / "data";
  std::string noise;
  for (int i = 0; i < 65536; ++i) noise.push_back(static_cast<char>((i * 2654435761u) >> 23));
  struct TCase {
    const char* Name;
    std::function<fs::path()> Plant;  // returns the file planted
    std::vector<std::string> Says;
  } cases[] = {
      {"event log linked to /dev/null",
       [&] {
         fs::create_symlink("/dev/null", data / "Record" / "EventLog.dat");
         return data / "Record" / "EventLog.dat";
       },
       {"EventLog.dat is not a plain file (a character device, through a link to /dev/null)", "mv "}},
      {"data log linked to /dev/zero",
       [&] {
         fs::create_symlink("/dev/zero", data / "Record" / "DataLog2026_12.dat");
         return data / "Record" / "DataLog2026_12.dat";
       },
       {"DataLog2026_12.dat is not a plain file (a character device"}},
      {"device list as a FIFO",
       [&] {
         EXPECT_EQ(::mkfifo((data / "Record" / "TreeNode.dat").c_str(), 0644), 0);
         return data / "Record" / "TreeNode.dat";
       },
       {"TreeNode.dat is not a plain file (a FIFO)"}},
      {"settings file of noise",
       [&] {
         std::ofstream(data / "UserParaIni.ini", std::ios::binary) << noise;
         return data / "UserParaIni.ini";
       },
       {(data / "UserParaIni.ini").string() + " was not understood", "line 1", "more lines like these",
        "tessaro config set KEY=VALUE"}},
  };
  for (const TCase& c : cases) {
    fs::remove_all(data);
    fs::create_directories(data / "Record");
    if (std::string(c.Name).find("settings") == std::string::npos) WriteSettings(2, 50);
    const fs::path planted = c.Plant();
    const fs::file_type type = fs::symlink_status(planted).type();
    const std::string before = type == fs::file_type::regular ? ReadText(planted) : std::string();
    auto monitor = StartMonitor(5);
    ASSERT_EQ(monitor->WaitForExit(20s), 1) << c.Name << ": " << monitor->Err();
    for (const std::string& part : c.Says)
      EXPECT_NE(monitor->Err().find(part), std::string::npos) << c.Name << ": " << part << "\n" << monitor->Err();
    EXPECT_EQ(monitor->Err().find("ttyS0"), std::string::npos) << c.Name << ": no port was opened";
    EXPECT_EQ(monitor->Out(), "") << c.Name << ": the monitor did not start";
    EXPECT_EQ(fs::symlink_status(planted).type(), type) << c.Name;
    if (type == fs::file_type::regular) {
      EXPECT_EQ(ReadText(planted), before) << c.Name;
    }
  }
}

// A device list of noise is polled as read, with what is wrong said first.
TEST_F(Headless, DeviceListOfNoiseIsToldAndPolledAsRead) {
  WriteSettings(2, 0);
  std::string noise;
  for (int i = 0; i < 200; ++i) noise.push_back(static_cast<char>((i * 2654435761u) >> 23));
  std::ofstream(Dir / "data" / "Record" / "TreeNode.dat", std::ios::binary) << noise;
  auto monitor = StartMonitor(1);
  ASSERT_EQ(monitor->WaitForExit(20s), 0) << monitor->Err();
  const std::string& err = monitor->Err();
  for (const char* part : {"TreeNode.dat: device 1 (address ", "200 bytes, not a whole number of 42-byte devices",
                           "kept as TreeNode_full.dat when the list is next changed"})
    EXPECT_NE(err.find(part), std::string::npos) << part << "\n" << err;
  EXPECT_EQ(ReadText(Dir / "data" / "Record" / "TreeNode.dat"), noise);
}

// The disk fills up under the running service, then space comes back: a
// file size limit below the log's end stands for the full disk, and is
// lifted while the monitor runs.
TEST_F(Headless, LogWriteFailureAndRecoveryAreReportedOnceEachAndFailTheExit) {
  WriteSettings(2, 0);
  const fs::path active = Dir / "data" / "Record" / "EventLog.dat";
  // The tail a power cut leaves (all-zero records, read as none) ends past the limit.
  std::ofstream(active, std::ios::binary) << std::string(22 * sizeof(EventRecord), '\0');
  TChildProcess monitor({"/usr/bin/prlimit", "--fsize=1024:unlimited", BuildDir + "/tessaro", "--headless",
                         "--data-dir", (Dir / "data").string(), "--duration", "120"});
  ASSERT_TRUE(monitor.WaitForError("event log: cannot write " + active.string() + ": File too large", 10s))
      << monitor.Err();
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(monitor.Pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0) << std::strerror(errno);
  // The closing record is written only after the space came back.
  monitor.Signal(SIGTERM);
  ASSERT_EQ(monitor.WaitForExit(30s), 1) << monitor.Err();
  const std::string& err = monitor.Err();
  auto count = [&err](const std::string& part) {
    int n = 0;
    for (size_t at = err.find(part); at != std::string::npos; at = err.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("event log: cannot write"), 1) << err;
  EXPECT_EQ(count("event log: writing again to " + active.string() + "; 1 record was lost"), 1) << err;
  EXPECT_EQ(count("1 event log and 0 data log records could not be written"), 1) << err;
  const auto ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].Code, 21);
}

// A full bus raises, goes on battery and clears all at once, while every
// event sync takes 200 ms and nobody reads the monitor's standard output:
// polling keeps going through the whole timeline, the network server
// answers throughout, and every event is on disk in order at the end.
TEST_F(Headless, AlarmBurstOnAFullBusWithASlowDiskAndAnUnreadOutput) {
  WriteSettings(2, 50, "[CommMast]\nFastPoll=1\n[Network]\nNutListen=127.0.0.1:0\n");
  std::vector<uint8_t> all;
  for (int a = 1; a <= 252; ++a) all.push_back(static_cast<uint8_t>(a));
  WriteDevices(all);
  auto sim = StartSim("modbus", {"--devices", "1-252", "--alarm-device", "1-252", "--alarm-at", "15",
                                 "--battery-at", "35", "--clear-at", "55"});
  TChildProcess monitor({BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(), "--duration", "75"},
                        {{"TESSARO_TEST_SYNC_DELAY_MS=200"}, true});
  const std::string mark = "listening on 127.0.0.1:";
  ASSERT_TRUE(monitor.WaitForError(mark, 10s)) << monitor.Err();
  const int port = std::atoi(monitor.Err().c_str() + monitor.Err().find(mark) + mark.size());

  // Through the burst, until the last device is seen on battery.
  int asked = 0;
  std::string status;
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (status.find("\"OB") == std::string::npos && std::chrono::steady_clock::now() < end) {
    EXPECT_EQ(AskNut(port, "VER", "\n").rfind("Tessaro ", 0), 0u);
    const std::string list = AskNut(port, "LIST UPS", "END LIST UPS\n");
    EXPECT_NE(list.find("UPS ups252 "), std::string::npos) << list;
    EXPECT_TRUE(list.ends_with("END LIST UPS\n")) << list;
    status = AskNut(port, "GET VAR ups252 ups.status", "\n");
    ++asked;
    std::this_thread::sleep_for(500ms);  // between questions, not to synchronise
  }
  EXPECT_NE(status.find("\"OB"), std::string::npos) << status;
  EXPECT_GT(asked, 10);

  ASSERT_EQ(monitor.WaitForExit(120s), 0) << monitor.Err();
  const auto ev = Events();
  ASSERT_GT(ev.size(), 5u * 252);
  EXPECT_EQ(ev.front().Code, EventProgramStarted);
  EXPECT_EQ(ev.back().Code, EventProgramClosed);
  for (size_t i = 1; i < ev.size(); ++i) ASSERT_GE(ev[i].Time, ev[i - 1].Time) << "record " << i;
  for (int a = 1; a <= 252; ++a) {
    const int up = Find(ev, a, 0, 22);
    const int raised = Find(ev, a, 2, 25, 1, up + 1);
    const int battery = Find(ev, a, 1, 5, -1, raised + 1);
    const int cleared = Find(ev, a, 2, 25, 0, battery + 1);
    const int online = Find(ev, a, 1, 4, -1, battery + 1);
    EXPECT_TRUE(up > 0 && raised > up && battery > raised && cleared > battery && online > battery)
        << "device " << a << ": " << up << " " << raised << " " << battery << " " << cleared << " " << online;
    EXPECT_EQ(Find(ev, a, 0, 18), -1) << "device " << a << " lost its link";
  }
  std::vector<bool> recorded(253, false);
  for (const DataRecord& r : DataRecords()) recorded[r.Address] = true;
  EXPECT_EQ(std::count(recorded.begin() + 1, recorded.end(), true), 252);
  EXPECT_NE(monitor.Err().find(" event lines not printed: standard output was not being read"), std::string::npos)
      << monitor.Err();
}

TEST_F(Headless, BadCommandLineIsRefusedWithUsage) {
  TChildProcess p({BuildDir + "/tessaro", "--headless", "--duration", "soon"});
  EXPECT_EQ(p.WaitForExit(10s), 2);
  EXPECT_NE(p.Err().find("--duration takes a number"), std::string::npos) << p.Err();
  EXPECT_NE(p.Err().find("Usage:"), std::string::npos);
}
