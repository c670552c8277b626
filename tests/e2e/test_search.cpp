// tessaro --search against the simulator on real pseudo-terminals: every
// protocol's probe finds exactly the devices that answer, and the data
// directory is left as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"

using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string BuildDir = TESSARO_BUILD_DIR;

// Every file under dir with its content.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    files[fs::relative(entry.path(), dir).string()] = content.str();
  }
  return files;
}

class Search : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("tessaro_search_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(Dir);
  }
  // A data directory whose settings point at `link`.
  fs::path DataDir(const std::string& name, const std::string& link, int protocol) const {
    const fs::path data = Dir / name;
    fs::create_directories(data);
    std::ofstream(data / "UserParaIni.ini") << "[CommPort]\nComName=" << link << "\nProtocol=" << protocol
                                            << "\nReadIntervalTimeout=50\n";
    return data;
  }
  static std::unique_ptr<TChildProcess> RunSearch(const fs::path& data, const std::string& range) {
    return std::make_unique<TChildProcess>(
        std::vector<std::string>{BuildDir + "/tessaro", "--search", range, "--data-dir", data.string()});
  }
  fs::path Dir;
};

TEST_F(Search, FindsExactlyTheAnsweringDevicesForEveryProtocol) {
  struct TCase {
    const char* SimName;
    int Protocol;
  };
  const std::vector<TCase> cases = {{"modbus", 2}, {"ydt", 0}, {"quorvan", 1}};
  // The three searches run side by side: each takes 16 probes of 1.3 s.
  std::vector<std::unique_ptr<TChildProcess>> sims, searches;
  std::vector<fs::path> dirs;
  std::vector<std::map<std::string, std::string>> before;
  for (const TCase& c : cases) {
    const std::string link = (Dir / (std::string("tty-") + c.SimName)).string();
    sims.push_back(std::make_unique<TChildProcess>(std::vector<std::string>{
        BuildDir + "/tessaro-sim", "--link", link, "--protocol", c.SimName, "--devices", "12,3,7,17", "--seed", "3"}));
    ASSERT_TRUE(sims.back()->WaitForOutput("ready", 10s)) << sims.back()->Err();
    dirs.push_back(DataDir(c.SimName, link, c.Protocol));
    before.push_back(Snapshot(dirs.back()));
    searches.push_back(RunSearch(dirs.back(), "1-16"));
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    TChildProcess& search = *searches[i];
    ASSERT_EQ(search.WaitForExit(60s), 0) << cases[i].SimName << "\n" << search.Out() << search.Err();
    // Each found as it is found, in probe order, 17 (outside the range) never.
    EXPECT_NE(search.Out().find("found 3\nfound 7\nfound 12\n"), std::string::npos) << search.Out();
    EXPECT_NE(search.Out().find("search of 1-16 done: 3 devices found: 3, 7, 12\n"), std::string::npos)
        << search.Out();
    EXPECT_EQ(search.Out().find("found 17"), std::string::npos);
    EXPECT_EQ(Snapshot(dirs[i]), before[i]) << cases[i].SimName;
  }
}

TEST_F(Search, ReportsWhatKeepsItFromSearching) {
  const fs::path data = DataDir("data", (Dir / "no-such-tty").string(), 2);
  struct TCase {
    std::string Range;
    int Exit;
    std::string Message;
  };
  for (const TCase& c : std::vector<TCase>{{"1-16", 1, "cannot open the serial port"},
                                           {"0-16", 2, "--search takes FROM-TO"},
                                           {"16-1", 2, "--search takes FROM-TO"},
                                           {"1-253", 2, "--search takes FROM-TO"},
                                           {"7", 2, "--search takes FROM-TO"}}) {
    auto search = RunSearch(data, c.Range);
    EXPECT_EQ(search->WaitForExit(10s), c.Exit) << c.Range;
    EXPECT_NE(search->Err().find(c.Message), std::string::npos) << c.Range << ": " << search->Err();
  }
  std::ofstream(data / "UserParaIni.ini", std::ios::app) << "[CommMast]\nMaxReSend=1\n";
  auto search = RunSearch(data, "1-2");
  EXPECT_EQ(search->WaitForExit(10s), 1);
  EXPECT_NE(search->Err().find("MaxReSend is 1"), std::string::npos) << search->Err();
}

}  // namespace
