#pragma once
// A bus for the web tests: a context in a fresh directory with four
// configured devices (1 on mains, 2 on battery with alarms, 3 whose link is
// lost, 7 answering with no state decoded yet) and a feed published from it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/DeviceName.h"
#include "engine/Context.h"
#include "web/WebFeed.h"

namespace tessaro::testing {

class TWebBus {
 public:
  explicit TWebBus(const std::string& tag) {
    Dir = std::filesystem::temp_directory_path() / ("tessaro_web_" + std::to_string(::getpid()) + "_" + tag);
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    Clock.Set(EncodeDateTime({2026, 3, 4, 5, 6, 7}));
    Ctx = std::make_unique<TContext>(Dir.string() + "/", Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
    Ctx->Settings.PortInfo.ComName = "/dev/ttyUSB0";
    Add(1, "Server room \"A\"");
    Add(2, "机房 UPS");
    Add(3, "Lost");
    Add(7, "Waking");
    Add(2, "Same address again");

    TUpsInfo& a = Ups(1);
    a.CommState = 0;
    a.StateCode = 4;
    a.Status.StateValid = 1;
    a.InputSupply = 1;
    a.UpsSupply = 1;
    a.SuccessRate = 98;
    a.Measure = {.InputVoltA = 220.1, .InputVoltB = 221, .InputVoltC = 219.39, .OutputVoltA = 230,
                 .OutputVoltB = 230.5, .OutputVoltC = 229.5, .LoadA = 31, .LoadB = 47, .LoadC = 12,
                 .OutputFreq = 50, .DcInputVolt = 432.5, .BattCapacity = 97, .BattBackupTime = 42,
                 .BattChargeCurr = 1.5};
    TUpsInfo& b = Ups(2);
    b = a;
    b.Address = 2;
    b.StateCode = 5;
    b.InputSupply = 2;
    b.Measure.InputVoltA = b.Measure.InputVoltB = b.Measure.InputVoltC = 0;
    b.Measure.BattChargeCurr = 0;
    b.Measure.BattDischargeCurr = 12.25;
    b.Measure.BattBackupTime = 3;
    b.AlarmCount = 2;
    b.AlarmCodes[0] = 25;  // Mains volt. abnormal
    b.AlarmCodes[1] = 70;  // no English text
    b.Status.CmmState1 = 0x4900;
    Ups(7).CommState = 0;
    Feed = std::make_unique<web::TWebFeed>(Clock);
  }
  ~TWebBus() {
    Ctx.reset();
    std::filesystem::remove_all(Dir);
  }

  void Add(uint8_t address, const std::string& name) {
    TDeviceNode n;
    n.Address = address;
    n.Name = *StoredDeviceNameText(name);
    Ctx->DeviceList.Nodes[++Ctx->DeviceList.Count] = n;
  }
  TUpsInfo& Ups(int address) { return Ctx->UpsInfo[static_cast<size_t>(address)]; }
  web::TSnapshotPtr Publish(bool portOpen = true) {
    Clock.AdvanceMs(100);
    // Devices 1 and 2 answer every poll while their link is up; 7 has not
    // answered since its link came up, and 3 never has.
    for (int address : {1, 2}) {
      TUpsInfo& u = Ups(address);
      if (u.CommState != 0) continue;
      u.DecodedSteps = Ctx->Vars.RequiredSteps;
      u.LastAnswerMs = Clock.MonotonicMs();
    }
    Feed->Publish(*Ctx, portOpen);
    return Feed->Current();
  }

  std::filesystem::path Dir;
  TManualClock Clock;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<web::TWebFeed> Feed;
};

// One HTTP exchange over a fresh connection: the raw answer, or "" when the
// server closed without one.
inline std::string HttpRaw(uint16_t port, const std::string& request, int timeoutMs = 5000) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return "";
  }
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

struct THttpAnswer {
  int Status = 0;
  std::string Head, Body;
  bool Has(const std::string& header) const { return Head.find(header) != std::string::npos; }
};

inline THttpAnswer Get(uint16_t port, const std::string& path, const std::string& extra = "") {
  const std::string raw =
      HttpRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "Connection: close\r\n\r\n");
  THttpAnswer a;
  const size_t split = raw.find("\r\n\r\n");
  if (raw.size() < 12 || split == std::string::npos) return a;
  a.Status = std::atoi(raw.c_str() + 9);
  a.Head = raw.substr(0, split + 2);
  a.Body = raw.substr(split + 4);
  return a;
}

}  // namespace tessaro::testing
