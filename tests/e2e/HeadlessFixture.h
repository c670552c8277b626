#pragma once
// tessaro --headless in a data directory of its own, with device peers on
// pseudo-terminals: what the end-to-end tests of the monitor share.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/DeviceList.h"
#include "e2e/ChildProcess.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"

namespace tessaro::testing {

using namespace std::chrono_literals;

inline const std::string BuildDir = TESSARO_BUILD_DIR;

// The index of the first event from `from` on that matches; -1 when none.
inline int Find(const std::vector<EventRecord>& ev, int address, int kind, int code, int active = -1,
                int from = 0) {
  for (int i = from; i < static_cast<int>(ev.size()); ++i)
    if (ev[i].Address == address && ev[i].Kind == kind && ev[i].Code == code &&
        (active < 0 || ev[i].Active == active))
      return i;
  return -1;
}

// The write frames (function 06) a peer started with --log-requests received,
// once `count` of them are in or 10 s passed: the peer prints each one before
// it answers, but the lines reach us through its pipe when they do.
inline std::vector<std::string> PeerWrites(TChildProcess& peer, size_t count) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    std::vector<std::string> out;
    std::istringstream in(peer.Out());
    for (std::string line; std::getline(in, line);)
      if (line.rfind("rx 01 06 ", 0) == 0) out.push_back(line);
    if (out.size() >= count || std::chrono::steady_clock::now() >= end) return out;
    peer.WaitForOutput("\x01", 50ms);  // takes in what the peer printed
  }
}

class Headless : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("tessaro_e2e_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir / "data" / "Record");
    Link = (Dir / "ttyUPS").string();
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(Dir);
  }

  void WriteSettings(int protocol, int recInterval, const std::string& extra = {}) const {
    std::ofstream ini(Dir / "data" / "UserParaIni.ini");
    ini << "[CommPort]\nComName=" << (ComName.empty() ? Link : ComName) << "\nProtocol=" << protocol << "\nReadIntervalTimeout=50\n"
        << "[DataLog]\nRecInterval=" << recInterval << "\n" << extra;
  }
  // The device list of the data directory `data` (Dir/data when empty).
  void WriteDevices(const std::vector<uint8_t>& addresses, const std::filesystem::path& data = {}) const {
    std::ofstream f((data.empty() ? Dir / "data" : data) / "Record" / "TreeNode.dat", std::ios::binary);
    uint8_t index = 0;
    for (uint8_t a : addresses) {
      TDeviceNode n;
      n.NodeIndex = index;
      index = static_cast<uint8_t>(index + 2);
      n.Address = a;
      n.Name = PadDeviceName("UPS " + std::to_string(a));
      f.write(reinterpret_cast<const char*>(&n), sizeof n);
    }
  }
  std::unique_ptr<TChildProcess> StartPeer(std::vector<std::string> argv) const {
    auto peer = std::make_unique<TChildProcess>(argv);
    EXPECT_TRUE(peer->Started());
    EXPECT_TRUE(peer->WaitForOutput("ready", 10s)) << peer->Err();
    return peer;
  }
  std::unique_ptr<TChildProcess> StartSim(const std::string& protocol, std::vector<std::string> extra) const {
    std::vector<std::string> argv = {BuildDir + "/tessaro-sim", "--link", Link, "--protocol", protocol, "--seed", "7"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return StartPeer(argv);
  }
  std::unique_ptr<TChildProcess> StartMonitor(int seconds) const {
    return std::make_unique<TChildProcess>(std::vector<std::string>{
        BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(), "--duration",
        std::to_string(seconds)});
  }
  std::vector<EventRecord> Events() const {
    return ReadEventLogFile((Dir / "data" / "Record" / "EventLog.dat").string());
  }
  std::vector<DataRecord> DataRecords() const {
    std::vector<DataRecord> all;
    for (const auto& entry : std::filesystem::directory_iterator(Dir / "data" / "Record"))
      if (entry.path().filename().string().rfind("DataLog", 0) == 0) {
        const auto part = ReadDataLogFile(entry.path().string());
        all.insert(all.end(), part.begin(), part.end());
      }
    return all;
  }
  std::filesystem::path Dir;
  std::string Link;     // where the simulator puts its pseudo-terminal
  std::string ComName;  // the monitor's port when not the link itself
};


}  // namespace tessaro::testing
