// The network server over real loopback sockets, driven the way the program's
// loop drives it: long and binary lines, clients that never read, many
// clients at once, and clients that vanish in the middle of a line.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "net/NutFixture.h"
#include "net/NutServer.h"

using namespace tessaro;
using namespace tessaro::net;
using tessaro::testing::TCommandRig;
using tessaro::testing::TNutBus;
using namespace std::chrono_literals;

namespace {

class TClientSocket {
 public:
  // From `from`, one of the loopback addresses 127.x.y.z.
  explicit TClientSocket(uint16_t port, const char* from = "127.0.0.1", const char* to = "127.0.0.1") {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, to, &a.sin_addr);
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
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) Closed = true;  // closed, or reset
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
  std::unique_ptr<TClientSocket> Connect(const char* from = "127.0.0.1") {
    return std::make_unique<TClientSocket>(Server.Port(), from);
  }

  // Runs `server` as the program's loop does until `done` holds (bounded).
  static bool ServeOn(TNutServer& server, const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
      std::vector<pollfd> fds;
      server.AppendPollFds(fds);
      const int due = server.NextTimeoutMs();
      ::poll(fds.data(), fds.size(), due >= 0 ? std::min(due, 10) : 10);
      server.Process();
      if (done()) return true;
    }
    return false;
  }
  // Sends `request` and waits until the reply from `server` holds `expect`.
  static bool AskOn(TNutServer& server, TClientSocket& c, const std::string& request, const std::string& expect) {
    c.Send(request);
    return ServeOn(server, [&] { return !c.Take() || c.Got.find(expect) != std::string::npos; }) &&
           c.Got.find(expect) != std::string::npos;
  }
  bool Serve(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    return ServeOn(Server, done, bound);
  }
  bool Ask(TClientSocket& c, const std::string& request, const std::string& expect) {
    return AskOn(Server, c, request, expect);
  }

  TNutBus Bus;
  TManualClock Clock;
  TNutServer Server{Bus.Source(), Clock};
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

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) ++n;
  return n;
}

// 300 requests in one segment, each answer some 60 times its size: far more
// answers than fit the server's queue and the socket buffers at once.
std::string ListVarFlood() {
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += "LIST VAR ups1\n";
  return burst;
}

// It also shuts its sending side at once, so the server sees the hang-up
// while the requests are still held back: it answers them all, then closes.
TEST_F(NutServer, APipeliningClientThatReadsSlowlyGetsEveryAnswer) {
  auto c = Connect();
  c->Send(ListVarFlood());
  ::shutdown(c->Fd, SHUT_WR);
  char buf[1500];
  ASSERT_TRUE(Serve([&] {
    const ssize_t n = ::recv(c->Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) c->Got.append(buf, static_cast<size_t>(n));
    return n == 0;
  })) << Count(c->Got, "END LIST VAR ups1\n") << " answers of 300";
  EXPECT_EQ(Count(c->Got, "END LIST VAR ups1\n"), 300u);
  EXPECT_GT(c->Got.size(), 300 * 14 * 50);
  EXPECT_EQ(Server.ClientCount(), 0u);
}

// Clients that pipeline and leave before their answers are all sent: each
// is closed, and the server still takes new clients afterwards.
TEST_F(NutServer, PipeliningClientsThatLeaveEarlyAreAllClosed) {
  Server.MaxClients = 8;
  for (int i = 0; i < 8; ++i) {
    auto c = Connect();
    c->Send(ListVarFlood());
    ASSERT_TRUE(Serve([&] { return c->Take(), Count(c->Got, "END LIST VAR ups1\n") >= 50; })) << i;
    c->Take();
    c->Close();
  }
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 0; })) << Server.ClientCount() << " clients left";
  auto next = Connect();
  ASSERT_TRUE(Ask(*next, "VER\n", "Tessaro ")) << next->Got;
}

TEST_F(NutServer, ServesTwoHundredClientsAtOnce) {
  std::vector<std::unique_ptr<TClientSocket>> clients;
  for (int i = 0; i < 200; ++i) {
    const std::string from = "127.0.1." + std::to_string(1 + i / 10);  // ten an address
    clients.push_back(Connect(from.c_str()));
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

// A client beyond a limit, of one address or of all, takes the place of the
// one there with the oldest activity; the rest stay served, and the idle are
// still dropped when their time is up.
TEST_F(NutServer, AClientBeyondTheLimitsTakesThePlaceOfTheOneIdleLongest) {
  Server.MaxClients = 6;
  Server.MaxClientsPerAddress = 4;
  std::vector<std::unique_ptr<TClientSocket>> idle;
  for (size_t i = 0; i < 4; ++i) {
    idle.push_back(Connect("127.0.0.2"));
    ASSERT_TRUE(Serve([&] { return Server.ClientCount() == i + 1; }));
  }
  Clock.AdvanceMs(1);
  ASSERT_TRUE(Ask(*idle[0], "NETVER\n", "1.3\n"));  // the first is no longer the idlest
  auto fifth = Connect("127.0.0.2");
  ASSERT_TRUE(Ask(*fifth, "NETVER\n", "1.3\n"));
  ASSERT_TRUE(Serve([&] { return !idle[1]->Take(); })) << "the client idle longest on that address is closed";
  for (size_t i : {0u, 2u, 3u}) EXPECT_TRUE(idle[i]->Take()) << i;

  auto a = Connect("127.0.0.3"), b = Connect("127.0.0.4");
  ASSERT_TRUE(Ask(*a, "NETVER\n", "1.3\n"));
  ASSERT_TRUE(Ask(*b, "NETVER\n", "1.3\n"));
  EXPECT_EQ(Server.ClientCount(), 6u);
  auto c = Connect("127.0.0.5");
  ASSERT_TRUE(Ask(*c, "NETVER\n", "1.3\n"));
  ASSERT_TRUE(Serve([&] { return !idle[2]->Take(); })) << "the client idle longest of all is closed";
  EXPECT_TRUE(idle[3]->Take());
  EXPECT_EQ(Server.ClientCount(), 6u);

  Clock.AdvanceMs(Server.IdleTimeoutMs);
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 0; })) << Server.ClientCount();
  auto again = Connect("127.0.0.2");
  ASSERT_TRUE(Ask(*again, "NETVER\n", "1.3\n"));
}

// More idle connections than the server takes, from many loopback
// addresses (no per-address limit helps there): a new client is answered at once.
TEST_F(NutServer, IdleClientsFromManyLoopbackAddressesLockNoOneOut) {
  std::vector<std::unique_ptr<TClientSocket>> idle;
  for (int i = 0; i < 300; ++i) {
    const std::string from = "127.0." + std::to_string(3 + i / 200) + "." + std::to_string(1 + i % 200);
    idle.push_back(Connect(from.c_str()));
    ASSERT_TRUE(idle.back()->Connected) << i;
  }
  ASSERT_TRUE(Serve([&] {
    size_t closed = 0;
    for (auto& c : idle) closed += c->Take() ? 0 : 1;
    return closed == 300 - Server.MaxClients;
  }));
  EXPECT_EQ(Server.ClientCount(), Server.MaxClients);
  auto late = Connect("127.0.0.9");
  ASSERT_TRUE(Ask(*late, "VER\n", "Tessaro ")) << late->Got;
}

// Every client's time runs on the server's clock; each kind is closed when
// its own bound is reached, not before, and NextTimeoutMs names the next one.
TEST_F(NutServer, ClientsPastTheirTimeAreClosed) {
  ASSERT_EQ(Server.NextTimeoutMs(), -1);
  auto idle = Connect(), partial = Connect(), stalled = Connect(), busy = Connect();
  ASSERT_TRUE(Ask(*idle, "VER\n", "\n"));
  ASSERT_TRUE(Ask(*busy, "VER\n", "\n"));
  std::string flood;
  // More answers than the socket buffers hold (megabytes on loopback), never read.
  for (int i = 0; i < 20000; ++i) flood += "LIST VAR ups1\n";
  stalled->Send(flood);
  // Its bound counts from the moment the server meets the full socket, which
  // must come before the clock moves: the server then waits to write to it.
  // Megabytes of answers take a while on a loaded machine.
  ASSERT_TRUE(Serve([&] {
    std::vector<pollfd> fds;
    Server.AppendPollFds(fds);
    return std::any_of(fds.begin(), fds.end(), [](const pollfd& p) { return (p.events & POLLOUT) != 0; });
  }, 60s));
  EXPECT_EQ(Server.NextTimeoutMs(), 30000);
  partial->Send("GET VAR ups1 ups.");
  ASSERT_TRUE(Serve([&] { return Server.NextTimeoutMs() == 10000; })) << Server.NextTimeoutMs();

  // A line trickled in still ends at its bound from its first byte.
  Clock.AdvanceMs(5000);
  partial->Send("stat");
  ASSERT_TRUE(Serve([&] { return Server.NextTimeoutMs() == 5000; })) << Server.NextTimeoutMs();
  Clock.AdvanceMs(4999);
  Serve([] { return true; });
  EXPECT_EQ(Server.ClientCount(), 4u);
  Clock.AdvanceMs(1);
  ASSERT_TRUE(Serve([&] { return !partial->Take(); }));

  // Answers not taken in full: 30 s after the socket first refused more.
  ASSERT_TRUE(Serve([&] { return Server.NextTimeoutMs() == 20000; })) << Server.NextTimeoutMs();
  Clock.AdvanceMs(20000);
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 2; })) << Server.ClientCount();

  // A request resets the idle time; silence for the whole bound ends it.
  ASSERT_TRUE(Ask(*busy, "NETVER\n", "1.3\n"));
  EXPECT_EQ(Server.NextTimeoutMs(), 30000);
  Clock.AdvanceMs(30000);
  ASSERT_TRUE(Serve([&] { return !idle->Take(); }));
  busy->Got.clear();
  ASSERT_TRUE(Ask(*busy, "NETVER\n", "1.3\n"));
  EXPECT_EQ(Server.ClientCount(), 1u);
}

// A port in use at start is tried again every RetryMs until it is free;
// the failure is told once and the recovery once.
TEST_F(NutServer, AServerThatCannotBindKeepsTryingAndSaysSoOnce) {
  std::vector<std::string> said;
  auto holder = std::make_unique<TNutServer>(Bus.Source(), Clock);
  std::string error;
  ASSERT_TRUE(holder->Listen("127.0.0.1:0", error)) << error;
  TNutServer late(Bus.Source(), Clock);
  late.OnMessage = [&said](const std::string& text) { said.push_back(text); };
  const std::string taken = "127.0.0.1:" + std::to_string(holder->Port());
  ASSERT_TRUE(late.Start(taken, error)) << error;
  EXPECT_FALSE(late.Listening());
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "network UPS server cannot listen on " + taken +
                         ": Address already in use; trying again every 5 s");
  EXPECT_EQ(late.NextTimeoutMs(), 5000);
  for (int i = 0; i < 3; ++i) {
    Clock.AdvanceMs(5000);
    late.Process();
  }
  EXPECT_FALSE(late.Listening());
  EXPECT_EQ(said.size(), 1u);

  const uint16_t port = holder->Port();
  holder.reset();
  Clock.AdvanceMs(4999);
  late.Process();
  EXPECT_FALSE(late.Listening());
  Clock.AdvanceMs(1);
  late.Process();
  ASSERT_TRUE(late.Listening());
  EXPECT_EQ(late.Port(), port);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1], "network UPS server listening on " + taken);
  EXPECT_EQ(late.NextTimeoutMs(), -1);

  // An address that can never work is not retried.
  for (const char* never : {"ups.example:3493", "127.0.0.1:port"}) {
    TNutServer bad(Bus.Source(), Clock);
    EXPECT_FALSE(bad.Start(never, error)) << never;
    EXPECT_EQ(bad.NextTimeoutMs(), -1) << never;
  }
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

  // LOGOUT answers, closes, and gives back the login; so does a client that
  // just goes away.
  auto mon = Connect();
  ASSERT_TRUE(Ask(*mon, "USERNAME a\nPASSWORD b\nLOGIN ups1\n", "OK\nOK\nOK\n"));
  auto dropped = Connect();
  ASSERT_TRUE(Ask(*dropped, "USERNAME a\nPASSWORD b\nLOGIN ups1\n", "OK\nOK\nOK\n"));
  auto watcher = Connect();
  ASSERT_TRUE(Ask(*watcher, "GET NUMLOGINS ups1\n", "NUMLOGINS ups1 2\n"));
  ASSERT_TRUE(
      Ask(*watcher, "LIST CLIENT ups1\n", "CLIENT ups1 127.0.0.1\nCLIENT ups1 127.0.0.1\nEND LIST CLIENT ups1\n"));
  dropped->Close();
  ASSERT_TRUE(Serve([&] { return Server.ClientCount() == 2; }));
  ASSERT_TRUE(Ask(*watcher, "GET NUMLOGINS ups1\n", "NUMLOGINS ups1 1\n"));
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
  TManualClock clock;
  TNutServer server(bus.Source(), clock);
  std::string error;
  EXPECT_FALSE(server.Listen("ups.example:3493", error));
  EXPECT_NE(error.find("numeric"), std::string::npos) << error;
  EXPECT_FALSE(server.Listen("192.0.2.1:0", error)) << "an address of no interface here";
  EXPECT_FALSE(server.Listening());
}

// What a new setting may hold: numbers only, IPv6 in brackets; the message
// says what to write instead.
TEST(ListenAddress, NewSettingsTakeNumericAddressesThisMachineHas) {
  struct TRow {
    const char* Text;
    const char* Refusal;  // nullptr: accepted
  };
  const TRow rows[] = {
      {"127.0.0.1:3493", nullptr},
      {"0.0.0.0:3493", nullptr},
      {"[::1]:3493", nullptr},
      {"[::]:0", nullptr},
      {"localhost:3493", "\"localhost\" is not a numeric IPv4 address (names are not looked up); write a numeric"},
      {"ups.example:3493", "\"ups.example\" is not a numeric IPv4 address"},
      {"[localhost]:3493", "\"localhost\" is not a numeric IPv6 address"},
      {"::1:3493", "an IPv6 address goes in brackets: [::1]:3493"},
      {":3493", "names no address"},
      {"3493", "names no address"},
      {"127.0.0.1", "no port number"},
      {"127.0.0.1:99999", "no port number"},
      {"127.1:3493", "not a numeric IPv4 address"},  // inet_aton's shorthand
  };
  for (const TRow& r : rows) {
    TListenAddress a;
    std::string error;
    EXPECT_EQ(ParseNumericListenAddress(r.Text, a, error), r.Refusal == nullptr) << r.Text << ": " << error;
    if (r.Refusal) {
      EXPECT_NE(error.find(r.Refusal), std::string::npos) << r.Text << ": " << error;
    }
  }
  std::string error;
  EXPECT_TRUE(AddressIsLocal({"127.0.0.1", 3493}, error)) << error;
  EXPECT_TRUE(AddressIsLocal({"::1", 0}, error)) << error;
  EXPECT_FALSE(AddressIsLocal({"192.0.2.1", 3493}, error));
  EXPECT_EQ(error, "no interface of this machine has the address 192.0.2.1");
  // A port some server holds does not count against the address.
  TNutBus bus;
  TManualClock clock;
  TNutServer holder(bus.Source(), clock);
  ASSERT_TRUE(holder.Listen("127.0.0.1:0", error)) << error;
  EXPECT_TRUE(AddressIsLocal({"127.0.0.1", holder.Port()}, error)) << error;
}

// ---------------------------------------------------------------- commands

// An IPv4 address of this machine outside loopback, or "" when it has none.
std::string NonLoopbackAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP))
      continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    found = text;
  }
  ::freeifaddrs(list);
  return found;
}

class NutServerCommands : public NutServer {
 protected:
  NutServerCommands() {
    TNutSource source = Bus.Source();
    source.Control = &Rig.Control;
    Commands = std::make_unique<TNutServer>(source, Clock);
  }
  bool Serve(const std::function<bool()>& done) { return ServeOn(*Commands, done); }
  bool Ask(TClientSocket& c, const std::string& request, const std::string& expect) {
    return AskOn(*Commands, c, request, expect);
  }
  TCommandRig Rig{Clock};
  std::unique_ptr<TNutServer> Commands;
};

TEST_F(NutServerCommands, RightAndWrongPasswordsAreAnsweredAtTheSameTimeAndOthersMeanwhile) {
  std::string error;
  ASSERT_TRUE(Commands->Listen("127.0.0.1:0", error)) << error;
  TClientSocket right(Commands->Port(), "127.0.0.1");
  TClientSocket wrong(Commands->Port(), "127.0.0.2");
  TClientSocket other(Commands->Port(), "127.0.0.3");
  ASSERT_TRUE(Ask(right, "USERNAME operator\nPASSWORD right\nSET TRACKING ON\nNETVER\n", "OK\nOK\n"));
  ASSERT_TRUE(Ask(wrong, "USERNAME viewer\nPASSWORD nope\nSET TRACKING ON\nNETVER\n", "OK\nOK\n"));
  ASSERT_TRUE(Serve([&] { return Rig.Checker->Waiting() == 0 && Commands->FailedChecks() == 1; }));
  // Both verdicts are in; both wait for the same moment, and the others are served.
  EXPECT_EQ(Commands->NextTimeoutMs(), Rig.Checker->DelayMs);
  Clock.AdvanceMs(Rig.Checker->DelayMs - 1);
  ASSERT_TRUE(Ask(other, "GET VAR ups1 ups.status\n", "VAR ups1 ups.status \"OL\"\n"));
  right.Take();
  wrong.Take();
  EXPECT_EQ(right.Got, "OK\nOK\n");
  EXPECT_EQ(wrong.Got, "OK\nOK\n");
  Clock.AdvanceMs(1);
  ASSERT_TRUE(Serve([&] {
    right.Take();
    wrong.Take();
    return right.Got.ends_with("1.3\n") && wrong.Got.ends_with("1.3\n");
  }));
  EXPECT_EQ(right.Got, "OK\nOK\nOK\n1.3\n");
  EXPECT_EQ(wrong.Got, "OK\nOK\nERR ACCESS-DENIED\n1.3\n");
  ASSERT_EQ(Rig.Reports.size(), 1u);
  EXPECT_NE(Rig.Reports[0].find("network command SET TRACKING ON by user \"viewer\" from 127.0.0.2: refused, wrong "
                                "user name or password (1 failed for this user on loopback within 15 min, 1 since"),
            std::string::npos)
      << Rig.Reports[0];
}

TEST_F(NutServerCommands, AGuesserPaysTheBackOffWhetherItReconnectsOrLeavesEarly) {
  std::string error;
  ASSERT_TRUE(Commands->Listen("127.0.0.1:0", error)) << error;
  // Every local user shares loopback: there the user name is what is slowed.
  const struct {
    const char* From;
    const char* User;
    int64_t Pause;
    bool LeavesEarly;
  } rounds[] = {
      {"127.0.0.1", "operator", 1000, false}, {"127.0.0.1", "operator", 2000, true},
      {"127.0.0.9", "operator", 4000, false}, {"127.0.0.1", "operator", 8000, false},
      {"127.0.0.1", "viewer", 1000, false},
  };
  uint64_t failed = 0;
  for (const auto& r : rounds) {
    TClientSocket guesser(Commands->Port(), r.From);
    guesser.Send(std::string("USERNAME ") + r.User + "\nPASSWORD guess\nINSTCMD ups1 load.on\n");
    ASSERT_TRUE(Serve([&] { return Commands->FailedChecks() == failed + 1; })) << r.Pause;
    ++failed;
    EXPECT_EQ(Commands->NextTimeoutMs(), r.Pause) << r.User << " " << r.Pause;
    if (r.LeavesEarly) {
      guesser.Close();
      ASSERT_TRUE(Serve([&] { return Commands->ClientCount() == 0; }));
    } else {
      Clock.AdvanceMs(r.Pause - 1);
      ASSERT_TRUE(Serve([&] { return guesser.Take() && guesser.Got == "OK\nOK\n"; }));
      Clock.AdvanceMs(1);
      ASSERT_TRUE(Ask(guesser, "", "ERR ACCESS-DENIED\n")) << guesser.Got;
      continue;
    }
    Clock.AdvanceMs(r.Pause);
  }
  EXPECT_TRUE(Rig.Queued.empty());
  EXPECT_EQ(Rig.Reports.size(), failed);
}

// Checks arrive faster than they are hashed: the loop goes on serving, the
// excess is refused as failed, every failure counts and the reports of them
// are rate-limited without losing the count.
TEST_F(NutServerCommands, AFloodOfPasswordChecksLeavesTheLoopServingAndIsCountedInFull) {
  Rig.Checker->MaxWaiting = 16;
  std::string error;
  ASSERT_TRUE(Commands->Listen("127.0.0.1:0", error)) << error;
  std::vector<std::unique_ptr<TClientSocket>> guessers;
  for (int i = 0; i < 64; ++i) {
    const std::string from = "127.0.1." + std::to_string(1 + i % 4);
    guessers.push_back(std::make_unique<TClientSocket>(Commands->Port(), from.c_str()));
    guessers.back()->Send("USERNAME user" + std::to_string(i) + "\nPASSWORD guess\nINSTCMD ups1 load.on\n");
  }
  ASSERT_TRUE(Serve([&] { return Commands->FailedChecks() >= 64 - 16; }));
  // The hashes wait on the checker's thread; the loop answers meanwhile.
  EXPECT_GT(Rig.Checker->Waiting(), 0u);
  TClientSocket reader(Commands->Port(), "127.0.0.5");
  ASSERT_TRUE(Ask(reader, "GET VAR ups1 ups.status\n", "VAR ups1 ups.status \"OL\"\n"));
  EXPECT_GT(Rig.Checker->Waiting(), 0u) << "answered while hashes were still waiting";
  ASSERT_TRUE(Serve([&] { return Commands->FailedChecks() == 64; }));
  // Reports come in a burst, then the rest as a count.
  Clock.AdvanceMs(Rig.Checker->ReportEveryMs);
  ASSERT_TRUE(Serve([&] { return !Rig.Reports.empty() && Rig.Reports.back().find(" more ") != std::string::npos; }));
  EXPECT_EQ(Rig.Reports.size(), static_cast<size_t>(Rig.Checker->ReportBurst) + 1);
  size_t refused = 0;
  for (const std::string& line : Rig.Reports) refused += line.find("too many password checks waiting") != std::string::npos;
  EXPECT_GT(refused, 0u);
  const std::string& last = Rig.Reports.back();
  const size_t at = last.rfind("; ");
  const size_t more = std::stoul(last.substr(at == std::string::npos ? 0 : at + 2));
  EXPECT_EQ(static_cast<size_t>(Rig.Checker->ReportBurst) + more, 64u) << last;
  // Each guesser hears its refusal at its own time, right or wrong alike.
  Clock.AdvanceMs(Rig.Checker->MaxDelayMs);
  ASSERT_TRUE(Serve([&] {
    return std::all_of(guessers.begin(), guessers.end(), [](auto& g) {
      g->Take();
      return g->Got == "OK\nOK\nERR ACCESS-DENIED\n";
    });
  }));
  EXPECT_TRUE(Rig.Queued.empty());
}

TEST_F(NutServerCommands, APeerOutsideLoopbackIsRefusedUnlessRemoteCommandsAreOn) {
  const std::string address = NonLoopbackAddress();
  if (address.empty()) GTEST_SKIP() << "this machine has no IPv4 address outside loopback";
  std::string error;
  ASSERT_TRUE(Commands->Listen("0.0.0.0:0", error)) << error;
  const std::string login = "USERNAME operator\nPASSWORD right\n";
  TClientSocket remote(Commands->Port(), address.c_str(), address.c_str());
  ASSERT_TRUE(remote.Connected);
  ASSERT_TRUE(Ask(remote, login + "INSTCMD ups1 load.on\n", "OK\nOK\n")) << remote.Got;
  ASSERT_TRUE(Serve([&] { return Rig.Reports.size() == 1; }));
  Clock.AdvanceMs(Commands->FailDelayMs);  // a refusal is answered after a pause
  ASSERT_TRUE(Ask(remote, "", "ERR ACCESS-DENIED\n")) << remote.Got;
  EXPECT_TRUE(Rig.Queued.empty());
  EXPECT_EQ(Commands->FailedChecks(), 0u);  // refused before any password check
  ASSERT_EQ(Rig.Reports.size(), 1u);
  EXPECT_NE(Rig.Reports[0].find("from " + address + ": refused, not from loopback"), std::string::npos)
      << Rig.Reports[0];

  Rig.Control.RemoteCommands = true;
  TClientSocket allowed(Commands->Port(), address.c_str(), address.c_str());
  ASSERT_TRUE(Ask(allowed, login + "INSTCMD ups1 load.on\n", "OK\nOK\n")) << allowed.Got;
  ASSERT_TRUE(Serve([&] { return Rig.Checker->Waiting() == 0; }));
  Clock.AdvanceMs(Rig.Checker->DelayMs);
  ASSERT_TRUE(Ask(allowed, "", "OK\nOK\nOK\n")) << allowed.Got;
  EXPECT_EQ(Rig.Queued.size(), 1u);
}

}  // namespace
