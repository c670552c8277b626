// tessaro --headless with its web listener on, polling the simulator: clients
// that misbehave (slow headers, ten thousand connections in a loop, huge
// headers, garbage) leave the poll schedule as it was, and the listener
// serves the pages and metrics throughout.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/DeviceList.h"
#include "e2e/HeadlessFixture.h"
#include "web/WebFixture.h"

using namespace tessaro;
using tessaro::testing::BuildDir;
using tessaro::testing::Get;
using tessaro::testing::HttpRaw;
using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class WebClients : public tessaro::testing::Headless {
 protected:
  void SetUp() override {
    Headless::SetUp();
    // Without fast polling the schedule is the tick's: a request every 11
    // ticks whether or not it is answered, so the count over a time is fixed.
    WriteSettings(2, 0);
    WriteDevices({1, 2});
  }
};

int RequestsSent(uint16_t port) {
  const auto a = Get(port, "/api/v1/devices");
  const auto j = nlohmann::json::parse(a.Body, nullptr, false);
  return j.is_discarded() ? -1 : j["port"]["requestsSent"].get<int>();
}

int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

}  // namespace

TEST_F(WebClients, AbuseLeavesThePollScheduleAsItWas) {
  TChildProcess sim({BuildDir + "/tessaro-sim", "--link", Link, "--devices", "1-2"});
  ASSERT_TRUE(sim.WaitForOutput("ready", 10s)) << sim.Err();
  TChildProcess monitor({BuildDir + "/tessaro", "--headless", "--data-dir", (Dir / "data").string(), "--web-listen",
                         "127.0.0.1:0", "--duration", "120"});
  const std::string mark = "web server listening on http://127.0.0.1:";
  ASSERT_TRUE(monitor.WaitForError(mark, 10s)) << monitor.Err();
  const uint16_t port =
      static_cast<uint16_t>(std::atoi(monitor.Err().c_str() + monitor.Err().find(mark) + mark.size()));

  // The pace without abuse, over 8 s.
  const int a0 = RequestsSent(port);
  std::this_thread::sleep_for(8s);  // a measured interval, not a synchronisation
  const int quiet = RequestsSent(port) - a0;
  ASSERT_GT(quiet, 3);

  // The same 8 s with every kind of abuse at once.
  std::atomic<bool> stop{false};
  std::vector<std::thread> abusers;
  abusers.emplace_back([&] {  // connections opened and closed in a loop
    for (int i = 0; i < 10000 && !stop; ++i) ::close(Connect(port));
  });
  abusers.emplace_back([&] {  // slow headers: a byte now and then on 20 connections
    std::vector<int> fds;
    for (int i = 0; i < 20; ++i) fds.push_back(Connect(port));
    while (!stop) {
      for (const int fd : fds) ::send(fd, "G", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(500ms);
    }
    for (const int fd : fds) ::close(fd);
  });
  abusers.emplace_back([&] {  // huge headers and garbage
    const std::string huge = "GET /metrics HTTP/1.1\r\nHost: x\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    while (!stop) {
      HttpRaw(port, huge, 1000);
      HttpRaw(port, std::string(4096, '\xff'), 1000);
      HttpRaw(port, "GET /%%%%% HTTP/9.9\r\n\r\n", 1000);
    }
  });
  const int b0 = RequestsSent(port);
  std::this_thread::sleep_for(8s);  // a measured interval, not a synchronisation
  const int busy = RequestsSent(port) - b0;
  EXPECT_EQ(Get(port, "/healthz").Status, 200) << "served during the abuse";
  stop = true;
  for (std::thread& t : abusers) t.join();

  // Abuse must not hold up polling. The abusers share the machine's cores with
  // the monitor, so the bound is one-sided and generous: a poll loop that
  // waited on a web client would send next to nothing.
  EXPECT_GE(2 * busy, quiet) << "requests sent in 8 s: " << quiet << " quiet, " << busy << " under abuse";
  EXPECT_EQ(Get(port, "/metrics").Status, 200);
  monitor.Stop();
  EXPECT_EQ(monitor.Out().find("Communication lost"), std::string::npos) << monitor.Out();
}
