// TNetComm against a TCP server on the loopback that the test plays by hand:
// raw bytes, and RFC 2217 spoken byte by byte.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "serial/NetComm.h"
#include "tests/serial/PtyPair.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

using TBytes = std::vector<uint8_t>;

constexpr uint8_t Iac = 255, Sb = 250, Se = 240, Do = 253;

// One listening socket on 127.0.0.1 and the one client it accepts.
class TServer {
 public:
  TServer() {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(FListen, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(FListen, 4) != 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no loopback listener");
    FPort = ntohs(a.sin_port);
  }
  ~TServer() {
    CloseClient();
    CloseListener();
  }
  uint16_t Port() const { return FPort; }
  int Fd() const { return FClient; }
  std::string Name(const char* scheme, const char* host = "127.0.0.1") const {
    return std::string(scheme) + "://" + host + ":" + std::to_string(FPort);
  }
  void CloseListener() {
    if (FListen >= 0) close(FListen);
    FListen = -1;
  }
  void CloseClient() {
    if (FClient >= 0) close(FClient);
    FClient = -1;
  }
  bool Accept(std::chrono::milliseconds bound = 5000ms) {
    pollfd p{FListen, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(bound.count())) <= 0) return false;
    FClient = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    setsockopt(FClient, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return FClient >= 0;
  }
  void Write(const TBytes& bytes) const { ASSERT_EQ(send(FClient, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
  void Write(const std::string& s) const { Write(TBytes(s.begin(), s.end())); }
  TBytes ReadExactly(size_t count, std::chrono::milliseconds bound = 5000ms) const {
    TBytes out;
    const auto deadline = Clock::now() + bound;
    while (out.size() < count) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{FClient, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      uint8_t buf[256];
      const ssize_t n = recv(FClient, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  // Reads until `tail` has come, for the client's Telnet negotiation.
  TBytes ReadThrough(const TBytes& tail) const {
    TBytes out;
    while (out.size() < tail.size() || !std::equal(tail.begin(), tail.end(), out.end() - std::ssize(tail))) {
      const TBytes one = ReadExactly(1);
      if (one.empty()) break;
      out.push_back(one[0]);
    }
    return out;
  }

 private:
  int FListen = -1;
  int FClient = -1;
  uint16_t FPort = 0;
};

class NetComm : public ::testing::Test {
 protected:
  void SetUp() override {
    Port.OnReceiveData = [this](const uint8_t* buffer, size_t length) {
      ASSERT_EQ(buffer[length], 0) << "chunk is not followed by a zero byte";
      Chunks.emplace_back(buffer, buffer + length);
    };
    Port.OnPortFailure = [this](const TPortFailure& f) { Failures.push_back(f); };
  }
  TBytes AllReceived() const {
    TBytes all;
    for (const auto& c : Chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
  }
  bool WaitConnected() {
    return PumpUntil(Port, [&] { return Port.PortHandle() != 0 || !Failures.empty(); }) && Port.PortHandle() != 0;
  }
  bool WaitFailure() {
    return PumpUntil(Port, [&] { return !Failures.empty(); });
  }
  bool WaitReceived(size_t bytes) {
    return PumpUntil(Port, [&] { return AllReceived().size() >= bytes; });
  }
  void OpenRawAndAccept() {
    Port.SetCommName(Server.Name("tcp"));
    Port.OpenPort();
    ASSERT_TRUE(Server.Accept());
    ASSERT_TRUE(WaitConnected()) << (Failures.empty() ? "" : Failures[0].Text);
  }

  TServer Server;
  TNetComm Port;
  std::vector<TBytes> Chunks;
  std::vector<TPortFailure> Failures;
};

int SocketOption(intptr_t fd, int level, int name) {
  int value = 0;
  socklen_t len = sizeof value;
  getsockopt(static_cast<int>(fd), level, name, &value, &len);
  return value;
}

}  // namespace

TEST_F(NetComm, RawTcpCarriesBytesBothWaysAndHandsUpEveryPieceAsItComes) {
  OpenRawAndAccept();
  EXPECT_EQ(SocketOption(Port.PortHandle(), IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(SocketOption(Port.PortHandle(), SOL_SOCKET, SO_KEEPALIVE), 1);
  const TBytes request = {0x01, 0x04, 0x75, 0x30, 0x00, 0xFF, 0x6B, 0xCD};
  ASSERT_TRUE(Port.SendData(request.data(), request.size()));
  EXPECT_EQ(Server.ReadExactly(request.size()), request);

  // An answer in three segments: each is handed up without waiting for line
  // silence, and together they are the answer.
  const TBytes answer = {0x01, 0x04, 0x04, 0xFF, 0xFF, 0x00, 0x0D, 0x12, 0x34};
  Server.Write(TBytes(answer.begin(), answer.begin() + 2));
  ASSERT_TRUE(WaitReceived(2));
  Server.Write(TBytes(answer.begin() + 2, answer.begin() + 5));
  ASSERT_TRUE(WaitReceived(5));
  Server.Write(TBytes(answer.begin() + 5, answer.end()));
  ASSERT_TRUE(WaitReceived(answer.size()));
  EXPECT_EQ(AllReceived(), answer);
  EXPECT_EQ(Chunks.size(), 3u);
  EXPECT_TRUE(Port.SplitsFrames());
  EXPECT_TRUE(Failures.empty());
}

TEST_F(NetComm, RefusedConnectionIsAFailureOfAPortThatNeverOpened) {
  Server.CloseListener();
  Port.SetCommName(Server.Name("tcp"));
  Port.OpenPort();
  EXPECT_TRUE(Port.IsOpen());
  const uint8_t byte = 1;
  EXPECT_FALSE(Port.SendData(&byte, 1)) << "nothing is queued before the connection";
  ASSERT_TRUE(WaitFailure());
  EXPECT_EQ(Port.PortHandle(), 0);
  EXPECT_EQ(Failures[0].Kind, TPortFailureKind::HangUp);
  EXPECT_NE(Failures[0].Text.find("Connection refused"), std::string::npos) << Failures[0].Text;
  Port.ClosePort();
  EXPECT_FALSE(Port.IsOpen());
}

TEST_F(NetComm, ServerClosingMidFrameDeliversWhatCameThenFailsOnce) {
  OpenRawAndAccept();
  Server.Write(std::string("~20012A"));
  Server.CloseClient();
  ASSERT_TRUE(WaitFailure());
  EXPECT_EQ(AllReceived(), TBytes({'~', '2', '0', '0', '1', '2', 'A'}));
  EXPECT_NE(Failures[0].Text.find("the server closed the connection"), std::string::npos) << Failures[0].Text;
  PumpFor(Port, 100ms);
  EXPECT_EQ(Failures.size(), 1u);
}

TEST_F(NetComm, InputWaitingBeforeAPurgeIsDropped) {
  OpenRawAndAccept();
  Server.Write(std::string("late answer"));
  pollfd p{Port.NotifyFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1) << "the late answer has been read";
  Port.PurgeInput();
  const uint8_t request[] = {'?'};
  ASSERT_TRUE(Port.SendData(request, 1));
  ASSERT_EQ(Server.ReadExactly(1), TBytes({'?'}));
  Server.Write(std::string("answer"));
  ASSERT_TRUE(WaitReceived(6));
  EXPECT_EQ(AllReceived(), TBytes({'a', 'n', 's', 'w', 'e', 'r'}));
}

TEST_F(NetComm, HostNamesAreLookedUpAndMalformedNamesRefusedAtOpen) {
  // A bare system may have no /etc/hosts, and then no "localhost" to look up.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", nullptr, &hints, &found) == 0) {
    freeaddrinfo(found);
    Port.SetCommName(Server.Name("tcp", "localhost"));
    Port.OpenPort();
    ASSERT_TRUE(Server.Accept());
    ASSERT_TRUE(WaitConnected()) << (Failures.empty() ? "" : Failures[0].Text);
    Port.ClosePort();
  }

  for (const char* name : {"tcp://127.0.0.1", "rfc2217://user:pw@127.0.0.1:1", "/dev/ttyS0"}) {
    Port.SetCommName(name);
    EXPECT_THROW(Port.OpenPort(), ECommsError) << name;
    EXPECT_FALSE(Port.IsOpen()) << name;
  }
}

// The server side of RFC 2217, by hand: agree to the COM port option, read the
// line settings, acknowledge the speed; then data with 0xFF both ways.
TEST_F(NetComm, Rfc2217OpensOnlyOnceTheServerHasTakenTheSpeedAndEscapesIacBothWays) {
  Port.SetBaudRate(2400);
  Port.SetCommName(Server.Name("rfc2217"));
  Port.OpenPort();
  ASSERT_TRUE(Server.Accept());
  Server.ReadThrough({Iac, Do, 3});  // the last offer: suppress-go-ahead
  Server.Write(TBytes{Iac, Do, 44});
  const TBytes settings = Server.ReadThrough({Iac, Sb, 44, 5, 11, Iac, Se});  // RTS on comes last
  const TBytes baud = {Iac, Sb, 44, 1, 0x00, 0x00, 0x09, 0x60, Iac, Se};
  EXPECT_TRUE(std::search(settings.begin(), settings.end(), baud.begin(), baud.end()) != settings.end());
  PumpFor(Port, 50ms);
  EXPECT_EQ(Port.PortHandle(), 0) << "no requests before the speed is confirmed";
  Server.Write(TBytes{Iac, Sb, 44, 101, 0x00, 0x00, 0x09, 0x60, Iac, Se});
  ASSERT_TRUE(WaitConnected()) << (Failures.empty() ? "" : Failures[0].Text);

  const TBytes frame = {0x01, 0x03, 0xFF, 0x02};
  ASSERT_TRUE(Port.SendData(frame.data(), frame.size()));
  EXPECT_EQ(Server.ReadExactly(5), (TBytes{0x01, 0x03, 0xFF, 0xFF, 0x02}));
  Server.Write(TBytes{0x01, 0x03, 0x02, 0xFF, 0xFF});
  Server.Write(TBytes{0xFF, 0xFF, 0x0D});
  ASSERT_TRUE(WaitReceived(6));
  EXPECT_EQ(AllReceived(), (TBytes{0x01, 0x03, 0x02, 0xFF, 0xFF, 0x0D}));
  EXPECT_TRUE(Failures.empty());
}

TEST_F(NetComm, Rfc2217ServerThatNeverAnswersFailsAfterTheNegotiationTime) {
  Port.NegotiateTimeoutMs = 300;
  Port.SetCommName(Server.Name("rfc2217"));
  Port.OpenPort();
  ASSERT_TRUE(Server.Accept());
  ASSERT_TRUE(WaitFailure());
  EXPECT_EQ(Port.PortHandle(), 0);
  EXPECT_NE(Failures[0].Text.find("no answer to the RFC 2217 COM port option within 0.3 s"), std::string::npos)
      << Failures[0].Text;
}

// A server that floods option offers and never reads: every offer is
// answered, and once MaxOut of answers waits the port fails instead of
// growing (this took a monitor to gigabytes within seconds).
TEST_F(NetComm, Rfc2217ServerThatFloodsNegotiationAndNeverReadsFailsThePortAtTheCap) {
  Port.SetCommName(Server.Name("rfc2217"));
  Port.OpenPort();
  ASSERT_TRUE(Server.Accept());
  Server.ReadThrough({Iac, Do, 3});
  Server.Write(TBytes{Iac, Do, 44});
  Server.ReadThrough({Iac, Sb, 44, 5, 11, Iac, Se});
  Server.Write(TBytes{Iac, Sb, 44, 101, 0x00, 0x00, 0x25, 0x80, Iac, Se});
  ASSERT_TRUE(WaitConnected()) << (Failures.empty() ? "" : Failures[0].Text);

  std::atomic<bool> stop{false};
  std::thread flooder([&] {
    TBytes offers;
    for (int i = 0; i < 20000; ++i) offers.insert(offers.end(), {Iac, 251, 1});  // WILL ECHO, refused each time
    for (size_t sent = 0; !stop && sent < (256u << 20);) {
      pollfd p{Server.Fd(), POLLOUT, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = send(Server.Fd(), offers.data(), offers.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) break;
      if (n > 0) sent += static_cast<size_t>(n);
    }
  });
  const bool failed = PumpUntil(Port, [&] { return !Failures.empty(); }, 30s);
  stop = true;
  flooder.join();
  ASSERT_TRUE(failed);
  EXPECT_EQ(Failures[0].Kind, TPortFailureKind::WriteError);
  EXPECT_EQ(Failures[0].ErrorCode, ENOBUFS);
  EXPECT_NE(Failures[0].Text.find("does not read what we send (over 128 KiB waiting"), std::string::npos)
      << Failures[0].Text;
  EXPECT_EQ(Port.PortHandle(), 0);
}

TEST_F(NetComm, ClosingWhileConnectingEndsTheAttemptWithoutAReport) {
  Port.SetCommName(Server.Name("rfc2217"));
  Port.OpenPort();
  ASSERT_TRUE(Server.Accept());
  Port.ClosePort();  // in the middle of the negotiation
  EXPECT_FALSE(Port.IsOpen());
  PumpFor(Port, 50ms);
  EXPECT_TRUE(Failures.empty());
  // And the port opens again.
  Port.OpenPort();
  EXPECT_TRUE(Port.IsOpen());
}
