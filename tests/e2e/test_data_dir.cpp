// The tessaro executable on data directories that others share, own or
// tamper with: parallel commands, a second monitor, root configuring a
// service user's directory (checked with real uids: the cases that need
// another user run as root and use nobody), a FIFO in place of a log, and
// what a hook inherits.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"
#include "TestFiles.h"

using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Tessaro = std::string(TESSARO_BUILD_DIR) + "/tessaro";
constexpr uid_t Nobody = 65534;

struct TResult {
  int Status;
  std::string Out, Err;
};

// As nobody, with no groups of root's.
std::vector<std::string> AsNobody(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  return argv;
}

TResult RunToEnd(std::vector<std::string> argv, std::chrono::seconds bound = 20s) {
  TChildProcess p(argv);
  const int status = p.WaitForExit(bound);
  return {status, p.Out(), p.Err()};
}

uid_t OwnerOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

using tessaro::test::ReadText;

class DataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_datadir_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    fs::permissions(Dir, fs::perms(0755));
    Data = (Dir / "data").string();
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(Dir);
  }
  // Settings that open no port.
  void WriteSettings(const std::string& extra = {}) const {
    fs::create_directories(Data);
    std::ofstream(Data + "/UserParaIni.ini") << "[CommPort]\nComName=/nonexistent/ttyUPS\n" << extra;
  }
  std::vector<std::string> Command(std::vector<std::string> words) const {
    words.insert(words.begin(), {Tessaro, "--data-dir", Data});
    return words;
  }

  fs::path Dir;
  std::string Data;
};

TEST_F(DataDir, TwentyParallelAddsAllLand) {
  std::vector<std::unique_ptr<TChildProcess>> adds;
  for (int a = 1; a <= 20; ++a)
    adds.push_back(std::make_unique<TChildProcess>(Command({"devices", "add", std::to_string(a), "UPS " + std::to_string(a)})));
  for (auto& p : adds) ASSERT_EQ(p->WaitForExit(30s), 0) << p->Err();
  const TResult list = RunToEnd(Command({"devices", "list"}));
  ASSERT_EQ(list.Status, 0) << list.Err;
  // In the order the locks were granted.
  std::vector<std::string> got, want;
  for (size_t at = 0, end; (end = list.Out.find('\n', at)) != std::string::npos; at = end + 1)
    got.push_back(list.Out.substr(at, end - at));
  for (int a = 1; a <= 20; ++a) want.push_back(std::to_string(a) + "\tUPS " + std::to_string(a));
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST_F(DataDir, ASecondMonitorOnTheSameDirectorySaysSoAndTheFirstRunsOn) {
  WriteSettings();
  TChildProcess first(Command({"--headless", "--duration", "60"}));
  ASSERT_TRUE(first.WaitForOutput("Monitor software is open", 10s)) << first.Err();

  const TResult second = RunToEnd(Command({"--headless", "--duration", "60"}));
  EXPECT_EQ(second.Status, 1);
  EXPECT_EQ(second.Err, "tessaro: another Tessaro (pid " + std::to_string(first.Pid()) + ") is running on " + Data +
                            "/\n");
  // Only the instance lock is refused: configuration goes on beside it.
  EXPECT_EQ(RunToEnd(Command({"devices", "add", "7", "UPS 7"})).Status, 0);
  EXPECT_EQ(first.WaitForExit(100ms), -1) << "the first monitor stopped: " << first.Err();

  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitForExit(10s), 0) << first.Err();
  // Gone with its holder.
  const TResult third = RunToEnd(Command({"--headless", "--duration", "1"}));
  EXPECT_EQ(third.Status, 0) << third.Err;
}

TEST_F(DataDir, RootConfiguringAServiceUsersDirectoryLeavesEverythingTheirs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
  fs::create_directories(Data);
  ASSERT_EQ(::chown(Data.c_str(), Nobody, Nobody), 0);

  TResult r = RunToEnd(Command({"devices", "add", "1", "UPS 1"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = RunToEnd(Command({"config", "set", "ComName=/nonexistent/ttyUPS", "Language=1"}));
  ASSERT_EQ(r.Status, 0) << r.Err;
  for (const char* made : {"Record", "Record/TreeNode.dat", "UserParaIni.ini", ".tessaro.lock"})
    EXPECT_EQ(OwnerOf(fs::path(Data) / made), Nobody) << made;

  // The monitor itself is not run by root on nobody's files: it says how.
  r = RunToEnd(Command({"--headless", "--duration", "1"}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("; run Tessaro as nobody: sudo -u nobody tessaro --data-dir " + Data + " --headless --duration 1"),
            std::string::npos)
      << r.Err;
  EXPECT_FALSE(fs::exists(fs::path(Data) / "Record" / "EventLog.dat"));

  // Its owner runs it and loses nothing.
  r = RunToEnd(AsNobody(Command({"--headless", "--duration", "1"})));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(OwnerOf(fs::path(Data) / "Record" / "EventLog.dat"), Nobody);
  EXPECT_EQ(OwnerOf(fs::path(Data) / "Backup"), Nobody);

  // A log left to root by an older run is named before any record is lost.
  ASSERT_EQ(::chown((Data + "/Record/EventLog.dat").c_str(), 0, 0), 0);
  r = RunToEnd(AsNobody(Command({"--headless", "--duration", "1"})));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("cannot write " + Data + "/Record/EventLog.dat (it belongs to root): Permission denied"),
            std::string::npos)
      << r.Err;
  EXPECT_NE(r.Err.find("chown -R nobody: " + Data), std::string::npos) << r.Err;

  // Someone who cannot act for the owner changes nothing and is told the line.
  const std::string before = ReadText(Data + "/Record/TreeNode.dat");
  ASSERT_EQ(::chown(Data.c_str(), 0, 0), 0);
  r = RunToEnd(AsNobody(Command({"devices", "add", "2", "UPS 2"})));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("nothing changed. Run it as root: sudo -u root tessaro --data-dir " + Data +
                       " devices add 2 'UPS 2'"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(ReadText(Data + "/Record/TreeNode.dat"), before);
}

TEST_F(DataDir, SettingsAndHooksOthersCouldChangeAreRefusedWithTheReason) {
  const std::string marker = (Dir / "hook ran").string();
  const std::string hook = (Dir / "hook.sh").string();
  std::ofstream(hook) << "#!/bin/sh\ntouch '" << marker << "'\n";
  fs::permissions(hook, fs::perms(0755));
  WriteSettings("[Hooks]\nOnEvent=" + hook + "\n");

  // Planted in a directory anyone may write: not even started.
  fs::permissions(Data, fs::perms(0777));
  TResult r = RunToEnd(Command({"--headless", "--duration", "1"}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("may be written by others (mode 0777)"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("chmod go-w " + Data), std::string::npos) << r.Err;
  EXPECT_FALSE(fs::exists(Dir / "data" / "Record"));

  // A hook anyone may replace: the monitor runs, without it, and says why.
  fs::permissions(Data, fs::perms(0755));
  fs::permissions(hook, fs::perms(0757));
  r = RunToEnd(Command({"--headless", "--duration", "1"}));
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("tessaro: event hook " + hook + " not run: " + hook +
                       " may be written by others (mode 0757); chmod go-w " + hook),
            std::string::npos)
      << r.Err;
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(DataDir, HooksSeeOnlyTheStandardDescriptors) {
  const std::string listing = (Dir / "fds").string();
  const std::string hook = (Dir / "hook.sh").string();
  // ls holds the directory it lists open: that is descriptor 3. The listing
  // is renamed into place, so it is never read half written.
  std::ofstream(hook) << "#!/bin/sh\nls /proc/self/fd > '" << listing << ".tmp' && mv '" << listing << ".tmp' '"
                      << listing << "'\n";
  fs::permissions(hook, fs::perms(0755));
  WriteSettings("[Hooks]\nOnEvent=" + hook + "\n");
  // Started by something that leaves a descriptor open across exec.
  TChildProcess monitor({"/bin/sh", "-c", "exec \"$0\" \"$@\" 9</dev/null", Tessaro, "--headless", "--data-dir",
                         Data, "--duration", "30"});
  for (int i = 0; i < 200 && !fs::exists(listing); ++i) monitor.WaitForExit(50ms);
  ASSERT_TRUE(fs::exists(listing)) << monitor.Err();
  EXPECT_EQ(ReadText(listing), "0\n1\n2\n3\n");
}

TEST_F(DataDir, AFifoInPlaceOfALogFailsTheExportAtOnce) {
  fs::create_directories(Data + "/Record");
  struct TCase {
    const char* Log;
    std::vector<std::string> Export;
  } cases[] = {
      {"EventLog.dat", {"--export-events", (Dir / "events.csv").string()}},
      {"DataLog2024_03.dat", {"--export-data", "2024-03", (Dir / "march.csv").string()}},
  };
  for (const TCase& c : cases) {
    const std::string log = Data + "/Record/" + c.Log;
    ASSERT_EQ(::mkfifo(log.c_str(), 0644), 0);
    const TResult r = RunToEnd(Command(c.Export), 10s);
    EXPECT_EQ(r.Status, 1) << c.Log;
    EXPECT_EQ(r.Err, "tessaro: cannot read " + log + ": not a plain file (a FIFO, a device or a directory)\n");
    EXPECT_FALSE(fs::exists(c.Export.back()));
  }
}

}  // namespace
