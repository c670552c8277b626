// The network server over real loopback sockets, driven the way the program's
// loop drives it: long and binary lines, clients that never read, many
// clients at once, and clients that vanish in the middle of a line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/NutFixture.h"
#include "net/NutServer.h"

using namespace tessaro;
using namespace tessaro::net;
using tessaro::testing::TNutBus;
using namespace std::chrono_literals;

namespace {

class TClientSocket {
 public:
  explicit TClientSocket(uint16_t port) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = ::connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TClientSocket() { Close(); }
  void Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
  }
  void Send(const std::string& bytes) const {
    ASSERT_EQ(::send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Takes what has arrived; false once the server has closed the connection.
  bool Take() {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        Got.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) Closed = true;
      return !Closed;
    }
  }
  int Fd = -1;
  bool Connected = false;
  bool Closed = false;
  std::string Got;
};

class NutServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Server.Listen("127.0.0.1:0", error)) << error;
    ASSERT_NE(Server.Port(), 0);
  }
  std::unique_ptr<TClientSocket> Connect() { return std::make_unique<TClientSocket>(Server.Port()); }

  // Runs the server as the program's loop does until `done` holds (bounded).
  bool Serve(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
      std::vector<pollfd> fds;
      Server.AppendPollFds(fds);
      ::poll(fds.data(), fds.size(), 10);
      Server.Process();
      if (done()) return true;
    }
    return false;
  }
  // Sends `request` and waits until the reply holds `expect`.
  bool Ask(TClientSocket& c, const std::string& request, const std::string& expect) {
    c.Send(request);
    return Serve([&] { return !c.Take() || c.Got.find(expect) != std::string::npos; }) &&
           c.Got.find(expect) != std::string::npos;
  }

  TNutBus Bus;
  TNutServer Server{Bus.Source()};
};

TEST_F(NutServer, AnswersLinesDeliveredWholeOrByteByByte) {
  auto c = Connect();
  ASSERT_TRUE(Ask(*c, "GET VAR ups1 ups.status\r\n", "VAR ups1 ups.status \"OL\"\n")) << c->Got;
  const std::string request = "GET UPSDESC ups12\n";
  for (const char ch : request) c->Send(std::string(1, ch));
  ASSERT_TRUE(Ask(*c, "", "UPSDESC ups12 \"Lab\"\n")) << c->Got;
  // Two requests in one segment get two answers, in order.
  c->Got.clear();
  ASSERT_TRUE(Ask(*c, "NETVER\nGET NUMLOGINS ups1\n", "NUMLOGINS ups1 0\n"));
  EXPECT_EQ(c->Got, "1.3\nNUMLOGINS ups1 0\n");
}

TEST_F(NutServer, RefusesOverlongAndBinaryLinesAndServesTheNextOne) {
  auto c = Connect();
  // Exactly the longest line, CRLF-terminated, is still a request.
  const std::string longest = "GET VAR ups1 ups.status" + std::string(512 - 23, ' ');
  ASSERT_TRUE(Ask(*c, longest + "\r\n", "VAR ups1 ups.status \"OL\"\n")) << c->Got;
  c->Got.clear();
  ASSERT_TRUE(Ask(*c, std::string(513, 'A') + "\n", "ERR INVALID-ARGUMENT\n")) << c->Got;
  // A line far longer than any buffer, sent in pieces, is answered once.
  c->Got.clear();
  for (int i = 0; i < 64; ++i) c->Send(std::string(1000, 'B'));
  ASSERT_TRUE(Ask(*c, "\nNETVER\n", "1.3\n")) << c->Got;
  EXPECT_EQ(c->Got, "ERR INVALID-ARGUMENT\n1.3\n");
  c->Got.clear();
  ASSERT_TRUE(Ask(*c, std::string("\0\x01\xfe\xff\x1b[2J\"\\", 9) + "\nNETVER\n", "1.3\n")) << c->Got;
  EXPECT_EQ(c->Got, "ERR INVALID-ARGUMENT\n1.3\n");  // the unterminated quote
  c->Got.clear();
  ASSERT_TRUE(Ask(*c, std::string("\0\x01\xfe\xff", 4) + "\nNETVER\n", "1.3\n")) << c->Got;
  EXPECT_EQ(c->Got, "ERR UNKNOWN-COMMAND\n1.3\n");
}

TEST_F(NutServer, AClientThatNeverReadsHoldsUpNobody) {
  auto slow = Connect();
  // Far more answers than the socket buffers hold.
  std::string burst;
  for (int i = 0; i < 4000; ++i) burst += "LIST UPS\n";
  slow->Send(burst);
  auto other = Connect();
  for (int i = 0; i < 3; ++i) {
    other->Got.clear();
    ASSERT_TRUE(Ask(*other, "GET VAR ups1 ups.load\n", "VAR ups1 ups.load \"47.0\"\n")) << i;
  }
  // When it finally reads, every answer is there, in order.
  size_t lists = 0;
  ASSERT_TRUE(Serve([&] {
    slow->Take();
    lists = 0;
    for (size_t pos = 0; (pos = slow->Got.find("END LIST UPS\n", pos)) != std::string::npos; ++pos) ++lists;
    return lists == 4000;
  }, 30s)) << lists;
  EXPECT_EQ(slow->Got.rfind("BEGIN LIST UPS\n", 0), 0u);
}

TEST_F(NutServer, ServesTwoHundredClientsAtOnce) {
  std::vector<std::unique_ptr<TClientSocket>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(Connect());
    ASSERT_TRUE(clients.back()->Connected) << i;
  }
  for (auto& c : clients) c->Send("GET VAR ups1 ups.status\n");
  const std::string expect = "VAR ups1 ups.status \"OL\"\n";
  ASSERT_TRUE(Serve([&] {
    for (auto& c : clients)
      if (c->Take(), c->Got != expect) return false;
    return true;
  }));
  EXPECT_EQ(Server.ClientCount(), 200u);
  clients.clear();
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 0; }));
}

TEST_F(NutServer, AClientBeyondTheLimitIsClosedAtOnce) {
  Server.MaxClients = 2;
  auto a = Connect(), b = Connect(), c = Connect();
  ASSERT_TRUE(Serve([&] { return !c->Take(); })) << "the third client was kept";
  ASSERT_TRUE(Ask(*a, "NETVER\n", "1.3\n"));
  ASSERT_TRUE(Ask(*b, "NETVER\n", "1.3\n"));
}

TEST_F(NutServer, DisconnectsMidLineAndAfterTheLastLineAreHandled) {
  auto gone = Connect();
  gone->Send("GET VAR ups1 ups.sta");
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 1; }));
  gone->Close();
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 0; }));

  // A client that sends its request and shuts its side still gets the answer.
  auto oneShot = Connect();
  oneShot->Send("LIST UPS\n");
  ::shutdown(oneShot->Fd, SHUT_WR);
  ASSERT_TRUE(Serve([&] { return !oneShot->Take(); }));
  EXPECT_NE(oneShot->Got.find("END LIST UPS\n"), std::string::npos) << oneShot->Got;

  // LOGOUT answers, closes, and gives back the login.
  auto mon = Connect();
  ASSERT_TRUE(Ask(*mon, "LOGIN ups1\n", "OK\n"));
  auto watcher = Connect();
  ASSERT_TRUE(Ask(*watcher, "GET NUMLOGINS ups1\n", "NUMLOGINS ups1 1\n"));
  ASSERT_TRUE(Ask(*watcher, "LIST CLIENT ups1\n", "CLIENT ups1 127.0.0.1\nEND LIST CLIENT ups1\n"));
  ASSERT_TRUE(Ask(*mon, "LOGOUT\n", "OK Goodbye\n"));
  ASSERT_TRUE(Serve([&] { return !mon->Take(); }));
  ASSERT_TRUE(Ask(*watcher, "GET NUMLOGINS ups1\n", "NUMLOGINS ups1 0\n"));
}

TEST(ListenAddress, ParsesAddressAndPortAndRefusesTheRest) {
  struct TRow {
    const char* Text;
    const char* Host;  // nullptr: refused
    uint16_t Port;
  };
  const TRow rows[] = {
      {"127.0.0.1:3493", "127.0.0.1", 3493}, {"0.0.0.0:0", "0.0.0.0", 0}, {":3493", "127.0.0.1", 3493},
      {"3493", "127.0.0.1", 3493},           {"[::1]:3493", "::1", 3493}, {"localhost:1", "127.0.0.1", 1},
      {"127.0.0.1:65536", nullptr, 0},       {"127.0.0.1:", nullptr, 0},  {"127.0.0.1:x", nullptr, 0},
      {"[::1]3493", nullptr, 0},             {"[::1", nullptr, 0},        {"", nullptr, 0},
  };
  for (const TRow& r : rows) {
    TListenAddress a;
    std::string error;
    EXPECT_EQ(ParseListenAddress(r.Text, a, error), r.Host != nullptr) << r.Text;
    if (r.Host) {
      EXPECT_EQ(a.Host, r.Host) << r.Text;
      EXPECT_EQ(a.Port, r.Port) << r.Text;
    } else {
      EXPECT_FALSE(error.empty()) << r.Text;
    }
  }
  TNutBus bus;
  TNutServer server(bus.Source());
  std::string error;
  EXPECT_FALSE(server.Listen("ups.example:3493", error));
  EXPECT_NE(error.find("numeric"), std::string::npos) << error;
  EXPECT_FALSE(server.Listen("192.0.2.1:0", error)) << "an address of no interface here";
  EXPECT_FALSE(server.Listening());
}

}  // namespace
