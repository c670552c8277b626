// The network UPS server end to end, tessaro --headless on a pseudo-terminal
// bus: the request sequences of the clients people use, over TCP, against a
// simulated bus with a device that never answers; and device commands from
// Debian's upscmd (nut-client), with the libmodbus peer as the device. The
// peer logs every frame it receives, so the write on the bus is the one the
// battery test window sends, and a refused command shows as no write at all.

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HeadlessFixture.h"
#include "e2e/NutPeer.h"
#include "net/NutClientScripts.h"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;

namespace {

// Devices 1 and 2 on the simulator; 9 is configured and never answers.
class NutClientReplay : public Headless {};

TEST_F(NutClientReplay, EveryClientsSequenceGetsAllowedRepliesAndOnlyTheSilentDeviceIsStale) {
  WriteSettings(2, 0, "[Network]\nNutListen=127.0.0.1:0\n");
  WriteDevices({1, 2, 9});
  const auto sim = StartSim("modbus", {"--devices", "1-2"});
  const auto monitor = StartMonitor(120);
  const int port = ListeningPort(*monitor);
  ASSERT_NE(port, 0) << monitor->Err();
  // Both answering devices in and fresh.
  const auto end = std::chrono::steady_clock::now() + 40s;
  auto fresh = [&] {
    TNutConnection c(port);
    return c.Exchange("GET VAR ups1 ups.status").rfind("VAR ", 0) == 0 &&
           c.Exchange("GET VAR ups2 ups.status").rfind("VAR ", 0) == 0;
  };
  while (!fresh() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(300ms);  // between polls
  ASSERT_TRUE(fresh()) << monitor->Err();

  for (const TClientScript& script : Scripts) {
    TNutConnection c(port);
    ASSERT_TRUE(c.Connected);
    const TReplay r = Replay(
        script, [&c](const std::string& line) { return c.Exchange(line); }, {"ups1", "ups2", "ups9"});
    CheckReplay(script, r, {"ups9"});
  }
}

class NutCommands : public Headless {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists("/usr/bin/upscmd")) << "install Debian's nut-client (scripts/deps.sh)";
    Headless::SetUp();
    const fs::path users = Dir / "nut-users";
    std::ofstream(users) << "# who may give device commands\n"
                         << "operator:" << Hash("$y$", "right") << ":test.battery.start,test.battery.stop\n"
                         << "viewer:" << Hash("$6$", "look") << "\n";
    fs::permissions(users, fs::perms::owner_read | fs::perms::owner_write);
    WriteSettings(2, 0, "[Network]\nNutListen=127.0.0.1:0\nUsersFile=" + users.string() + "\n");
    WriteDevices({1});
    Peer = StartPeer({BuildDir + "/tessaro-modbus-peer", "--link", Link, "--log-requests"});
    Monitor = StartMonitor(120);
    const int port = ListeningPort(*Monitor);
    ASSERT_NE(port, 0) << Monitor->Err();
    Host = "ups1@127.0.0.1:" + std::to_string(port);
    // Commands are taken only for a device that answers.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (Run({"/usr/bin/upsc", Host, "ups.status"}).Out.empty() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(200ms);  // between polls, not to synchronise
  }

  struct TRun {
    int Status;
    std::string Out, Err;
  };
  static TRun Run(const std::vector<std::string>& args) {
    TChildProcess p(args);
    const int status = p.WaitForExit(30s);
    return {status, p.Out(), p.Err()};
  }
  // The write frames the device received.
  std::vector<std::string> Writes(size_t count) { return PeerWrites(*Peer, count); }

  std::unique_ptr<TChildProcess> Peer, Monitor;
  std::string Host;
};

TEST_F(NutCommands, UpscmdStartsABatteryTestAndWaitsForTheDevicesEcho) {
  const TRun list = Run({"/usr/bin/upscmd", "-l", Host});
  EXPECT_EQ(list.Status, 0) << list.Err;
  for (const char* line : {"test.battery.start - Start a battery test", "test.battery.stop - ", "load.off - ",
                           "load.on - "})
    EXPECT_NE(list.Out.find(line), std::string::npos) << line << "\n" << list.Out;

  const TRun run = Run({"/usr/bin/upscmd", "-u", "operator", "-p", "right", "-w", Host, "test.battery.start"});
  EXPECT_EQ(run.Status, 0) << run.Err << Monitor->Err();
  EXPECT_NE(run.Err.find("SUCCESS"), std::string::npos) << run.Out << run.Err;
  // The frame the battery test window sends with its default of 60 s.
  EXPECT_EQ(Writes(1), std::vector<std::string>{"rx 01 06 4E 22 00 3C 3E F9"});
  EXPECT_TRUE(Monitor->WaitForError("network command test.battery.start for ups1 by user \"operator\" from 127.0.0.1: "
                                    "queued",
                                    5s))
      << Monitor->Err();

  // A time of its own, and the stop.
  EXPECT_EQ(Run({"/usr/bin/upscmd", "-u", "operator", "-p", "right", "-w", Host, "test.battery.start", "30"}).Status, 0);
  EXPECT_EQ(Run({"/usr/bin/upscmd", "-u", "operator", "-p", "right", "-w", Host, "test.battery.stop"}).Status, 0);
  EXPECT_EQ(Writes(3), (std::vector<std::string>{"rx 01 06 4E 22 00 3C 3E F9", "rx 01 06 4E 22 00 1E BE E0",
                                                 "rx 01 06 4E 22 00 00 3E E8"}));
}

TEST_F(NutCommands, EveryRefusalReachesNothingOnTheBus) {
  struct TCase {
    std::vector<std::string> Args;
    const char* Reply;   // what upscmd says
    const char* Report;  // what the monitor says
  } const cases[] = {
      {{"-u", "operator", "-p", "wrong", Host, "test.battery.start"}, "ERR ACCESS-DENIED",
       "by user \"operator\" from 127.0.0.1: refused, wrong user name or password (1 failed for this user on "
       "loopback within 15 min, 1 since the start)"},
      {{"-u", "nobody", "-p", "right", Host, "test.battery.start"}, "ERR ACCESS-DENIED",
       "by user \"nobody\" from 127.0.0.1: refused, wrong user name or password (1 failed for this user on loopback "
       "within 15 min, 2 since the start)"},
      {{"-u", "viewer", "-p", "look", Host, "test.battery.start"}, "ERR ACCESS-DENIED",
       "by user \"viewer\" from 127.0.0.1: refused, the user may not give this command"},
      {{"-u", "operator", "-p", "right", Host, "load.off"}, "ERR ACCESS-DENIED",
       "network command load.off for ups1 by user \"operator\" from 127.0.0.1: refused, the user may not give"},
      {{"-u", "operator", "-p", "right", Host, "test.battery.start", "70000"}, "ERR INVALID-ARGUMENT",
       "refused, not queued: the test time"},
      {{"-u", "operator", "-p", "right", Host, "shutdown.return"}, "ERR CMD-NOT-SUPPORTED",
       "network command shutdown.return for ups1 by user \"operator\" from 127.0.0.1: refused, not a command"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"/usr/bin/upscmd"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TRun run = Run(args);
    EXPECT_NE(run.Status, 0) << c.Report;
    EXPECT_NE(run.Err.find(c.Reply), std::string::npos) << c.Report << "\n" << run.Err;
    EXPECT_TRUE(Monitor->WaitForError(c.Report, 5s)) << Monitor->Err();
  }
  // A command that is taken goes the same way behind them: once its frame is
  // on the bus, anything a refusal had let through would be there before it.
  const TRun stop = Run({"/usr/bin/upscmd", "-u", "operator", "-p", "right", "-w", Host, "test.battery.stop"});
  EXPECT_EQ(stop.Status, 0) << stop.Err << Monitor->Err();
  EXPECT_EQ(Writes(1), std::vector<std::string>{"rx 01 06 4E 22 00 00 3E E8"});
}

// The attack of the issue: password guesses from 64 connections over four
// addresses, each closed at once and opened again. Polling goes on (upsc
// never finds the data stale, no link is lost), and the failures are reported
// without flooding stderr.
TEST_F(NutCommands, PasswordGuessingLeavesPollingAloneAndIsReportedAtARate) {
  const int port = std::stoi(Host.substr(Host.rfind(':') + 1));
  std::atomic<bool> stop{false};
  std::thread guesser([&] {
    for (int round = 0; round < 5000 && !stop; ++round)
      for (int i = 0; i < 64; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ("127.0.2." + std::to_string(1 + i % 4)).c_str(), &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          const std::string guess = "USERNAME operator" + std::to_string(i) + "\nPASSWORD guess" +
                                    std::to_string(round) + "\nINSTCMD ups1 test.battery.start\n";
          ::send(fd, guess.data(), guess.size(), MSG_NOSIGNAL);
        }
        ::close(fd);
      }
  });
  int stale = 0;
  for (int i = 0; i < 20; ++i) {
    const TRun run = Run({"/usr/bin/upsc", Host, "ups.status"});
    stale += run.Out.find("OL") == std::string::npos;
    std::this_thread::sleep_for(500ms);  // samples over 10 s, not a synchronisation
  }
  stop = true;
  guesser.join();
  EXPECT_EQ(stale, 0) << Monitor->Err();
  EXPECT_TRUE(Monitor->WaitForError("more failed password checks not reported one by one", 10s)) << Monitor->Err();
  Monitor->Stop();
  EXPECT_EQ(Monitor->Out().find("Communication lost"), std::string::npos) << Monitor->Out();
  // 20 at once, then about one a second.
  const std::string err = Monitor->Err();
  size_t lines = 0;
  for (size_t at = err.find(": refused, "); at != std::string::npos; at = err.find(": refused, ", at + 1)) ++lines;
  EXPECT_LE(lines, 20u + 40u) << err;
  EXPECT_EQ(Writes(0), std::vector<std::string>{});
}

}  // namespace
