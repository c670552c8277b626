// The tessaro executable's configuration commands and its data directory,
// as a shell script would use them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"

using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Tessaro = std::string(TESSARO_BUILD_DIR) + "/tessaro";

struct TResult {
  int Status;
  std::string Out, Err;
};

TResult RunTessaro(std::vector<std::string> args) {
  args.insert(args.begin(), Tessaro);
  TChildProcess p(args);
  const int status = p.WaitForExit(10s);
  return {status, p.Out(), p.Err()};
}

TEST(CommandsCli, configureAnEmptyDirectoryThenRunHeadlessOnIt) {
  const fs::path dir = fs::temp_directory_path() / ("tessaro_cli_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const std::string data = (dir / "new" / "data").string();

  // Options may stand before the command word or after it.
  TResult r = RunTessaro({"--data-dir", data, "config", "set", "ComName=/nonexistent/ttyUPS", "Language=1"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = RunTessaro({"devices", "add", "1", "UPS-1", "--data-dir", data});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = RunTessaro({"devices", "list", "--data-dir", data});
  EXPECT_EQ(r.Out, "1\tUPS-1\n");

  r = RunTessaro({"devices", "add", "2", "", "--data-dir", data});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "tessaro: Equipment Name is empty !\n");
  r = RunTessaro({"config", "set", "Speed=9600", "--data-dir", data});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("tessaro: unknown setting \"Speed\""), std::string::npos) << r.Err;
  r = RunTessaro({"devices", "--data-dir", data});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("Usage: tessaro devices list"), std::string::npos) << r.Err;

  // The port is missing: headless says so and still ends cleanly.
  r = RunTessaro({"--headless", "--duration", "1", "--data-dir", data});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(fs::exists(dir / "new" / "data" / "Record" / "EventLog.dat"));
  fs::remove_all(dir);
}

TEST(CommandsCli, helpNamesTheDataDirectoryItWouldUse) {
  // The build directory may be written: a build tree keeps its files there.
  const TResult r = RunTessaro({"--help"});
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("Data directory without --data-dir: " + std::string(TESSARO_BUILD_DIR) + "/\n"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("tessaro config show"), std::string::npos);
}

}  // namespace
