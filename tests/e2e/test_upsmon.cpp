// Orderly shutdown with Debian's upsmon (nut-client): a primary and a
// secondary against tessaro --headless, the device on battery. upsmon keeps
// its pid file in /run/nut, so each runs in a mount namespace of its own with
// a private /run/nut (root only; the suite runs as root in CI).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HeadlessFixture.h"
#include "e2e/NutPeer.h"

using namespace tessaro;
using namespace tessaro::testing;
namespace fs = std::filesystem;

namespace {

const std::string Upsmon = "/lib/nut/upsmon";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WritePrivate(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

class UpsmonShutdown : public Headless {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "upsmon needs root for a private /run/nut";
    ASSERT_TRUE(fs::exists(Upsmon)) << "install Debian's nut-client (scripts/deps.sh)";
    fs::create_directories("/run/nut");  // the mount point of each private one
    // A chroot cannot give a process a mount namespace of its own (its root
    // is no mount point), and without one two upsmon share a pid file.
    if (std::system("/usr/bin/unshare -m /bin/sh -c 'mount -t tmpfs tmpfs /run/nut' >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "no private mount namespace here: two upsmon would share /run/nut";
    Headless::SetUp();
  }

  // Device 1 goes on battery `batteryAt` seconds after the simulator starts
  // and stays there, far from a low battery: only FSD makes upsmon shut down.
  void StartBus(const std::string& batteryAt, const std::string& settings = {}) {
    const fs::path users = Dir / "nut-users";
    WritePrivate(users, "monprimary:" + Hash("$y$", "p1") + ":primary\n" +
                            "monsecondary:" + Hash("$y$", "s1") + "\n" +
                            "operator:" + Hash("$y$", "o1") + ":test.battery.start,test.battery.stop\n");
    WriteSettings(2, 0, "[Network]\nNutListen=127.0.0.1:0\nUsersFile=" + users.string() + "\n" + settings);
    WriteDevices({1});
    Sim = StartSim("modbus", {"--alarm-device", "1", "--alarm-at", batteryAt, "--battery-at", batteryAt, "--clear-at",
                              "100000"});
    Monitor = StartMonitor(240);
    Port = ListeningPort(*Monitor);
    ASSERT_NE(Port, 0) << Monitor->Err();
    ASSERT_TRUE(WaitFor([&] { return Status().rfind("VAR ", 0) == 0; }, 40s)) << Status() << Monitor->Err();
  }
  void WaitOnBattery() {
    ASSERT_TRUE(WaitFor([&] { return Status().find("OB") != std::string::npos; }, 60s)) << Status() << Monitor->Err();
  }

  // Primary and secondary logged in, the primary granted its role.
  void StartPair() {
    Primary = StartUpsmon("primary", "monprimary", "p1", "primary");
    ASSERT_TRUE(Monitor->WaitForError("PRIMARY for ups1 by user \"monprimary\" from 127.0.0.1: granted", 30s))
        << Monitor->Err() << Primary->Err();
    Secondary = StartUpsmon("secondary", "monsecondary", "s1", "secondary");
    ASSERT_TRUE(WaitFor([&] { return Logins() == 2; }, 30s)) << Logins() << Secondary->Err();
  }

  // The secondary's shutdown command ran, then the primary's, and the primary
  // went on because the secondary's login was gone, not because it gave up.
  void ExpectOrderlyShutdown() {
    ASSERT_TRUE(WaitFor([&] { return ReadFile(Dir / "order") == "secondary\nprimary\n"; }, 60s))
        << ReadFile(Dir / "order") << "\n--- primary\n" << Primary->Err() << "\n--- secondary\n" << Secondary->Err();
    Primary->WaitForError("\x01", 100ms);  // takes in what it printed
    EXPECT_EQ(Primary->Err().find("Host sync timer expired"), std::string::npos) << Primary->Err();
    EXPECT_EQ(Status().rfind("VAR ups1 ups.status \"FSD OB", 0), 0u) << Status();
  }

  std::string Status() const {
    TNutConnection c(Port);
    return c.Exchange("GET VAR ups1 ups.status");
  }
  int Logins() const {
    TNutConnection c(Port);
    const std::string reply = c.Exchange("GET NUMLOGINS ups1");
    return reply.rfind("NUMLOGINS ups1 ", 0) == 0 ? std::atoi(reply.c_str() + 15) : -1;
  }
  template <class F>
  static bool WaitFor(F done, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(200ms);  // between looks, not to synchronise
    }
    return true;
  }

  // One upsmon in its own configuration directory and /run/nut; its
  // shutdown command appends its name to the shared `order` file.
  std::unique_ptr<TChildProcess> StartUpsmon(const std::string& name, const std::string& user,
                                             const std::string& password, const std::string& role) {
    const fs::path conf = Dir / name;
    fs::create_directories(conf);
    WritePrivate(conf / "nut.conf", "MODE=netclient\n");
    WritePrivate(conf / "upsmon.conf",
                 "RUN_AS_USER root\n"
                 "MONITOR ups1@127.0.0.1:" + std::to_string(Port) + " 1 " + user + " " + password + " " + role + "\n" +
                     "MINSUPPLIES 1\n"
                     "SHUTDOWNCMD \"/bin/sh -c 'echo " + name + " >> " + (Dir / "order").string() + "'\"\n" +
                     "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 60\nDEADTIME 15\nFINALDELAY 0\n"
                     "POWERDOWNFLAG " + (conf / "killpower").string() + "\n");
    // -p: one process, so the pid is the one `upsmon -c fsd -P` signals.
    auto p = std::make_unique<TChildProcess>(
        std::vector<std::string>{"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                 "mount -t tmpfs tmpfs /run/nut && exec " + Upsmon + " -D -p"},
        TChildOptions{{"NUT_CONFPATH=" + conf.string()}});
    EXPECT_TRUE(p->Started());
    return p;
  }

  std::unique_ptr<TChildProcess> Sim, Monitor, Primary, Secondary;
  int Port = 0;
};

TEST_F(UpsmonShutdown, TheSecondaryShutsDownAndLogsOutBeforeThePrimary) {
  ASSERT_NO_FATAL_FAILURE(StartBus("0.2"));
  ASSERT_NO_FATAL_FAILURE(WaitOnBattery());
  ASSERT_NO_FATAL_FAILURE(StartPair());
  // On battery, but nothing has asked for a shutdown yet.
  EXPECT_FALSE(fs::exists(Dir / "order"));

  TChildProcess fsd({Upsmon, "-c", "fsd", "-P", std::to_string(Primary->Pid())},
                    TChildOptions{{"NUT_CONFPATH=" + (Dir / "primary").string()}});
  EXPECT_EQ(fsd.WaitForExit(30s), 0) << fsd.Err();
  ASSERT_NO_FATAL_FAILURE(ExpectOrderlyShutdown());
  EXPECT_TRUE(Monitor->WaitForError("FSD for ups1 by user \"monprimary\" from 127.0.0.1: forced shutdown set", 5s))
      << Monitor->Err();
  EXPECT_NE(ReadFile(Dir / "data" / "Record" / "ForcedShutdown.log")
                .find("ups1  forced shutdown by user \"monprimary\" from 127.0.0.1"),
            std::string::npos);

  // FSD stays for every client until the operator clears it.
  TChildProcess clear({BuildDir + "/tessaro", "config", "clear-fsd", "--data-dir", (Dir / "data").string()});
  EXPECT_EQ(clear.WaitForExit(30s), 0) << clear.Err();
  EXPECT_EQ(Status().rfind("VAR ups1 ups.status \"OB", 0), 0u) << Status();
  EXPECT_TRUE(Monitor->WaitForError("forced shutdown cleared by the operator: ups1", 5s)) << Monitor->Err();
}

// The device goes on battery only once both are logged in, so the policy
// cannot fire before the secondary is there to see it.
TEST_F(UpsmonShutdown, ThePolicyForcesTheShutdownInThatOrderToo) {
  ASSERT_NO_FATAL_FAILURE(StartBus("30", "[Shutdown]\nRules=1:onbattery=2\n"));
  ASSERT_NO_FATAL_FAILURE(StartPair());
  ASSERT_EQ(Status().find("OB"), std::string::npos) << "on battery before both upsmon logged in";
  ASSERT_NO_FATAL_FAILURE(WaitOnBattery());
  ASSERT_NO_FATAL_FAILURE(ExpectOrderlyShutdown());
  EXPECT_TRUE(Monitor->WaitForError("forced shutdown of ups1 by the shutdown policy: on battery for 2 s", 5s))
      << Monitor->Err();
  EXPECT_NE(ReadFile(Dir / "data" / "Record" / "ForcedShutdown.log")
                .find("ups1  forced shutdown by the shutdown policy (on battery for 2 s)"),
            std::string::npos);
}

TEST_F(UpsmonShutdown, AUserWithoutThePrimaryRoleChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(StartBus("0.2"));
  TNutConnection c(Port);
  ASSERT_TRUE(c.Connected);
  for (const char* line : {"USERNAME operator", "PASSWORD o1", "LOGIN ups1"})
    EXPECT_EQ(c.Exchange(line), "OK\n") << line;
  EXPECT_EQ(c.Exchange("PRIMARY ups1"), "ERR ACCESS-DENIED\n");
  EXPECT_EQ(c.Exchange("MASTER ups1"), "ERR ACCESS-DENIED\n");
  EXPECT_EQ(c.Exchange("FSD ups1"), "ERR ACCESS-DENIED\n");
  EXPECT_EQ(Status().find("FSD"), std::string::npos) << Status();
  EXPECT_TRUE(Monitor->WaitForError("FSD for ups1 by user \"operator\" from 127.0.0.1: refused, the user does not "
                                    "hold the primary role",
                                    5s))
      << Monitor->Err();
  EXPECT_FALSE(fs::exists(Dir / "data" / "Record" / "ForcedShutdown.log"));

  // Nor does upsmon run as a primary with it: it is refused the role, and
  // its FSD is refused.
  const auto wouldBe = StartUpsmon("primary", "operator", "o1", "primary");
  ASSERT_TRUE(Monitor->WaitForError("PRIMARY for ups1 by user \"operator\" from 127.0.0.1: refused", 30s))
      << Monitor->Err() << wouldBe->Err();
  EXPECT_EQ(Status().find("FSD"), std::string::npos) << Status();
}

}  // namespace
