// The clients' request sequences replayed against a small bus, every reply
// checked against the forms the protocol reference allows; and device
// commands: who may give them, from where, and what GET TRACKING tells.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "net/NutClientScripts.h"
#include "net/NutCommands.h"
#include "net/NutFixture.h"
#include "net/NutLine.h"
#include "net/UsersFile.h"

using namespace tessaro;
using namespace tessaro::net;
using namespace tessaro::testing;

namespace {

// Answers as the server does: a request that needs the password checked is
// asked again with the users file's verdict.
TNutReply Handle(const std::string& line, TNutSession& s, const TNutSource& source, TNutShared& shared,
                 bool* checked = nullptr) {
  const TNutReply r = HandleLine(line, s, source, shared);
  if (checked) *checked = r.Check;
  if (!r.Check) return r;
  EXPECT_FALSE(r.CheckFor.empty());
  SetVerdict(s, shared, source.Control->Users->Check(s.User, s.Password));
  return HandleLine(line, s, source, shared);
}

TReplay Replay(const TClientScript& script, const TNutSource& source) {
  TNutSession session;
  session.Peer = "127.0.0.1";
  TNutShared shared;
  return tessaro::testing::Replay(
      script, [&](const std::string& line) { return HandleLine(line, session, source, shared).Text; },
      {"ups1", "ups2", "ups12"});
}

class ClientReplay : public ::testing::Test {
 protected:
  ClientReplay() { Source.Control = &Rig.Control; }
  TNutBus Bus;
  TCommandRig Rig{Bus.Clock};
  TNutSource Source = Bus.Source();
};

TEST_F(ClientReplay, EveryReplyIsAllowedAndOnlyTheSilentDevicesAreStale) {
  // ups1 answers; ups2 has lost its link and ups12 has sent nothing yet.
  for (const TClientScript& script : Scripts) {
    const TReplay r = Replay(script, Source);
    CheckReplay(script, r, {"ups2", "ups12"});
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

TEST_F(ClientReplay, BatteryTestResultsAreServedOnceThereIsOne) {
  TNutSession s;
  TNutShared shared;
  const auto ask = [&](const char* line) { return HandleLine(line, s, Source, shared).Text; };
  TTestResults tests;
  Source.Tests = &tests;
  EXPECT_EQ(ask("GET VAR ups1 ups.test.result"), "ERR VAR-NOT-SUPPORTED\n");  // never tested
  tests.Running[1] = EncodeDateTime({2026, 12, 11, 3, 0, 0, 0});
  EXPECT_EQ(ask("GET VAR ups1 ups.test.result"), "VAR ups1 ups.test.result \"In progress\"\n");
  tests.Running.clear();
  tests.Last[1] = {1, EncodeDateTime({2026, 12, 11, 3, 0, 0, 0}), EncodeDateTime({2026, 12, 11, 3, 1, 30, 0}),
                   "refused", {}, {}};
  EXPECT_EQ(ask("GET VAR ups1 ups.test.result"), "VAR ups1 ups.test.result \"Refused by the device\"\n");
  EXPECT_EQ(ask("GET VAR ups1 ups.test.date"), "VAR ups1 ups.test.date \"2026-12-11 03:00:00\"\n");
  EXPECT_EQ(ask("GET TYPE ups1 ups.test.result"), "TYPE ups1 ups.test.result STRING:64\n");
  EXPECT_NE(ask("LIST VAR ups1").find("VAR ups1 ups.test.result \"Refused by the device\"\n"), std::string::npos);
  EXPECT_EQ(ask("GET VAR ups2 ups.test.result"), "ERR DATA-STALE\n");
}

// ---------------------------------------------------------------- commands

class NutCommand : public ClientReplay {
 protected:
  std::string Send(const std::string& line) { return Reply(line).Text; }
  TNutReply Reply(const std::string& line) { return Handle(line, Session, Source, Shared); }
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
    bool Checked;  // answered after a password check, whose pause is its own
  } const cases[] = {
      {"allowed", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 test.battery.start", "OK\n", false, true},
      {"with a time", "::1", false, true, "operator", "right", "INSTCMD ups1 test.battery.start 120", "OK\n", false, true},
      {"wrong password", "127.0.0.1", false, true, "operator", "wrong", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", true, true},
      {"unknown user", "127.0.0.1", false, true, "nobody", "right", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", true, true},
      {"not the user's", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 load.off", "ERR ACCESS-DENIED\n", false, true},
      {"no commands", "127.0.0.1", false, true, "viewer", "look", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", false, true},
      {"not loopback", "192.0.2.7", false, true, "operator", "right", "INSTCMD ups1 load.on", "ERR ACCESS-DENIED\n", false, false},
      {"remote allowed", "192.0.2.7", true, true, "operator", "right", "INSTCMD ups1 load.on", "OK\n", false, true},
      {"ASCII device", "127.0.0.1", false, false, "operator", "right", "INSTCMD ups1 load.on", "ERR CMD-NOT-SUPPORTED\n", false, false},
      {"unknown command", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 beeper.off", "ERR CMD-NOT-SUPPORTED\n", false, false},
      {"stale device", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups2 load.on", "ERR DATA-STALE\n", false, true},
      {"unknown device", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups9 load.on", "ERR UNKNOWN-UPS\n", false, false},
      {"value not taken", "127.0.0.1", false, true, "operator", "right", "INSTCMD ups1 load.on 5", "ERR INVALID-ARGUMENT\n", false, true},
      {"no user", "127.0.0.1", false, true, nullptr, nullptr, "INSTCMD ups1 load.on", "ERR USERNAME-REQUIRED\n", false, false},
      {"no password", "127.0.0.1", false, true, "operator", nullptr, "INSTCMD ups1 load.on", "ERR PASSWORD-REQUIRED\n", false, false},
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
    bool checked = false;
    const TNutReply r = Handle(c.Request, s, Source, Shared, &checked);
    EXPECT_EQ(checked, c.Checked) << c.Name;
    EXPECT_EQ(r.Text, c.Reply) << c.Name;
    EXPECT_EQ(r.AuthFailed, c.AuthFailed) << c.Name;
    // A refusal once credentials were given comes after a pause: the check's,
    // or one of its own.
    EXPECT_EQ(r.Held, c.User && c.Password && std::string(c.Reply) != "OK\n" && !c.Checked) << c.Name;
    EXPECT_EQ(Rig.Queued.size(), std::string(c.Reply) == "OK\n" ? 1u : 0u) << c.Name;
    // Every command that named a user is reported, with its peer (a failed
    // check by the checker, which the server tests follow).
    if (c.User && c.Password && !c.AuthFailed) {
      ASSERT_EQ(Rig.Reports.size(), 1u) << c.Name;
      EXPECT_NE(Rig.Reports[0].find(std::string("by user \"") + c.User + "\" from " + c.Peer), std::string::npos)
          << Rig.Reports[0];
    }
  }
  Rig.Queued.clear();
  TNutSession s{.Peer = "127.0.0.1"};
  for (const char* line : {"USERNAME operator", "PASSWORD right", "INSTCMD ups1 test.battery.start 45"})
    Handle(line, s, Source, Shared);
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
  EXPECT_FALSE(HandleLine("SET TRACKING ON", Session, Source, Shared).Check);
  const TNutReply again = Reply("INSTCMD ups1 load.on");
  EXPECT_EQ(again.Text, "ERR ACCESS-DENIED\n");
  EXPECT_FALSE(again.AuthFailed);
  EXPECT_TRUE(again.Held);
  EXPECT_NE(Rig.Reports.back().find("refused, this connection's password was wrong"), std::string::npos);
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

// Tracking is part of giving commands: from where and by whom, as INSTCMD.
TEST_F(NutCommand, SetTrackingFollowsTheRulesOfCommands) {
  struct TCase {
    const char* Peer;
    bool Remote;
    const char* Password;
    const char* Reply;
    bool Checked;
    const char* Report;  // "" none
  } const cases[] = {
      {"127.0.0.1", false, "right", "OK\n", true, ""},
      {"192.0.2.7", false, "right", "ERR ACCESS-DENIED\n", false, "not from loopback and remote commands are off"},
      {"2001:db8::7", false, "right", "ERR ACCESS-DENIED\n", false, "not from loopback and remote commands are off"},
      {"192.0.2.7", true, "right", "OK\n", true, ""},
      {"127.0.0.1", false, "wrong", "ERR ACCESS-DENIED\n", true, ""},  // the checker reports it
  };
  for (const TCase& c : cases) {
    TNutSession s{.Peer = c.Peer};
    Rig.Control.RemoteCommands = c.Remote;
    Rig.Reports.clear();
    Handle("USERNAME operator", s, Source, Shared);
    Handle(std::string("PASSWORD ") + c.Password, s, Source, Shared);
    bool checked = false;
    const TNutReply r = Handle("SET TRACKING ON", s, Source, Shared, &checked);
    EXPECT_EQ(checked, c.Checked) << c.Peer;
    EXPECT_EQ(r.Text, c.Reply) << c.Peer;
    EXPECT_EQ(r.Held, !c.Checked) << c.Peer;  // a refusal before any check pauses on its own
    EXPECT_EQ(s.Tracking, std::string(c.Reply) == "OK\n") << c.Peer;
    ASSERT_EQ(Rig.Reports.size(), *c.Report ? 1u : 0u) << c.Peer;
    if (*c.Report) {
      EXPECT_NE(Rig.Reports[0].find(std::string("SET TRACKING ON by user \"operator\" from ") + c.Peer + ": refused, " +
                                    c.Report),
                std::string::npos)
          << Rig.Reports[0];
    }
  }
}

// upsmon's primary: PRIMARY once logged in, FSD when it shuts down.
TEST_F(NutCommand, OnlyAPrimaryFromLoopbackClaimsTheRoleAndForcesTheShutdown) {
  struct TCase {
    const char* Name;
    const char* Peer;
    bool Remote;
    const char* User;
    const char* Password;
    const char* Login;  // LOGIN first, or null
    const char* Request;
    const char* Reply;
    int Forced;  // the device whose flag is set after it, 0 none
  } const cases[] = {
      {"primary", "127.0.0.1", false, "mon", "mon", "ups1", "PRIMARY ups1", "OK PRIMARY-GRANTED\n", 0},
      {"old name", "::1", false, "mon", "mon", "ups1", "MASTER ups1", "OK MASTER-GRANTED\n", 0},
      {"not logged in", "127.0.0.1", false, "mon", "mon", nullptr, "PRIMARY ups1", "ERR ACCESS-DENIED\n", 0},
      {"logged in elsewhere", "127.0.0.1", false, "mon", "mon", "ups12", "PRIMARY ups1", "ERR ACCESS-DENIED\n", 0},
      {"no role", "127.0.0.1", false, "operator", "right", "ups1", "PRIMARY ups1", "ERR ACCESS-DENIED\n", 0},
      {"wrong password", "127.0.0.1", false, "mon", "right", "ups1", "PRIMARY ups1", "ERR ACCESS-DENIED\n", 0},
      {"not loopback", "192.0.2.7", false, "mon", "mon", "ups1", "PRIMARY ups1", "ERR ACCESS-DENIED\n", 0},
      {"remote allowed", "192.0.2.7", true, "mon", "mon", "ups1", "PRIMARY ups1", "OK PRIMARY-GRANTED\n", 0},
      {"fsd", "127.0.0.1", false, "mon", "mon", "ups1", "FSD ups1", "OK FSD-SET\n", 1},
      {"fsd without login", "127.0.0.1", false, "mon", "mon", nullptr, "FSD ups12", "OK FSD-SET\n", 12},
      {"fsd of a silent device", "127.0.0.1", false, "mon", "mon", nullptr, "FSD ups2", "OK FSD-SET\n", 2},
      {"fsd without the role", "127.0.0.1", false, "operator", "right", "ups1", "FSD ups1", "ERR ACCESS-DENIED\n", 0},
      {"fsd not loopback", "192.0.2.7", false, "mon", "mon", "ups1", "FSD ups1", "ERR ACCESS-DENIED\n", 0},
      {"fsd wrong password", "127.0.0.1", false, "mon", "wrong", "ups1", "FSD ups1", "ERR ACCESS-DENIED\n", 0},
      {"fsd unknown device", "127.0.0.1", false, "mon", "mon", nullptr, "FSD ups9", "ERR UNKNOWN-UPS\n", 0},
      {"fsd no user", "127.0.0.1", false, nullptr, nullptr, nullptr, "FSD ups1", "ERR USERNAME-REQUIRED\n", 0},
      {"fsd no device", "127.0.0.1", false, "mon", "mon", nullptr, "FSD", "ERR INVALID-ARGUMENT\n", 0},
  };
  for (const TCase& c : cases) {
    TNutSession s{.Peer = c.Peer};
    TNutShared shared;
    Rig.Control.RemoteCommands = c.Remote;
    Rig.Forced.Clear();
    Rig.Reports.clear();
    if (c.User) Handle(std::string("USERNAME ") + c.User, s, Source, shared);
    if (c.Password) Handle(std::string("PASSWORD ") + c.Password, s, Source, shared);
    if (c.Login) {
      ASSERT_EQ(Handle(std::string("LOGIN ") + c.Login, s, Source, shared).Text, "OK\n") << c.Name;
    }
    const TNutReply r = Handle(c.Request, s, Source, shared);
    EXPECT_EQ(r.Text, c.Reply) << c.Name;
    for (const int a : {1, 2, 12}) EXPECT_EQ(Rig.Forced.IsSet(a), a == c.Forced) << c.Name << " ups" << a;
    // Who asked, from where, for which device, in every report of it.
    if (c.User && c.Forced) {
      ASSERT_FALSE(Rig.Reports.empty()) << c.Name;
      EXPECT_NE(Rig.Reports.back().find("FSD for ups" + std::to_string(c.Forced) + " by user \"mon\" from " + c.Peer +
                                        ": forced shutdown set"),
                std::string::npos)
          << Rig.Reports.back();
    }
  }
}

TEST_F(NutCommand, ForcedShutdownShowsToEveryClientAndStays) {
  TNutSession reader;
  const auto status = [&](const char* ups) {
    return HandleLine(std::string("GET VAR ") + ups + " ups.status", reader, Source, Shared).Text;
  };
  EXPECT_EQ(status("ups1"), "VAR ups1 ups.status \"OL\"\n");
  for (const char* line : {"USERNAME mon", "PASSWORD mon", "FSD ups1"}) Send(line);
  EXPECT_EQ(status("ups1"), "VAR ups1 ups.status \"FSD OL\"\n");
  // A second FSD keeps the first setter.
  EXPECT_EQ(Send("FSD ups1"), "OK FSD-SET\n");
  EXPECT_NE(Rig.Reports.back().find("forced shutdown was set already"), std::string::npos) << Rig.Reports.back();
  // Nothing the device does takes it away, and the values stay its own.
  Bus.Ups(1).InputSupply = 2;
  Bus.Ups(1).StateCode = 5;
  EXPECT_EQ(status("ups1"), "VAR ups1 ups.status \"FSD OB\"\n");
  const std::string all = HandleLine("LIST VAR ups1", reader, Source, Shared).Text;
  EXPECT_NE(all.find("VAR ups1 ups.status \"FSD OB\"\n"), std::string::npos) << all;
  // The primary leaving does not clear it either.
  EndSession(Session, Shared);
  EXPECT_EQ(status("ups1"), "VAR ups1 ups.status \"FSD OB\"\n");
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
