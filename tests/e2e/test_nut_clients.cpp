// tessaro --headless serving the network UPS protocol to clients we did not
// write: Debian's upsc and upsmon (package nut-client), with the simulator on
// a pseudo-terminal as the bus; and running an event hook for every record.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/DeviceList.h"
#include "e2e/HeadlessFixture.h"

using namespace tessaro;
using tessaro::testing::BuildDir;
using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Debian's upsmon wrapper reads /etc/nut/nut.conf; the program behind it
// takes its configuration from NUT_CONFPATH alone.
std::string UpsmonProgram() { return fs::exists("/lib/nut/upsmon") ? "/lib/nut/upsmon" : "/usr/sbin/upsmon"; }

class NutClients : public tessaro::testing::Headless {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists("/usr/bin/upsc")) << "install Debian's nut-client (scripts/deps.sh)";
    Headless::SetUp();
    WriteSettings(2, 0, "[Network]\nNutListen=127.0.0.1:0\n");
    WriteDevices({1, 2});
  }

  // The simulator (device 2 loses its mains at 12 s and gets it back at 30 s)
  // and the monitor, with `extra` arguments; returns the port the monitor
  // serves on (0 when `listening` is false: not waited for).
  int Start(const std::vector<std::string>& extra = {}, bool listening = true) {
    Sim = std::make_unique<TChildProcess>(std::vector<std::string>{
        BuildDir + "/tessaro-sim", "--link", Link, "--devices", "1-2", "--seed", "3",
        "--alarm-device", "2", "--alarm-at", "11", "--battery-at", "12", "--clear-at", "30"});
    EXPECT_TRUE(Sim->WaitForOutput("ready", 10s)) << Sim->Err();
    std::vector<std::string> args{BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(),
                                  "--duration", "90"};
    args.insert(args.end(), extra.begin(), extra.end());
    Monitor = std::make_unique<TChildProcess>(args);
    if (!listening) return 0;
    const std::string mark = "listening on 127.0.0.1:";
    EXPECT_TRUE(Monitor->WaitForError(mark, 10s)) << Monitor->Err();
    const size_t at = Monitor->Err().find(mark);
    return at == std::string::npos ? 0 : std::atoi(Monitor->Err().c_str() + at + mark.size());
  }

  // Runs upsc with `args`; its exit status, stdout and stderr.
  struct TRun {
    int Status;
    std::string Out, Err;
  };
  static TRun Upsc(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/upsc");
    TChildProcess p(args);
    const int status = p.WaitForExit(10s);
    return {status, p.Out(), p.Err()};
  }
  // Asks again until `text` is in the answer (the device's first answers
  // take a few seconds); bounded.
  static TRun UpscUntil(const std::vector<std::string>& args, const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + 40s;
    TRun r = Upsc(args);
    while (r.Out.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(300ms);  // between polls, not to synchronise
      r = Upsc(args);
    }
    return r;
  }

  std::unique_ptr<TChildProcess> Sim, Monitor;
};

TEST_F(NutClients, UpscListsTheDevicesAndTheVariablesOfOne) {
  const std::string host = "127.0.0.1:" + std::to_string(Start());
  const TRun status = UpscUntil({"ups1@" + host, "ups.status"}, "OL");
  ASSERT_EQ(status.Out, "OL\n") << status.Err << Monitor->Err();

  const TRun all = Upsc({"ups1@" + host});
  ASSERT_EQ(all.Status, 0) << all.Err;
  for (const char* line : {"device.type: ups\n", "driver.name: tessaro\n", "ups.id: 1\n", "ups.status: OL\n",
                           "output.frequency: 50.0\n", "input.L3-N.voltage: ", "output.L2.power.percent: ",
                           "battery.charge: ", "battery.runtime: ", "ups.load: "})
    EXPECT_NE(all.Out.find(line), std::string::npos) << line << "\n" << all.Out;

  const TRun list = Upsc({"-L", host});
  EXPECT_NE(list.Out.find("ups1: UPS 1\n"), std::string::npos) << list.Out << list.Err;
  EXPECT_NE(list.Out.find("ups2: UPS 2\n"), std::string::npos) << list.Out;

  const TRun unknown = Upsc({"ups9@" + host});
  EXPECT_NE(unknown.Status, 0);
  EXPECT_NE(unknown.Err.find("Unknown UPS"), std::string::npos) << unknown.Err;
}

// upsmon in the foreground as one process (-p: no privileged parent), so
// stopping it ends all of it. Its log is buffered when it goes to a pipe, so
// the test reads what its NOTIFYCMD writes instead.
class TUpsmon {
 public:
  TUpsmon(const fs::path& dir, int port) : FDir(dir) {
    fs::create_directories(dir / "etc");
    fs::create_directories(dir / "state");
    std::ofstream(dir / "etc" / "nut.conf") << "MODE=netclient\n";
    const fs::path notify = dir / "notify.sh";
    std::ofstream(notify) << "#!/bin/sh\necho \"$NOTIFYTYPE $*\" >> " << (dir / "notices").string() << "\n";
    fs::permissions(notify, fs::perms::owner_all);
    {
      // SHUTDOWNCMD must never shut this machine down, whatever happens.
      std::ofstream conf(dir / "etc" / "upsmon.conf");
      conf << "MONITOR ups2@127.0.0.1:" << port << " 1 monuser secret secondary\n"
           << "MINSUPPLIES 1\nSHUTDOWNCMD \"/bin/true\"\nPOLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\n"
           << "RUN_AS_USER root\nPOWERDOWNFLAG " << (dir / "state" / "killpower").string() << "\n"
           << "NOTIFYCMD " << notify.string() << "\n";
      for (const char* type : {"ONLINE", "ONBATT", "LOWBATT", "COMMOK", "COMMBAD", "SHUTDOWN", "NOCOMM"})
        conf << "NOTIFYFLAG " << type << " EXEC\n";
    }
    fs::permissions(dir / "etc" / "upsmon.conf", fs::perms::owner_read | fs::perms::owner_write);
    ForgetStalePidFile();
    FProcess = Run({"-F", "-p"});
  }
  bool Started() const { return FProcess->Started(); }
  std::string Notices() const {
    std::ifstream in(FDir / "notices");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Waits for a notice holding `text`; bounded.
  bool WaitForNotice(const std::string& text, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (Notices().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end || FProcess->WaitForExit(200ms) != -1) return false;
    }
    return true;
  }
  std::string Log() const { return FProcess->Err() + FProcess->Out(); }

 private:
  std::unique_ptr<TChildProcess> Run(std::vector<std::string> args) const {
    args.insert(args.begin(), UpsmonProgram());  // takes its files from the environment
    ::setenv("NUT_CONFPATH", (FDir / "etc").c_str(), 1);
    ::setenv("NUT_STATEPATH", (FDir / "state").c_str(), 1);
    auto p = std::make_unique<TChildProcess>(args);
    ::unsetenv("NUT_CONFPATH");
    ::unsetenv("NUT_STATEPATH");
    return p;
  }
  // upsmon keeps its pid in /run/nut whatever NUT_STATEPATH says, and
  // refuses to start while that pid is alive; an earlier run's file whose pid
  // now belongs to some other program must not stop it.
  static void ForgetStalePidFile() {
    const fs::path file = "/run/nut/upsmon.pid";
    std::ifstream in(file);
    int pid = 0;
    if (!(in >> pid) || pid <= 0) return;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    comm >> name;
    if (name != "upsmon") fs::remove(file);
  }

  fs::path FDir;
  std::unique_ptr<TChildProcess> FProcess;
};

TEST_F(NutClients, UpsmonReportsOnBatteryWhenTheMainsFailsAndOnLineWhenItReturns) {
  const int port = Start();
  ASSERT_GT(port, 0);
  TUpsmon upsmon(Dir, port);
  ASSERT_TRUE(upsmon.Started());
  const std::string ups = "UPS ups2@127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(upsmon.WaitForNotice("ONBATT " + ups + " on battery", 45s))
      << upsmon.Notices() << upsmon.Log() << Monitor->Out();
  EXPECT_TRUE(upsmon.WaitForNotice("ONLINE " + ups + " on line power", 45s)) << upsmon.Notices();
  EXPECT_EQ(upsmon.Notices().find("SHUTDOWN"), std::string::npos) << upsmon.Notices();
  const TRun logins = Upsc({"-c", "ups2@127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(logins.Out, "127.0.0.1\n") << logins.Err;
}

// Clients that misbehave in every way at once, while the monitor polls: the
// bus is polled on, and a well-behaved client is still served.
TEST_F(NutClients, AbusiveClientsLeavePollingUntouched) {
  const int port = Start();
  ASSERT_GT(port, 0);
  const std::string host = "127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(UpscUntil({"ups1@" + host, "ups.status"}, "OL").Out, "OL\n");
  auto connectOne = [port] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  auto sendAll = [](int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  };
  std::vector<int> fds;
  for (int i = 0; i < 200; ++i) fds.push_back(connectOne());  // connect and never read
  std::string burst;
  for (int i = 0; i < 3000; ++i) burst += "LIST VAR ups1\n";
  sendAll(fds[0], burst);                                      // a flood of requests, no reading
  sendAll(fds[1], std::string(100000, 'x'));                   // one endless line
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) & 0xFF);
  sendAll(fds[2], garbage);                                    // binary garbage
  sendAll(fds[3], "GET VAR ups1 ups.st");                      // gone in the middle of a line
  ::close(fds[3]);
  fds.erase(fds.begin() + 3);

  // The monitor polls on: device 2's mains failure (12 s in) is seen, and no
  // link is lost.
  const TRun later = UpscUntil({"ups2@" + host, "ups.status"}, "OB");
  EXPECT_EQ(later.Out, "OB ALARM\n") << later.Err;
  for (const int fd : fds) ::close(fd);
  Monitor->Stop();
  EXPECT_EQ(Monitor->Out().find("Communication lost"), std::string::npos) << Monitor->Out();
  EXPECT_NE(Monitor->Out().find("Battery Status"), std::string::npos) << Monitor->Out();
}

// A TCP client from `from` (a loopback address 127.x.y.z) to the monitor.
int ConnectFrom(const char* from, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &a.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
  return fd;
}

// The monitor's own connections on `port` in TCP state `state` (hex, as
// /proc/net/tcp writes it: 01 established, 08 close-wait).
int ServerSockets(int port, const char* state) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  char local[16];
  std::snprintf(local, sizeof local, ":%04X", port);
  int n = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string slot, localAddress, remoteAddress, st;
    words >> slot >> localAddress >> remoteAddress >> st;
    if (localAddress.size() > 5 && localAddress.substr(localAddress.size() - 5) == local && st == state) ++n;
  }
  return n;
}

// Clients that pipeline 300 requests with large answers and leave before
// all are sent, and far more idle connections than one address may hold:
// none is left behind, upsc is answered throughout, and polling goes on.
TEST_F(NutClients, PipeliningAndIdleFloodsLeaveNoConnectionBehind) {
  const int port = Start();
  ASSERT_GT(port, 0);
  const std::string host = "127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(UpscUntil({"ups1@" + host, "ups.status"}, "OL").Out, "OL\n");

  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(ConnectFrom("127.0.0.2", port));
  std::string flood;
  for (int i = 0; i < 300; ++i) flood += "LIST VAR ups1\n";
  for (int i = 0; i < 40; ++i) {
    const int fd = ConnectFrom("127.0.0.3", port);
    ASSERT_EQ(::send(fd, flood.data(), flood.size(), MSG_NOSIGNAL), static_cast<ssize_t>(flood.size()));
    std::string got;
    char buf[65536];
    size_t answers = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (answers < 150 && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      answers = 0;
      for (size_t at = 0; (at = got.find("END LIST VAR ups1\n", at)) != std::string::npos; ++at) ++answers;
    }
    ASSERT_GE(answers, 150u) << "client " << i;
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    ::close(fd);
  }
  const TRun list = Upsc({"-L", host});
  EXPECT_NE(list.Out.find("ups1: UPS 1\n"), std::string::npos) << list.Out << list.Err;
  // One address holds at most its share, whatever it opens.
  const auto end = std::chrono::steady_clock::now() + 10s;
  while ((ServerSockets(port, "08") > 0 || ServerSockets(port, "01") > 16) && std::chrono::steady_clock::now() < end)
    Monitor->WaitForExit(100ms);
  EXPECT_EQ(ServerSockets(port, "08"), 0) << "connections left in CLOSE-WAIT";
  EXPECT_LE(ServerSockets(port, "01"), 16);

  // Polling kept its schedule: device 2's mains failure (12 s in) is seen,
  // and no link was lost.
  EXPECT_EQ(UpscUntil({"ups2@" + host, "ups.status"}, "OB").Out, "OB ALARM\n");
  for (const int fd : idle) ::close(fd);
  Monitor->Stop();
  EXPECT_EQ(Monitor->Out().find("Communication lost"), std::string::npos) << Monitor->Out();
}

// A port held by another program when the monitor starts: it says so once,
// keeps polling, and serves as soon as the port is free.
TEST_F(NutClients, APortInUseAtStartIsTakenWhenItIsFree) {
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &length);
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  const std::string refused = "network UPS server cannot listen on " + host +
                              ": Address already in use; trying again every 5 s\n";
  Start({"--nut-listen", host}, false);
  ASSERT_TRUE(Monitor->WaitForError(refused, 10s)) << Monitor->Err();
  ASSERT_TRUE(Monitor->WaitForOutput("Communication upbuilt", 20s)) << Monitor->Out();
  ::close(holder);
  ASSERT_TRUE(Monitor->WaitForError("tessaro: network UPS server listening on " + host + "\n", 10s))
      << Monitor->Err();
  EXPECT_EQ(UpscUntil({"ups1@" + host, "ups.status"}, "OL").Out, "OL\n");
  const std::string err = Monitor->Err();
  EXPECT_EQ(err.find(refused), err.rfind(refused)) << err;

  TChildProcess named({BuildDir + "/tessaro", "--headless", "--nut-listen", "localhost:3493"});
  EXPECT_EQ(named.WaitForExit(10s), 2);
  EXPECT_NE(named.Err().find("write a numeric address and port, e.g. 127.0.0.1:3493"), std::string::npos)
      << named.Err();
}

TEST_F(NutClients, HeadlessRunsTheEventHookForEveryRecordInOrder) {
  const fs::path hook = Dir / "hook dir" / "on event";
  fs::create_directories(hook.parent_path());
  std::ofstream(hook) << "#!/bin/sh\necho \"$TESSARO_ADDRESS $TESSARO_KIND $TESSARO_CODE $TESSARO_TEXT\" >> \""
                      << (Dir / "hook.log").string() << "\"\n";
  fs::permissions(hook, fs::perms::owner_all);
  std::ofstream(Dir / "data" / "UserParaIni.ini", std::ios::app) << "[Hooks]\nOnEvent=" << hook.string() << "\n";
  ASSERT_GT(Start(), 0);
  auto log = [&] {
    std::ifstream in(Dir / "hook.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const auto end = std::chrono::steady_clock::now() + 40s;
  while (log().find("2 1 5 Battery Status") == std::string::npos && std::chrono::steady_clock::now() < end)
    Monitor->WaitForExit(200ms);
  Monitor->Stop();
  const std::string text = log();
  const size_t open = text.find("0 0 20 Monitor software is open\n");
  const size_t up = text.find("2 0 22 Communication upbuilt\n");
  const size_t battery = text.find("2 1 5 Battery Status\n");
  EXPECT_EQ(open, 0u) << text;
  EXPECT_LT(up, battery) << text;
  EXPECT_NE(battery, std::string::npos) << text << Monitor->Err();
  // The closing record's hook may still be running as the monitor exits;
  // it is left to finish.
  const auto closeBy = std::chrono::steady_clock::now() + 10s;
  while (log().find("0 0 21 Monitor software is closed") == std::string::npos &&
         std::chrono::steady_clock::now() < closeBy)
    std::this_thread::sleep_for(100ms);  // between looks at the file
  EXPECT_NE(log().find("0 0 21 Monitor software is closed\n"), std::string::npos) << log();
}

}  // namespace
