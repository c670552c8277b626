// SIGTERM and SIGINT end the desktop program the orderly way: settings saved,
// "Monitor software is closed" logged, the process gone. A real process on
// the offscreen platform, once with a modal box up before its loop runs (the
// port failed to open) and once with its loop running on a port that opened.

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "e2e/ChildProcess.h"
#include "logs/EventLog.h"
#include "serial/PtyPair.h"
#include "TestFiles.h"

using namespace tessaro;
using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string BuildDir = TESSARO_BUILD_DIR;

int CountProgramEvents(const std::vector<EventRecord>& records, int code) {
  int n = 0;
  for (const EventRecord& r : records) n += (r.Kind == 0 && r.Code == code) ? 1 : 0;
  return n;
}

using tessaro::test::ReadText;

class DesktopStop : public ::testing::TestWithParam<int> {
 protected:
  void Prepare() {
    static const fs::path base = fs::temp_directory_path();  // before TMPDIR below
    Dir = base / ("tessaro_desktop_stop_" + std::to_string(::getpid()) + "_" +
                                       std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                                       std::to_string(Counter++));
    fs::remove_all(Dir);
    fs::create_directories(Dir / "data" / "Record");
    fs::create_directories(Dir / "tmp");
    // A private temporary directory gives the child its own single-instance
    // socket, whatever else runs on this machine.
    ::setenv("TMPDIR", (Dir / "tmp").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  void CleanUp() {
    if (!HasFailure()) fs::remove_all(Dir);
  }
  std::string EventLog() const { return (Dir / "data" / "Record" / "EventLog.dat").string(); }
  bool WaitForEvent(int code, std::chrono::milliseconds bound) const {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
      if (CountProgramEvents(ReadEventLogFile(EventLog()), code) > 0) return true;
      ::poll(nullptr, 0, 20);
    }
    return false;
  }

  fs::path Dir;
  static inline int Counter = 0;
};

TEST_P(DesktopStop, EndsWithTheClosingRecordAndTheSettingsSaved) {
  const int sig = GetParam();
  for (const bool portOpens : {false, true}) {
    SCOPED_TRACE(portOpens ? "loop running" : "port failure box up");
    Prepare();
    tessaro::test::TPtyPair pty;
    std::ofstream(Dir / "data" / "UserParaIni.ini")
        << "[CommPort]\nComName=" << (portOpens ? pty.SlavePath() : (Dir / "no-such-port").string())
        << "\nProtocol=2\n";
    TChildProcess p({BuildDir + "/tessaro", "--data-dir", (Dir / "data").string()});
    ASSERT_TRUE(p.Started());
    if (!WaitForEvent(EventProgramStarted, 20s)) {
      p.WaitForExit(1s);
      if (p.Err().find("no desktop") != std::string::npos) GTEST_SKIP() << "built without the desktop";
      FAIL() << "never started: " << p.Err();
    }
    // The first tick of the running loop logs the port as open.
    if (portOpens) {
      ASSERT_TRUE(WaitForEvent(EventCommRecovered, 10s)) << p.Err();
    }
    p.Signal(sig);
    EXPECT_EQ(p.WaitForExit(10s), 0) << p.Err();
    const auto records = ReadEventLogFile(EventLog());
    EXPECT_EQ(CountProgramEvents(records, EventProgramClosed), 1);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().Code, int(EventProgramClosed));
    // Saved at exit: the file now holds every section, not only what was written here.
    EXPECT_NE(ReadText(Dir / "data" / "UserParaIni.ini").find("[Language]"), std::string::npos);
    CleanUp();
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, DesktopStop, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return std::string(param.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

}  // namespace
