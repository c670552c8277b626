// The request lines of the UPS network protocol against a fixed bus: the
// replies clients such as upsc and upsmon parse, the errors, and how a
// device record becomes ups.status and the other variables.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "net/NutFixture.h"
#include "net/NutLine.h"
#include "net/NutVars.h"

using namespace tessaro;
using namespace tessaro::net;
using tessaro::testing::TNutBus;

namespace {

// ---------------------------------------------------------------- line words

TEST(SplitLine, SplitsOnBlanksAndKeepsQuotedWordsWhole) {
  struct TRow {
    const char* Line;
    std::vector<std::string> Words;
  };
  const TRow rows[] = {
      {"GET VAR ups1 ups.status", {"GET", "VAR", "ups1", "ups.status"}},
      {"  LIST\tUPS  ", {"LIST", "UPS"}},
      {R"(SET VAR ups1 ups.id "My \"big\" UPS")", {"SET", "VAR", "ups1", "ups.id", R"(My "big" UPS)"}},
      {R"(PASSWORD "a\\b")", {"PASSWORD", R"(a\b)"}},
      {R"(PASSWORD "")", {"PASSWORD", ""}},
      {R"(GET VAR "ups1" ups.load)", {"GET", "VAR", "ups1", "ups.load"}},
      {"", {}},
  };
  for (const TRow& r : rows) {
    std::vector<std::string> words;
    EXPECT_TRUE(SplitLine(r.Line, words)) << r.Line;
    EXPECT_EQ(words, r.Words) << r.Line;
  }
  std::vector<std::string> words;
  EXPECT_FALSE(SplitLine(R"(USERNAME "open)", words));
  EXPECT_FALSE(SplitLine(R"(USERNAME x\)", words));
}

TEST(Quote, EscapesQuotesAndBackslashesOnly) {
  EXPECT_EQ(Quote(R"(a "b" \c)"), R"("a \"b\" \\c")");
  EXPECT_EQ(Quote("机房"), "\"机房\"");
  std::vector<std::string> words;
  ASSERT_TRUE(SplitLine("X " + Quote(R"(q"\)"), words));
  EXPECT_EQ(words.back(), R"(q"\)");
}

// ---------------------------------------------------------------- exchanges

struct TExchange {
  const char* Request;
  const char* Reply;
};

class NutExchange : public ::testing::Test {
 protected:
  std::string Send(const std::string& line) { return Reply(line).Text; }
  TNutReply Reply(const std::string& line) { return HandleLine(line, Session, Bus.Source(), Logins); }
  TNutBus Bus;
  TNutSession Session;
  TNutShared Logins;
};

TEST_F(NutExchange, AnswersEachCommandAsTheProtocolDefines) {
  const TExchange rows[] = {
      {"NETVER", "1.3\n"},
      {"LIST UPS",
       "BEGIN LIST UPS\n"
       "UPS ups1 \"Server room \\\"A\\\"\"\n"
       "UPS ups2 \"机房 UPS\"\n"
       "UPS ups12 \"Lab\"\n"
       "END LIST UPS\n"},
      {"list ups", nullptr},  // command words in any case
      {"GET UPSDESC ups2", "UPSDESC ups2 \"机房 UPS\"\n"},
      {"GET VAR ups1 ups.status", "VAR ups1 ups.status \"OL\"\n"},
      {"GET VAR ups1 ups.load", "VAR ups1 ups.load \"47.0\"\n"},
      {"GET VAR ups1 input.L3-N.voltage", "VAR ups1 input.L3-N.voltage \"219.39\"\n"},
      {"GET VAR ups1 battery.runtime", "VAR ups1 battery.runtime \"2520\"\n"},
      {"GET VAR ups1 ups.id", "VAR ups1 ups.id \"1\"\n"},
      {"GET VAR \"ups1\" driver.name", "VAR ups1 driver.name \"tessaro\"\n"},
      {"LIST RW ups1", "BEGIN LIST RW ups1\nEND LIST RW ups1\n"},
      {"LIST CMD ups12", "BEGIN LIST CMD ups12\nEND LIST CMD ups12\n"},
      {"GET NUMLOGINS ups1", "NUMLOGINS ups1 0\n"},
      {"LOGIN ups1", "ERR USERNAME-REQUIRED\n"},
      {"USERNAME monuser", "OK\n"},
      {"LOGIN ups1", "ERR PASSWORD-REQUIRED\n"},
      {"USERNAME again", "ERR ALREADY-SET-USERNAME\n"},
      {"PASSWORD secret", "OK\n"},
      {"LOGIN ups1", "OK\n"},
      {"LOGIN ups1", "ERR ALREADY-LOGGED-IN\n"},
      {"GET NUMLOGINS ups1", "NUMLOGINS ups1 1\n"},
      // Errors
      {"GET VAR ups1 ups.temperature", "ERR VAR-NOT-SUPPORTED\n"},
      {"GET VAR ups1 ups.alarm", "ERR VAR-NOT-SUPPORTED\n"},  // no alarm active
      {"GET VAR ups2 ups.status", "ERR DATA-STALE\n"},         // link lost
      {"LIST VAR ups2", "ERR DATA-STALE\n"},
      {"GET VAR ups12 ups.status", "ERR DATA-STALE\n"},  // no value decoded yet
      {"GET VAR ups3 ups.status", "ERR UNKNOWN-UPS\n"},  // not configured
      {"GET VAR ups01 ups.status", "ERR UNKNOWN-UPS\n"},
      {"GET VAR UPS1 ups.status", "ERR UNKNOWN-UPS\n"},
      {"LIST VAR nosuch", "ERR UNKNOWN-UPS\n"},
      {"GET UPSDESC ups999", "ERR UNKNOWN-UPS\n"},
      {"GET VAR ups1", "ERR INVALID-ARGUMENT\n"},
      {"GET", "ERR INVALID-ARGUMENT\n"},
      {"GET FOO ups1", "ERR INVALID-ARGUMENT\n"},
      {"LIST", "ERR INVALID-ARGUMENT\n"},
      {"LIST VAR", "ERR INVALID-ARGUMENT\n"},
      {"LIST UPS extra", "ERR INVALID-ARGUMENT\n"},
      {"GET VAR ups1 \"ups.status", "ERR INVALID-ARGUMENT\n"},
      {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
      {"SET VAR ups1 ups.id \"x\"", "ERR ACCESS-DENIED\n"},
      {"INSTCMD ups1 load.off", "ERR CMD-NOT-SUPPORTED\n"},  // no users file: no commands
      {"FSD ups1", "ERR ACCESS-DENIED\n"},
      {"PRIMARY ups1", "ERR ACCESS-DENIED\n"},
      {"REQ ups1 ups.status", "ERR UNKNOWN-COMMAND\n"},
      {"\x01\xff\x7f garbage", "ERR UNKNOWN-COMMAND\n"},
      {"   ", ""},
  };
  std::string previous;
  for (const TExchange& r : rows) {
    const std::string got = Send(r.Request);
    EXPECT_EQ(got, r.Reply ? r.Reply : previous) << r.Request;
    previous = got;
  }
  EXPECT_EQ(Send("VER").rfind("Tessaro ", 0), 0u);
  // Clients take the version from "upsd <version> -"; this is not that server.
  EXPECT_NE(Send("VER").find(" upsd 2.8 - "), std::string::npos);
  EXPECT_NE(Send("HELP").find("LIST"), std::string::npos);
  // Nothing a client sent changed a device.
  EXPECT_EQ(Bus.Ups(1).Measure.OutputFreq, 50);
}

TEST_F(NutExchange, HelpNamesEveryVerbItServesAndNoRefusedOne) {
  const std::string help = Send("HELP");
  EXPECT_EQ(help, "Commands: HELP VER NETVER PROTVER GET LIST LOGIN LOGOUT USERNAME PASSWORD STARTTLS INSTCMD SET\n");
  std::istringstream words(help.substr(help.find(' ')));
  for (std::string verb; words >> verb;) EXPECT_NE(Send(verb), "ERR UNKNOWN-COMMAND\n") << verb;
  for (const char* refused : {"FSD", "PRIMARY", "MASTER"}) EXPECT_EQ(help.find(refused), std::string::npos) << refused;
}

TEST_F(NutExchange, LogoutClosesAndTheLoginCountFollowsTheSessions) {
  TNutSession other;
  other.Peer = "192.0.2.7";
  Session.Peer = "::1";
  for (TNutSession* s : {&other, &Session})
    for (const char* line : {"USERNAME mon", "PASSWORD any"}) HandleLine(line, *s, Bus.Source(), Logins);
  ASSERT_EQ(HandleLine("LOGIN ups12", other, Bus.Source(), Logins).Text, "OK\n");
  ASSERT_EQ(Send("LOGIN ups12"), "OK\n");
  EXPECT_EQ(Send("GET NUMLOGINS ups12"), "NUMLOGINS ups12 2\n");
  EXPECT_EQ(Send("LIST CLIENT ups12"), "BEGIN LIST CLIENT ups12\nCLIENT ups12 192.0.2.7\nCLIENT ups12 ::1\nEND LIST CLIENT ups12\n");
  EXPECT_EQ(Send("LIST CLIENT ups1"), "BEGIN LIST CLIENT ups1\nEND LIST CLIENT ups1\n");
  const TNutReply bye = Reply("LOGOUT");
  EXPECT_EQ(bye.Text, "OK Goodbye\n");
  EXPECT_TRUE(bye.Close);
  // Counted off with the answer, before the connection is closed.
  EXPECT_EQ(Send("GET NUMLOGINS ups12"), "NUMLOGINS ups12 1\n");
  EndSession(Session, Logins);
  EndSession(Session, Logins);  // a second close takes nothing more
  EXPECT_EQ(Send("GET NUMLOGINS ups12"), "NUMLOGINS ups12 1\n");
  EXPECT_EQ(Send("LIST CLIENT ups12"), "BEGIN LIST CLIENT ups12\nCLIENT ups12 192.0.2.7\nEND LIST CLIENT ups12\n");
  EXPECT_EQ(Send("LOGIN nosuch"), "ERR UNKNOWN-UPS\n");
}

TEST_F(NutExchange, AnAnswerOlderThanThePollRoundAllowsIsStale) {
  Bus.Clock.AdvanceMs(Bus.Source().Freshness.AllowedAgeMs());
  EXPECT_EQ(Send("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"\n");
  Bus.Clock.AdvanceMs(1);
  EXPECT_EQ(Send("GET VAR ups1 ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(Send("LIST VAR ups1"), "ERR DATA-STALE\n");
}

TEST_F(NutExchange, ListVarGivesEveryReportedVariableOnce) {
  const std::string list = Send("LIST VAR ups1");
  ASSERT_EQ(list.rfind("BEGIN LIST VAR ups1\n", 0), 0u);
  ASSERT_NE(list.find("END LIST VAR ups1\n"), std::string::npos);
  for (const char* line :
       {"VAR ups1 battery.charge \"97\"", "VAR ups1 battery.current \"1.5\"", "VAR ups1 battery.voltage \"432.5\"",
        "VAR ups1 device.type \"ups\"", "VAR ups1 input.voltage \"220.1\"", "VAR ups1 input.L2-N.voltage \"221.0\"",
        "VAR ups1 output.voltage \"230.0\"", "VAR ups1 output.L1-N.voltage \"230.0\"",
        "VAR ups1 output.frequency \"50.0\"", "VAR ups1 output.L3.power.percent \"12.0\""})
    EXPECT_NE(list.find(std::string(line) + "\n"), std::string::npos) << line;
  // Every variable listed answers GET VAR with the same line.
  size_t pos = 0;
  int count = 0;
  while ((pos = list.find("VAR ups1 ", pos)) != std::string::npos) {
    const size_t end = list.find('\n', pos);
    const std::string line = list.substr(pos, end - pos + 1);
    const std::string var = line.substr(9, line.find(' ', 9) - 9);
    EXPECT_EQ(Send("GET VAR ups1 " + var), line);
    ++count;
    pos = end;
  }
  EXPECT_EQ(count, 22);
}

// ---------------------------------------------------------------- variables

std::string Var(const TVarList& vars, const std::string& name) {
  for (const auto& [n, v] : vars)
    if (n == name) return v;
  return "<absent>";
}

TEST(DeviceVariables, BatteryChargeAndCurrentOnlyWhereTheProtocolGivesThem) {
  TNutBus bus;
  TUpsInfo& u = bus.Ups(1);
  EXPECT_EQ(Var(DeviceVariables(u, ProtocolYdtV31), "battery.charge"), "97");
  EXPECT_EQ(Var(DeviceVariables(u, ProtocolRxa), "battery.current"), "1.5");
  const TVarList quorvan = DeviceVariables(u, ProtocolQuorvan);
  EXPECT_EQ(Var(quorvan, "battery.charge"), "<absent>");
  EXPECT_EQ(Var(quorvan, "battery.current"), "<absent>");
  EXPECT_EQ(Var(quorvan, "battery.runtime"), "2520");
  // Discharging shows as a negative current.
  u.Measure.BattDischargeCurr = 12.25;
  EXPECT_EQ(Var(DeviceVariables(u, ProtocolModbus), "battery.current"), "-12.25");
}

TEST(DeviceVariables, AlarmTextsInEnglishWithACodeWhereThereIsNoText) {
  TNutBus bus;
  TUpsInfo& u = bus.Ups(1);
  u.AlarmCodes[0] = 25;
  u.AlarmCodes[1] = 70;  // has only a Chinese text
  u.AlarmCount = 2;
  EXPECT_EQ(Var(DeviceVariables(u, ProtocolModbus), "ups.alarm"), "Mains volt. abnormal; Alarm 70");
}

struct TStatusRow {
  int32_t State;
  uint8_t InputSupply, UpsSupply, BattTest;
  std::vector<int32_t> Alarms;
  uint16_t BackupMin;
  const char* Status;
};

TEST(UpsStatus, CombinesPathBatteryAndAlarmWords) {
  const TStatusRow rows[] = {
      {StateOnline, 1, 1, 0, {}, 30, "OL"},
      {StateEco, 1, 2, 0, {}, 30, "OL"},
      {StateBattery, 2, 1, 0, {}, 30, "OB"},
      {StateBattery, 2, 1, 0, {25}, 30, "OB ALARM"},
      {StateBattery, 2, 1, 0, {23}, 30, "OB LB ALARM"},    // low battery alarm
      {StateBattery, 2, 1, 0, {209}, 30, "OB LB ALARM"},   // power-frequency pre-warning
      {StateBattery, 2, 1, 0, {}, 5, "OB LB"},             // short runtime
      {StateBattery, 2, 1, 0, {}, 0, "OB"},                // no runtime reported yet
      {StateBattSelfTest, 2, 1, 0, {}, 30, "OB CAL"},
      {StateOnline, 1, 1, 1, {}, 30, "OL CAL"},            // power-frequency test flag
      {StateBypass, 1, 2, 0, {}, 30, "OL BYPASS"},
      {StateMaintBypass, 0, 0, 0, {}, 30, "OL BYPASS"},
      {StateStandby, 1, 0, 0, {}, 30, "OL OFF"},
      {StateNoOutput, 0, 0, 0, {}, 30, "OFF"},
      {StateEpo, 2, 0, 0, {}, 30, "OB OFF"},
      {StateInvStarting, 1, 0, 0, {}, 30, "OL OFF"},
      {StateFault, 2, 1, 0, {0}, 30, "OB ALARM"},
      {StateFault, 1, 2, 0, {0}, 30, "OL BYPASS ALARM"},
      {StateFault, 1, 0, 0, {0}, 30, "OL OFF ALARM"},
  };
  for (const TStatusRow& r : rows) {
    TUpsInfo u;
    u.CommState = 0;
    u.StateCode = r.State;
    u.InputSupply = r.InputSupply;
    u.UpsSupply = r.UpsSupply;
    u.BattTestFlag = r.BattTest;
    for (const int32_t a : r.Alarms) u.AlarmCodes[u.AlarmCount++] = a;
    u.Measure.BattBackupTime = r.BackupMin;
    EXPECT_EQ(UpsStatus(u), r.Status) << "state " << r.State << " alarms " << r.Alarms.size();
  }
}

TEST(UpsStatus, TheDevicesOwnPreAlarmTimeSetsTheShortRuntime) {
  TUpsInfo u;
  u.StateCode = StateBattery;
  u.InputSupply = 2;
  u.Measure.BattBackupTime = 8;
  EXPECT_EQ(UpsStatus(u), "OB");
  u.Params.PreAlarmTime = 10;
  EXPECT_EQ(UpsStatus(u), "OB LB");
}


TEST(FormatNumber, DotDecimalWithoutTrailingZeros) {
  EXPECT_EQ(FormatNumber(220), "220.0");
  EXPECT_EQ(FormatNumber(219.3897), "219.39");
  EXPECT_EQ(FormatNumber(-0.001), "0.0");
  EXPECT_EQ(FormatNumber(1.0 / 0.0), "0.0");
  EXPECT_EQ(FormatNumber(49.95), "49.95");
}

}  // namespace
