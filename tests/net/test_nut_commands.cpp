// The request sequences of the clients people use with the network UPS
// protocol, replayed against a small bus, every reply checked against the
// forms the protocol reference allows for its request; and device commands:
// who may give them, from where, and what GET TRACKING tells of them.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "net/NutCommands.h"
#include "net/NutFixture.h"
#include "net/NutLine.h"
#include "net/UsersFile.h"

using namespace tessaro;
using namespace tessaro::net;
using tessaro::testing::TCommandRig;
using tessaro::testing::TNutBus;

namespace {

// ---------------------------------------------------------------- the replies the reference allows

const char* const ErrorCodes =
    "(ACCESS-DENIED|UNKNOWN-UPS|VAR-NOT-SUPPORTED|CMD-NOT-SUPPORTED|INVALID-ARGUMENT|INSTCMD-FAILED|SET-FAILED|"
    "READONLY|TOO-LONG|FEATURE-NOT-SUPPORTED|FEATURE-NOT-CONFIGURED|ALREADY-SSL-MODE|DRIVER-NOT-CONNECTED|"
    "DATA-STALE|ALREADY-LOGGED-IN|INVALID-PASSWORD|ALREADY-SET-PASSWORD|INVALID-USERNAME|ALREADY-SET-USERNAME|"
    "USERNAME-REQUIRED|PASSWORD-REQUIRED|UNKNOWN-COMMAND|INVALID-VALUE)";
const std::string Value = R"("([^"\\]|\\.)*")";

// The request's kind ("GET VAR", "LOGOUT") and the forms of its answer
// other than an error.
const std::map<std::string, std::string>& SuccessForms() {
  static const std::map<std::string, std::string> forms = {
      {"VER", R"([^\n]*upsd .+ - [^\n]*\n)"},
      {"NETVER", R"(\d+\.\d+\n)"},
      {"PROTVER", R"(\d+\.\d+\n)"},
      {"USERNAME", "OK\n"},
      {"PASSWORD", "OK\n"},
      {"LOGIN", "OK\n"},
      {"LOGOUT", "OK Goodbye\n"},
      {"STARTTLS", "OK STARTTLS\n"},
      {"SET TRACKING", "OK\n"},
      {"INSTCMD", R"(OK( TRACKING [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})?\n)"},
      {"GET TRACKING", "(ON|OFF|PENDING|SUCCESS)\n"},
      {"GET VAR", R"(VAR (\S+) (\S+) )" + Value + "\n"},
      {"GET TYPE", R"(TYPE (\S+) (\S+)( RW)?( (ENUM|RANGE|NUMBER|STRING:\d+))+\n)"},
      {"GET DESC", R"(DESC (\S+) (\S+) )" + Value + "\n"},
      {"GET CMDDESC", R"(CMDDESC (\S+) (\S+) )" + Value + "\n"},
      {"GET UPSDESC", R"(UPSDESC (\S+) )" + Value + "\n"},
      {"GET NUMLOGINS", R"(NUMLOGINS (\S+) \d+\n)"},
      {"LIST UPS", "BEGIN LIST UPS\n(UPS \\S+ " + Value + "\n)*END LIST UPS\n"},
      {"LIST VAR", R"(BEGIN LIST VAR (\S+)\n(VAR \1 \S+ )" + Value + R"(\n)*END LIST VAR \1\n)"},
      {"LIST RW", R"(BEGIN LIST RW (\S+)\n(RW \1 \S+ )" + Value + R"(\n)*END LIST RW \1\n)"},
      {"LIST CMD", R"(BEGIN LIST CMD (\S+)\n(CMD \1 \S+\n)*END LIST CMD \1\n)"},
      {"LIST CLIENT", R"(BEGIN LIST CLIENT (\S+)\n(CLIENT \1 \S+\n)*END LIST CLIENT \1\n)"},
      {"LIST ENUM", R"(BEGIN LIST ENUM (\S+) (\S+)\n(ENUM \1 \2 )" + Value + R"(\n)*END LIST ENUM \1 \2\n)"},
      {"LIST RANGE",
       R"(BEGIN LIST RANGE (\S+) (\S+)\n(RANGE \1 \2 )" + Value + " " + Value + R"(\n)*END LIST RANGE \1 \2\n)"},
  };
  return forms;
}

// Whether `reply` is an answer the reference allows to `request`.
bool Allowed(const std::string& request, const std::string& reply) {
  std::vector<std::string> w;
  if (!SplitLine(request, w) || w.empty()) return false;
  if (std::regex_match(reply, std::regex(std::string("ERR ") + ErrorCodes + "\n"))) return true;
  if (w[0] == "GET" && w.size() > 1 && w[1] == "TRACKING" &&
      std::regex_match(reply, std::regex("ERR (UNKNOWN|INVALID-ARGUMENT|FAILED)\n")))
    return true;
  const std::string kind = (w[0] == "GET" || w[0] == "LIST" || w[0] == "SET") && w.size() > 1 ? w[0] + " " + w[1] : w[0];
  const auto it = SuccessForms().find(kind);
  return it != SuccessForms().end() && std::regex_match(reply, std::regex(it->second));
}

// ---------------------------------------------------------------- the clients' sequences

// A client's requests: `Once` at the start, `PerUps` for every UPS the
// server lists, `End` last. In PerUps, "{ups}" is the UPS, and a request
// with "{var}", "{cmd}" or "{rw}" is sent for each variable, command or
// writable variable the UPS's last LIST VAR, LIST CMD or LIST RW gave;
// requests joined by " | " go together for each.
struct TClientScript {
  const char* Client;
  std::vector<std::string> Once, PerUps, End;
};

const TClientScript Scripts[] = {
    // PeaNUT (web dashboard), src/server/nut.ts: credentials when configured, then per device.
    {"PeaNUT",
     {"USERNAME monuser", "PASSWORD secret", "LIST UPS"},
     {"GET UPSDESC {ups}", "LIST VAR {ups}", "GET TYPE {ups} {var}", "LIST CMD {ups}", "GET CMDDESC {ups} {cmd}",
      "LIST CLIENT {ups}", "LIST RW {ups}"},
     {"LOGOUT"}},
    // go.nut (behind nut_exporter and Telegraf's upsd input): NewUPS for every UPS of LIST UPS.
    {"go.nut",
     {"USERNAME monuser", "PASSWORD secret", "VER", "NETVER", "LIST UPS"},
     {"LIST CLIENT {ups}", "LIST CMD {ups}", "GET CMDDESC {ups} {cmd}", "GET UPSDESC {ups}", "GET NUMLOGINS {ups}",
      "LIST VAR {ups}", "GET DESC {ups} {var} | GET TYPE {ups} {var}"},
     {"LOGOUT"}},
    // prometheus-nut-exporter: VER must hold "upsd <version> -".
    {"prometheus-nut-exporter", {"VER", "LIST UPS"}, {"LIST VAR {ups}"}, {}},
    // Debian's nut-client 2.8.0, as traced: upsc, upsc -l, upsrw, upscmd -l.
    {"upsc", {"STARTTLS", "LIST UPS"}, {"LIST VAR {ups}", "GET VAR {ups} ups.status"}, {"LOGOUT"}},
    {"upsrw",
     {"STARTTLS"},
     {"LIST RW {ups}", "GET TYPE {ups} {rw} | GET DESC {ups} {rw} | LIST ENUM {ups} {rw} | LIST RANGE {ups} {rw}"},
     {"LOGOUT"}},
    {"upscmd -l", {"STARTTLS"}, {"LIST CMD {ups}", "GET CMDDESC {ups} {cmd}"}, {"LOGOUT"}},
    // libupsclient of later releases asks the protocol version first.
    {"libupsclient", {"PROTVER", "NETVER", "LIST UPS"}, {"LIST VAR {ups}"}, {"LOGOUT"}},
    // Home Assistant's client (aionut).
    {"aionut", {"USERNAME monuser", "PASSWORD secret", "LIST UPS"},
     {"LIST VAR {ups}", "LIST CMD {ups}", "GET UPSDESC {ups}"}, {}},
};

// The words in column `column` of a list reply's item lines.
std::vector<std::string> Items(const std::string& reply, size_t column) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < reply.size()) {
    const size_t end = reply.find('\n', start);
    std::vector<std::string> w;
    if (SplitLine(reply.substr(start, end - start), w) && w.size() > column && w[0] != "BEGIN" && w[0] != "END")
      out.push_back(w[column]);
    start = end + 1;
  }
  return out;
}

std::string Replace(std::string text, const std::string& mark, const std::string& value) {
  for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
  return text;
}

struct TReplay {
  std::vector<std::pair<std::string, std::string>> Exchanges;  // request, reply
};

TReplay Replay(const TClientScript& script, const TNutSource& source) {
  TNutSession session;
  session.Peer = "127.0.0.1";
  TNutShared shared;
  TReplay r;
  auto send = [&](const std::string& line) {
    const std::string reply = HandleLine(line, session, source, shared).Text;
    r.Exchanges.emplace_back(line, reply);
    return reply;
  };
  std::vector<std::string> upses;
  for (const std::string& line : script.Once) {
    const std::string reply = send(line);
    if (line == "LIST UPS") upses = Items(reply, 1);
  }
  if (upses.empty()) upses = {"ups1", "ups2", "ups12"};  // named by the user, as upsc ups1@host
  for (const std::string& ups : upses) {
    std::map<std::string, std::vector<std::string>> items;  // "{var}" -> names
    for (const std::string& step : script.PerUps) {
      const std::string line = Replace(step, "{ups}", ups);
      const char* each = line.find("{var}") != std::string::npos   ? "{var}"
                         : line.find("{cmd}") != std::string::npos ? "{cmd}"
                         : line.find("{rw}") != std::string::npos  ? "{rw}"
                                                                   : nullptr;
      if (!each) {
        const std::string reply = send(line);
        if (line.rfind("LIST VAR ", 0) == 0) items["{var}"] = Items(reply, 2);
        if (line.rfind("LIST CMD ", 0) == 0) items["{cmd}"] = Items(reply, 2);
        if (line.rfind("LIST RW ", 0) == 0) items["{rw}"] = Items(reply, 2);
        continue;
      }
      for (const std::string& name : items[each]) {
        const std::string requests = Replace(line, each, name);
        for (size_t start = 0; start < requests.size();) {
          size_t end = requests.find(" | ", start);
          if (end == std::string::npos) end = requests.size();
          send(requests.substr(start, end - start));
          start = end + 3;
        }
      }
    }
  }
  for (const std::string& line : script.End) send(line);
  return r;
}

class ClientReplay : public ::testing::Test {
 protected:
  ClientReplay() { Source.Control = &Rig.Control; }
  TNutBus Bus;
  TCommandRig Rig;
  TNutSource Source = Bus.Source();
};

TEST_F(ClientReplay, EveryReplyIsAllowedAndOnlyTheSilentDevicesAreStale) {
  // ups1 answers; ups2 has lost its link and ups12 has sent nothing yet.
  for (const TClientScript& script : Scripts) {
    const TReplay r = Replay(script, Source);
    bool sawStale = false;
    for (const auto& [request, reply] : r.Exchanges) {
      EXPECT_TRUE(Allowed(request, reply)) << script.Client << ": " << request << " -> " << reply;
      const bool silent = request.find(" ups2") != std::string::npos || request.find(" ups12") != std::string::npos;
      // No error but for the silent devices and TLS, which is not offered.
      if (!silent && request != "STARTTLS") {
        EXPECT_EQ(reply.rfind("ERR", 0), std::string::npos) << script.Client << ": " << request << " -> " << reply;
      }
      if (request == "LIST VAR ups2") {
        EXPECT_EQ(reply, "ERR DATA-STALE\n") << script.Client;
        sawStale = true;
      }
    }
    const bool listsVars = std::any_of(script.PerUps.begin(), script.PerUps.end(),
                                       [](const std::string& s) { return s.rfind("LIST VAR", 0) == 0; });
    EXPECT_EQ(sawStale, listsVars) << script.Client;
  }
  EXPECT_TRUE(Rig.Queued.empty());
}

TEST_F(ClientReplay, TypesAndDescriptionsOfTheServedVariables) {
  const TReplay r = Replay(Scripts[1], Source);  // go.nut asks both for every variable
  std::map<std::string, std::string> got;
  for (const auto& [request, reply] : r.Exchanges)
    if (request.rfind("GET TYPE ups1 ", 0) == 0 || request.rfind("GET DESC ups1 ", 0) == 0) got[request] = reply;
  EXPECT_EQ(got["GET TYPE ups1 ups.status"], "TYPE ups1 ups.status STRING:64\n");
  EXPECT_EQ(got["GET TYPE ups1 device.description"], "TYPE ups1 device.description STRING:64\n");
  EXPECT_EQ(got["GET TYPE ups1 input.L1-N.voltage"], "TYPE ups1 input.L1-N.voltage NUMBER\n");
  EXPECT_EQ(got["GET DESC ups1 battery.runtime"], "DESC ups1 battery.runtime \"Battery runtime (seconds)\"\n");
  EXPECT_EQ(got.size(), 2 * 22u);  // every variable of LIST VAR
  TNutSession s;
  TNutShared shared;
  const auto ask = [&](const char* line) { return HandleLine(line, s, Source, shared).Text; };
  EXPECT_EQ(ask("GET VAR ups1 device.description"), "VAR ups1 device.description \"Server room \\\"A\\\"\"\n");
  EXPECT_EQ(ask("GET TYPE ups1 ups.alarm"), "ERR VAR-NOT-SUPPORTED\n");  // no alarm now
  EXPECT_EQ(ask("GET TYPE ups2 ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask("GET DESC ups2 ups.status"), "DESC ups2 ups.status \"UPS status\"\n");
  EXPECT_EQ(ask("GET DESC ups1 ups.serial"), "ERR VAR-NOT-SUPPORTED\n");  // nothing invented
  EXPECT_EQ(ask("GET VAR ups1 device.serial"), "ERR VAR-NOT-SUPPORTED\n");
  EXPECT_EQ(ask("LIST ENUM ups1 ups.status"), "BEGIN LIST ENUM ups1 ups.status\nEND LIST ENUM ups1 ups.status\n");
  EXPECT_EQ(ask("LIST RANGE ups1 nosuch.var"), "ERR VAR-NOT-SUPPORTED\n");
  EXPECT_EQ(ask("LIST ENUM ups2 ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask("GET CMDDESC ups1 load.off"), "CMDDESC ups1 load.off \"Switch the UPS output off\"\n");
  EXPECT_EQ(ask("GET CMDDESC ups1 shutdown.return"), "ERR CMD-NOT-SUPPORTED\n");
  Bus.Settings.PortInfo.Protocol = ProtocolQuorvan;
  EXPECT_EQ(ask("GET DESC ups1 battery.charge"), "ERR VAR-NOT-SUPPORTED\n");
}

// ---------------------------------------------------------------- commands

class NutCommand : public ClientReplay {
 protected:
  std::string Send(const std::string& line) { return Reply(line).Text; }
  TNutReply Reply(const std::string& line) { return HandleLine(line, Session, Source, Shared); }
  TNutSession Session{.Peer = "127.0.0.1"};
  TNutShared Shared;
};

TEST_F(NutCommand, OnlyAUserWithTheCommandFromLoopbackQueuesIt) {
  struct TCase {
    const char* Name;
    const char* Peer;
    bool Remote;  // RemoteCommands
    bool Offered;
    const char* User;
    const char* Password;
    const char* Request;
    const char* Reply;
    bool AuthFailed;
  } const cases[] = {
      {"allowed", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 test.battery.start", "OK\n", false},
      {"with a time", "::1", false, true, "operator", "right", "INSTCMD ups1 test.battery.start 120", "OK\n", false},
      {"wrong password", "127.0.0.1", false, true, "operator", "wrong", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", true},
      {"unknown user", "127.0.0.1", false, true, "nobody", "right", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", true},
      {"not the user's", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 load.off", "ERR ACCESS-DENIED\n", false},
      {"no commands", "127.0.0.1", false, true, "viewer", "look", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", false},
      {"not loopback", "192.0.2.7", false, true, "operator", "right", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", false},
      {"remote allowed", "192.0.2.7", true, true, "operator", "right", "INSTCMD ups1 load.on", "OK\n", false},
      {"ASCII device", "127.0.0.1", false, false, "operator", "right", "INSTCMD ups1 load.on", "ERR CMD-NOT-SUPPORTED\n", false},
      {"unknown command", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 beeper.off", "ERR CMD-NOT-SUPPORTED\n", false},
      {"stale device", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups2 load.on", "ERR DATA-STALE\n", false},
      {"unknown device", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups9 load.on", "ERR UNKNOWN-UPS\n", false},
      {"value not taken", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 load.on 5", "ERR INVALID-ARGUMENT\n", false},
      {"no user", "127.0.0.1", false, true, nullptr, nullptr, "INSTCMD ups1 load.on", "ERR USERNAME-REQUIRED\n", false},
      {"no password", "127.0.0.1", false, true, "operator", nullptr, "INSTCMD ups1 load.on", "ERR PASSWORD-REQUIRED\n", false},
  };
  for (const TCase& c : cases) {
    TNutSession s;
    s.Peer = c.Peer;
    Rig.Control.RemoteCommands = c.Remote;
    Rig.Offered = c.Offered;
    Rig.Queued.clear();
    Rig.Reports.clear();
    if (c.User) {
      ASSERT_EQ(HandleLine(std::string("USERNAME ") + c.User, s, Source, Shared).Text, "OK\n");
    }
    if (c.Password) {
      ASSERT_EQ(HandleLine(std::string("PASSWORD ") + c.Password, s, Source, Shared).Text, "OK\n");
    }
    const TNutReply r = HandleLine(c.Request, s, Source, Shared);
    EXPECT_EQ(r.Text, c.Reply) << c.Name;
    EXPECT_EQ(r.AuthFailed, c.AuthFailed) << c.Name;
    // A refusal once credentials were given comes after a pause.
    EXPECT_EQ(r.Held, c.User && c.Password && std::string(c.Reply) != "OK\n") << c.Name;
    EXPECT_EQ(Rig.Queued.size(), std::string(c.Reply) == "OK\n" ? 1u : 0u) << c.Name;
    // Every command that named a user is reported, with its peer.
    if (c.User && c.Password) {
      ASSERT_EQ(Rig.Reports.size(), 1u) << c.Name;
      EXPECT_NE(Rig.Reports[0].find(std::string("by user \"") + c.User + "\" from " + c.Peer), std::string::npos)
          << Rig.Reports[0];
    }
  }
  Rig.Queued.clear();
  TNutSession s{.Peer = "127.0.0.1"};
  for (const char* line : {"USERNAME operator", "PASSWORD right", "INSTCMD ups1 test.battery.start 45"})
    HandleLine(line, s, Source, Shared);
  ASSERT_EQ(Rig.Queued.size(), 1u);
  EXPECT_EQ(Rig.Queued[0].Address, 1);
  EXPECT_EQ(Rig.Queued[0].Command, TNutCommand::BatteryTestStart);
  EXPECT_EQ(Rig.Queued[0].Value, "45");
}

TEST_F(NutCommand, AWrongPasswordIsCheckedOnceAndNeverForgotten) {
  ASSERT_EQ(Send("USERNAME operator"), "OK\n");
  ASSERT_EQ(Send("PASSWORD wrong"), "OK\n");
  EXPECT_TRUE(Reply("INSTCMD ups1 load.on").AuthFailed);
  // The session keeps its verdict: no second check, and no way to retry.
  const TNutReply again = Reply("INSTCMD ups1 load.on");
  EXPECT_EQ(again.Text, "ERR ACCESS-DENIED\n");
  EXPECT_FALSE(again.AuthFailed);
  EXPECT_EQ(Send("PASSWORD right"), "ERR ALREADY-SET-PASSWORD\n");
  EXPECT_TRUE(Session.Password.empty());
  EXPECT_TRUE(Rig.Queued.empty());
}

TEST_F(NutCommand, TrackingFollowsTheCommandToItsOutcome) {
  EXPECT_EQ(Send("SET TRACKING ON"), "ERR USERNAME-REQUIRED\n");
  EXPECT_EQ(Send("GET TRACKING"), "OFF\n");
  Send("USERNAME operator");
  Send("PASSWORD right");
  EXPECT_EQ(Send("SET TRACKING MAYBE"), "ERR INVALID-ARGUMENT\n");
  EXPECT_EQ(Send("SET TRACKING ON"), "OK\n");
  EXPECT_EQ(Send("GET TRACKING"), "ON\n");
  const std::string ok = Send("INSTCMD ups1 test.battery.start");
  ASSERT_TRUE(Allowed("INSTCMD ups1 test.battery.start", ok)) << ok;
  ASSERT_EQ(ok.size(), std::string("OK TRACKING \n").size() + 36);
  const std::string id = ok.substr(12, 36);
  EXPECT_EQ(Send("GET TRACKING " + id), "PENDING\n");
  for (const auto& [outcome, reply] : std::vector<std::pair<TNutOutcome, std::string>>{
           {TNutOutcome::Success, "SUCCESS\n"},
           {TNutOutcome::Failed, "ERR FAILED\n"},
           {TNutOutcome::InvalidArgument, "ERR INVALID-ARGUMENT\n"},
           {TNutOutcome::Unknown, "ERR UNKNOWN\n"}}) {
    Rig.Outcomes[Rig.Queued.empty() ? 0 : 7] = outcome;
    EXPECT_EQ(Send("GET TRACKING " + id), reply);
  }
  // Another client may ask after it; an id never given out is unknown.
  TNutSession other;
  EXPECT_EQ(HandleLine("GET TRACKING " + id, other, Source, Shared).Text, "ERR UNKNOWN\n");
  Rig.Outcomes[7] = TNutOutcome::Success;
  EXPECT_EQ(HandleLine("GET TRACKING " + id, other, Source, Shared).Text, "SUCCESS\n");
  EXPECT_EQ(Send("GET TRACKING 00000000-0000-4000-8000-000000000000"), "ERR UNKNOWN\n");
  // Two commands get two ids.
  const std::string second = Send("INSTCMD ups1 load.on");
  EXPECT_NE(second.substr(12, 36), id);
  EXPECT_EQ(Send("SET TRACKING OFF"), "OK\n");
  EXPECT_EQ(Send("INSTCMD ups1 load.on"), "OK\n");
}

TEST_F(NutCommand, WithoutAUsersFileNoOneMayGiveCommands) {
  Rig.Control.Users = nullptr;
  Send("USERNAME operator");
  Send("PASSWORD right");
  EXPECT_EQ(Send("LIST CMD ups1"), "BEGIN LIST CMD ups1\nEND LIST CMD ups1\n");
  EXPECT_EQ(Send("INSTCMD ups1 load.on"), "ERR CMD-NOT-SUPPORTED\n");
  EXPECT_EQ(Send("SET TRACKING ON"), "ERR ACCESS-DENIED\n");
  // The rest of what would change a device or the server stays refused.
  for (const char* line : {"SET VAR ups1 ups.id 5", "FSD ups1", "PRIMARY ups1", "MASTER ups1"})
    EXPECT_EQ(Send(line), "ERR ACCESS-DENIED\n") << line;
  EXPECT_TRUE(Rig.Queued.empty());
}

TEST(LoopbackPeer, OnlyThisMachinesLoopbackCounts) {
  const std::pair<const char*, bool> rows[] = {
      {"127.0.0.1", true},         {"127.1.2.3", true},     {"::1", true},          {"::ffff:127.0.0.1", true},
      {"192.0.2.7", false},        {"10.0.0.1", false},     {"0.0.0.0", false},     {"::ffff:192.0.2.1", false},
      {"fe80::1", false},          {"::", false},           {"unknown", false},     {"", false},
      {"128.0.0.1", false},        {"::2", false},
  };
  for (const auto& [peer, loopback] : rows) EXPECT_EQ(IsLoopbackPeer(peer), loopback) << peer;
}

}  // namespace
