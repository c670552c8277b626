// TQuorvanProtocol: request cycle, frames, answer checks A..F, the
// float decoders, the SuccessCount gate, StateFromSwitches and the alarm bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "protocols/AsciiTestFrames.h"
#include "protocols/QuorvanProtocol.h"

using namespace tessaro;
using namespace tessaro::testing_ascii;

namespace {

class Quorvan : public ::testing::Test {
 protected:
  TAsciiRig Rig;
  TQuorvanProtocol Handler{Rig.Env};

  bool Feed(const std::string& chunk) {
    const std::size_t n = std::min<std::size_t>(chunk.size(), RxBufSize);
    std::copy_n(chunk.begin(), n, Rig.Vars.RxBuf.begin());
    return Handler.ParseAnswer(Rig.Vars.RxBuf.data(), static_cast<int>(n));
  }
  std::string Sent() const { return TxText(Rig.Vars, Handler.FrameLen); }
  void RequestStep(int step) {
    Rig.SetDevices({1});
    for (int i = 0; i < 10 && !(Handler.CmdStep == step && Handler.DevAddr == 1); ++i) Handler.NextRequest();
    ASSERT_EQ(Handler.CmdStep, step);
    ASSERT_EQ(Handler.DevAddr, 1);
  }
  TUpsInfo& Dev1() { return Rig.UpsInfo[1]; }
  static std::string Ans(const std::string& info) { return Answer("11", 1, info); }

  // A status answer (43): INFO 13..36 of '0' with the given codes.
  static std::string StatusAnswer(std::initializer_list<std::pair<int, std::string>> codes) {
    return Ans(Info(24, codes));
  }
  // An alarm answer (44): b0..b6 at 15..28 and alarm bytes 0..55 at 31..142.
  static std::string AlarmAnswer(const std::vector<int>& b, const std::vector<int>& bytes) {
    std::string info(130, '0');  // INFO 13..142
    for (std::size_t k = 0; k < b.size(); ++k) info.replace(2 + 2 * k, 2, Hex2(static_cast<unsigned>(b[k])));
    for (std::size_t j = 0; j < bytes.size(); ++j) info.replace(18 + 2 * j, 2, Hex2(static_cast<unsigned>(bytes[j])));
    return Ans(info);
  }
};

const long double Sqrt3 = std::sqrt(3.0L);

// ---- Requests ---------------------------------------------------------------

TEST_F(Quorvan, CommunicatingDeviceIsAskedTheFiveCommandsWithTheDocumentedFrames) {
  Rig.SetDevices({1});
  const std::vector<std::string> expected = {
      "~11012A410000FDA5\r", "~11012A430000FDA3\r", "~11012A440000FDA2\r",
      "~11012AE20000FD93\r", "~11012AE30000FD92\r",
  };
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    Rig.Vars.TxBuf.fill(0xAA);
    Handler.NextRequest();
    EXPECT_EQ(Handler.FrameLen, 18);
    EXPECT_EQ(Handler.DevAddr, 1);
    EXPECT_EQ(Handler.CmdStep, step);
    EXPECT_EQ(Sent(), expected[step - 1]);
    EXPECT_EQ(Rig.Vars.TxBuf[18], 0);
  }
  Handler.NextRequest();
  EXPECT_EQ(Handler.CmdStep, 1) << "the cycle starts again on the only device";
  EXPECT_EQ(Rig.DeviceList.Cursor, 1);
}

TEST_F(Quorvan, LostDeviceIsAskedOnlyCommand41PerVisit) {
  Rig.SetDevices({2, 9});
  Rig.UpsInfo[9].CommState = 2;
  std::vector<std::pair<int, std::string>> seen;
  for (int i = 0; i < 9; ++i) {
    Handler.NextRequest();
    seen.emplace_back(Handler.DevAddr, std::string(Handler.Cid2[Handler.CmdStep]));
  }
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "41"}, {1, "43"}, {1, "44"}, {1, "E2"}, {1, "E3"},
      {2, "41"}, {2, "43"}, {2, "44"}, {2, "E2"},
  };
  EXPECT_EQ(seen, expected);
  Handler.NextRequest();
  Handler.NextRequest();
  EXPECT_EQ(Handler.DevAddr, 9);
  EXPECT_EQ(Sent(), "~11092A410000FD9D\r");
  EXPECT_EQ(Rig.Vars.StepCount, 5) << "decided by the device of the previous request";
  Handler.NextRequest();
  EXPECT_EQ(Rig.Vars.StepCount, 1);
  EXPECT_EQ(Handler.DevAddr, 2);
  EXPECT_EQ(Handler.CmdStep, 1);
}

TEST_F(Quorvan, SearchProbesWithCommand43) {
  Rig.Vars.SearchMode = 1;
  Rig.Vars.SearchAddr = 0x1F;
  Handler.NextRequest();
  EXPECT_EQ(Handler.DevAddr, 0x1F);
  EXPECT_EQ(Handler.CmdStep, 2);
  const std::string head = "~111F2A430000";
  EXPECT_EQ(Sent(), head + ChecksumText(head) + "\r");
  EXPECT_EQ(Rig.Vars.PollStep, 0);
}

TEST_F(Quorvan, PausedBuildsNothing) {
  Rig.SetDevices({1});
  Handler.NextRequest();
  const auto before = Rig.Vars.TxBuf;
  Rig.Vars.Paused = 255;
  Handler.NextRequest();
  Handler.NextRequest();
  EXPECT_EQ(Handler.FrameLen, 0);
  EXPECT_EQ(Rig.Vars.TxBuf, before);
  EXPECT_EQ(Rig.Vars.PollStep, 1);
  EXPECT_EQ(Handler.CmdStep, 1);
}

// ---- Answer checks A..F -----------------------------------------------------

TEST_F(Quorvan, EachMalformedAnswerCountsInExactlyItsCounter) {
  const std::string info = Info(24, {{15, "01"}});
  const std::string good = Answer("11", 1, info);
  std::string badSum = good;
  badSum[good.size() - 3] = badSum[good.size() - 3] == '0' ? '1' : '0';
  std::string lowerLen = Answer("11", 1, "ABCD");  // LENGTH C004
  lowerLen[9] = 'c';
  struct TCase {
    const char* Name;
    std::string Chunk;
    int Counter;
  };
  const std::vector<TCase> cases = {
      {"OnlyCarriageReturn", "\r", 0},
      {"NoSoi", "X" + good.substr(1), 0},
      {"ModularUpsVersion", Answer("31", 1, info), 1},
      {"OtherAddress", Answer("11", 0x21, info), 2},
      {"WrongCid1", Answer("11", 1, info, "2C"), 3},
      {"NonZeroRtn", Answer("11", 1, info, "2A", "01"), 3},
      {"LengthOfAnotherInfo", good.substr(0, 13) + "0" + good.substr(13), 4},
      {"LowerCaseLength", lowerLen, 4},
      {"TwoFramesInOneChunk", good + good, 4},
      {"ChecksumWrong", badSum, 5},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto rig = std::make_unique<TAsciiRig>();
    rig->UpsInfo[1].SuccessCount = 10;
    rig->UpsInfo[1].UpsSupply = 2;
    TQuorvanProtocol handler{rig->Env};
    rig->SetDevices({1});
    handler.NextRequest();
    handler.NextRequest();
    ASSERT_EQ(handler.CmdStep, 2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.Chunk.data());
    EXPECT_FALSE(handler.ParseAnswer(bytes, static_cast<int>(c.Chunk.size())));
    std::vector<int32_t> expected(6, 0);
    expected[static_cast<std::size_t>(c.Counter)] = 1;
    EXPECT_EQ(Counters(rig->Stats), expected);
    EXPECT_EQ(rig->UpsInfo[1].UpsSupply, 2) << "nothing stored";
    EXPECT_EQ(rig->UpsInfo[1].StateCode, -1);
    EXPECT_EQ(handler.CmdStep, 2);
  }
}

// ---- Step 1: analog floats ----------------------------------------------------

TEST_F(Quorvan, InputVoltagesAreDividedByRootThreeInExtendedPrecision) {
  RequestStep(1);
  EXPECT_TRUE(Feed(Ans(Info(90, {{15, "0000BE43"}}))));
  EXPECT_NEAR(Dev1().Measure.InputVoltA, 219.39, 0.005);
  EXPECT_EQ(Dev1().Measure.InputVoltA, static_cast<double>(380.0L / Sqrt3));
}

TEST_F(Quorvan, Step1DecodesEveryAnalogValue) {
  RequestStep(1);
  const std::string info = Info(90, {{15, FloatHex(380.0f)}, {23, FloatHex(381.5f)}, {31, FloatHex(-3.0f)},
                                     {39, FloatHex(220.25f)}, {47, FloatHex(221.0f)}, {55, FloatHex(0.0f)},
                                     {63, FloatHex(1.0f)}, {87, FloatHex(432.5f)}, {95, FloatHex(49.98f)}});
  EXPECT_TRUE(Feed(Ans(info)));
  const TMeasureBlock& m = Dev1().Measure;
  EXPECT_EQ(m.InputVoltA, static_cast<double>(380.0L / Sqrt3));
  EXPECT_EQ(m.InputVoltB, static_cast<double>(381.5L / Sqrt3));
  EXPECT_EQ(m.InputVoltC, static_cast<double>(-3.0L / Sqrt3));
  EXPECT_EQ(m.OutputVoltA, 220.25);
  EXPECT_EQ(m.OutputVoltB, 221.0);
  EXPECT_EQ(m.OutputVoltC, 0.0);
  EXPECT_EQ(m.DcInputVolt, 432.5);
  EXPECT_EQ(m.OutputFreq, static_cast<double>(49.98f));
  EXPECT_EQ(m.LoadA, 0.0) << "characters 63-86 are not used";
}

TEST_F(Quorvan, Step1ShortFrameLeavesFloatsBeyondItUnchanged) {
  RequestStep(1);
  Dev1().Measure.DcInputVolt = 12;
  Dev1().Measure.OutputFreq = 50;
  // INFO 13..86, CHKSUM 87..90, EOI 91: frame length 92. DcInputVolt (87-94)
  // is cut, OutputFreq (95-102) lies beyond.
  const std::string a = Ans(Info(74, {{55, FloatHex(230.0f)}}));
  ASSERT_EQ(a.size(), 92u);
  EXPECT_TRUE(Feed(a));
  EXPECT_EQ(Dev1().Measure.OutputVoltC, 230.0);
  EXPECT_EQ(Dev1().Measure.DcInputVolt, 12);
  EXPECT_EQ(Dev1().Measure.OutputFreq, 50);
}

// ---- Step 2: status codes, gate, StateFromSwitches ----------------------------

TEST_F(Quorvan, StatusIsIgnoredBelowFourSuccessesButTheAnswerIsAccepted) {
  RequestStep(2);
  Dev1().SuccessCount = 3;
  Dev1().UpsSupply = 2;
  EXPECT_TRUE(Feed(StatusAnswer({{15, "01"}, {25, "E0"}})));
  EXPECT_EQ(Dev1().UpsSupply, 2);
  EXPECT_EQ(Dev1().InputSupply, 0);
  EXPECT_EQ(Dev1().StateCode, -1);
  EXPECT_EQ(Dev1().Status.StateValid, 0);
  EXPECT_EQ(Handler.CmdStep, 0);
  EXPECT_EQ(Counters(Rig.Stats), std::vector<int32_t>(6, 0));
}

TEST_F(Quorvan, StatusIsDecodedFromTheFourthSuccessOn) {
  RequestStep(2);
  Dev1().SuccessCount = 4;
  EXPECT_TRUE(Feed(StatusAnswer({{15, "01"}, {19, "00"}, {25, "E0"}, {29, "E1"}, {31, "E0"}, {33, "E0"}, {35, "E1"}})));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.UpsSupply, 1);
  EXPECT_EQ(d.BattTestFlag, 0);
  EXPECT_EQ(d.InputSupply, 1);
  EXPECT_EQ(d.InputSwitch, 1);
  EXPECT_EQ(d.MaintSwitch, 0);
  EXPECT_EQ(d.BypassSwitch, 0);
  EXPECT_EQ(d.OutputSwitch, 1);
  EXPECT_EQ(d.StateCode, StateOnline);
  EXPECT_EQ(d.Status.StateValid, 1);
}

struct TStatusCodeCase {
  int Pos;
  const char* Code;
  uint8_t TUpsInfo::*Field;
  int Before;
  int After;
};

TEST_F(Quorvan, EachStatusCodeSetsItsFieldAndUnlistedCodesLeaveIt) {
  const std::vector<TStatusCodeCase> cases = {
      {15, "01", &TUpsInfo::UpsSupply, 0, 1},     {15, "02", &TUpsInfo::UpsSupply, 0, 2},
      {15, "E9", &TUpsInfo::UpsSupply, 1, 0},     {15, "00", &TUpsInfo::UpsSupply, 2, 2},
      {15, "e9", &TUpsInfo::UpsSupply, 1, 1},     //
      {19, "E0", &TUpsInfo::BattTestFlag, 0, 1},  {19, "E1", &TUpsInfo::BattTestFlag, 1, 0},
      {19, "e0", &TUpsInfo::BattTestFlag, 1, 0},  //
      {25, "E0", &TUpsInfo::InputSupply, 0, 1},   {25, "E1", &TUpsInfo::InputSupply, 0, 2},
      {25, "E3", &TUpsInfo::InputSupply, 2, 0},   {25, "E2", &TUpsInfo::InputSupply, 2, 2},
      {25, "e1", &TUpsInfo::InputSupply, 1, 1},   //
      {29, "E1", &TUpsInfo::InputSwitch, 0, 1},   {29, "E0", &TUpsInfo::InputSwitch, 1, 0},
      {29, "01", &TUpsInfo::InputSwitch, 1, 1},   {29, "e0", &TUpsInfo::InputSwitch, 1, 1},
      {31, "E1", &TUpsInfo::MaintSwitch, 0, 1},   {31, "E0", &TUpsInfo::MaintSwitch, 1, 0},
      {31, "FF", &TUpsInfo::MaintSwitch, 1, 1},   //
      {33, "E1", &TUpsInfo::BypassSwitch, 0, 1},  {33, "E0", &TUpsInfo::BypassSwitch, 1, 0},
      {33, "E2", &TUpsInfo::BypassSwitch, 0, 0},  //
      {35, "E1", &TUpsInfo::OutputSwitch, 0, 1},  {35, "E0", &TUpsInfo::OutputSwitch, 1, 0},
      {35, "e1", &TUpsInfo::OutputSwitch, 0, 0},
  };
  for (const TStatusCodeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Pos) + " " + c.Code);
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    TUpsInfo& d = rig->UpsInfo[1];
    d.SuccessCount = 4;
    d.*c.Field = static_cast<uint8_t>(c.Before);
    TQuorvanProtocol handler{rig->Env};
    handler.NextRequest();
    handler.NextRequest();
    // Every other code place holds "XX", which no row knows (BattTestFlag: 0).
    std::string info = Info(24, {{15, "XX"}, {19, "XX"}, {25, "XX"}, {29, "XX"}, {31, "XX"}, {33, "XX"}, {35, "XX"}});
    info.replace(static_cast<std::size_t>(c.Pos - 13), 2, c.Code);
    const std::string a = Answer("11", 1, info);
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    EXPECT_EQ(d.*c.Field, c.After);
  }
}

TEST_F(Quorvan, StatusCodeBeyondAShortFrameLeavesItsField) {
  RequestStep(2);
  TUpsInfo& d = Dev1();
  d.SuccessCount = 4;
  d.InputSwitch = 7;  // no code gives 7: shows whether a field was written
  d.MaintSwitch = 7;
  d.OutputSwitch = 1;
  d.BypassSwitch = 1;
  // INFO 13..28, CHKSUM 29..32, EOI 33: frame length 34. InputSwitch (29-30)
  // and MaintSwitch (31-32) are read from the CHKSUM characters; BypassSwitch
  // (33-34) is cut and OutputSwitch (35-36) lies beyond.
  const std::string a = Ans(Info(16, {{15, "02"}, {19, "E0"}, {25, "E1"}}));
  ASSERT_EQ(a.size(), 34u);
  EXPECT_TRUE(Feed(a));
  const auto switchOf = [](const std::string& code) { return code == "E1" ? 1 : code == "E0" ? 0 : 7; };
  EXPECT_EQ(d.UpsSupply, 2);
  EXPECT_EQ(d.BattTestFlag, 1);
  EXPECT_EQ(d.InputSupply, 2);
  EXPECT_EQ(d.InputSwitch, switchOf(a.substr(29, 2)));
  EXPECT_EQ(d.MaintSwitch, switchOf(a.substr(31, 2)));
  EXPECT_EQ(d.BypassSwitch, 1);
  EXPECT_EQ(d.OutputSwitch, 1);
  EXPECT_EQ(d.StateCode, PowerFreqStateCode(d));
  EXPECT_EQ(d.Status.StateValid, 1);
}

struct TStateCase {
  int Maint;
  int UpsSupply;
  int InputSupply;
  int BattTest;
  int State;
};

TEST_F(Quorvan, StateFromSwitches) {
  const std::vector<TStateCase> cases = {
      {1, 1, 1, 0, 10}, {1, 2, 2, 1, 10}, {1, 0, 0, 0, 10},  // maintenance bypass wins
      {0, 1, 1, 0, 4},  {0, 1, 1, 1, 4},                     // inverter from mains: online
      {0, 1, 2, 1, 6},  {0, 1, 2, 0, 5},                     // inverter from battery: self-test or battery
      {0, 1, 0, 0, 1},                                       // inverter, no input supply: standby
      {0, 2, 1, 0, 3},  {0, 2, 2, 1, 3},                     // bypass
      {0, 0, 1, 0, 1},  {0, 0, 2, 1, 1},                     // no output supply: standby
  };
  const char* upsCodes[] = {"E9", "01", "02"};
  const char* inputCodes[] = {"E3", "E0", "E1"};
  for (const TStateCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Maint << c.UpsSupply << c.InputSupply << c.BattTest);
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    rig->UpsInfo[1].SuccessCount = 100;
    TQuorvanProtocol handler{rig->Env};
    handler.NextRequest();
    handler.NextRequest();
    const std::string a = Answer("11", 1, Info(24, {{15, upsCodes[c.UpsSupply]}, {19, c.BattTest ? "E0" : "00"},
                                                    {25, inputCodes[c.InputSupply]}, {31, c.Maint ? "E1" : "E0"}}));
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    EXPECT_EQ(rig->UpsInfo[1].StateCode, c.State);
  }
}

// ---- Step 3: alarm bytes --------------------------------------------------------

TEST_F(Quorvan, AlarmsAreIgnoredBelowFourSuccesses) {
  RequestStep(3);
  Dev1().SuccessCount = 3;
  Dev1().AlarmCodes[0] = 7;
  Dev1().AlarmCount = 1;
  EXPECT_TRUE(Feed(AlarmAnswer({1, 1, 1}, std::vector<int>(56, 1))));
  EXPECT_EQ(Alarms(Dev1()), std::vector<int32_t>{7});
}

TEST_F(Quorvan, AllZeroAlarmBytesRaiseOnlyTheBcbAbsence) {
  RequestStep(3);
  Dev1().SuccessCount = 4;
  EXPECT_TRUE(Feed(AlarmAnswer({}, {})));
  EXPECT_EQ(Alarms(Dev1()), std::vector<int32_t>{148});
}

TEST_F(Quorvan, GenericAlarmBytesGiveOneHundredPlusTheirIndex) {
  RequestStep(3);
  Dev1().SuccessCount = 4;
  std::vector<int> bytes(56, 0);
  bytes[0] = 1;
  bytes[7] = 0xFF;
  bytes[34] = 2;
  bytes[36] = 0x80;
  bytes[48] = 0x33;  // neither 0 nor F1: nothing for byte 48
  bytes[49] = 1;
  bytes[55] = 9;
  EXPECT_TRUE(Feed(AlarmAnswer({}, bytes)));
  EXPECT_EQ(Alarms(Dev1()), (std::vector<int32_t>{100, 107, 134, 136, 149, 155}));
}

TEST_F(Quorvan, AlarmByte35CountsOnlyAsF1) {
  for (int value : {0x00, 0x01, 0xF0, 0xF1}) {
    SCOPED_TRACE(value);
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    rig->UpsInfo[1].SuccessCount = 4;
    TQuorvanProtocol handler{rig->Env};
    for (int i = 0; i < 3; ++i) handler.NextRequest();
    std::vector<int> bytes(56, 0);
    bytes[35] = value;
    bytes[48] = 0xF1;
    const std::string a = AlarmAnswer({}, bytes);
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    const std::vector<int32_t> expected = value == 0xF1 ? std::vector<int32_t>{135, 160} : std::vector<int32_t>{160};
    EXPECT_EQ(Alarms(rig->UpsInfo[1]), expected);
  }
}

TEST_F(Quorvan, AlarmByte48IsTheBcbState) {
  const std::vector<std::pair<int, std::vector<int32_t>>> cases = {
      {0x00, {148}}, {0xF1, {160}}, {0x01, {}}, {0xF0, {}}, {0xFF, {}},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    rig->UpsInfo[1].SuccessCount = 4;
    TQuorvanProtocol handler{rig->Env};
    for (int i = 0; i < 3; ++i) handler.NextRequest();
    std::vector<int> bytes(56, 0);
    bytes[48] = value;
    const std::string a = AlarmAnswer({}, bytes);
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    EXPECT_EQ(Alarms(rig->UpsInfo[1]), expected);
  }
}

TEST_F(Quorvan, SummaryBytesB0ToB5) {
  const std::vector<std::pair<std::vector<int>, std::vector<int32_t>>> cases = {
      {{1, 0, 0, 0, 0, 0, 0}, {201}},
      {{0, 2, 0, 0, 0, 0, 0}, {202}},
      {{0, 0, 3, 0, 0, 0, 0}, {203}},
      {{0, 0, 0, 4, 0, 0, 0}, {204}},
      {{0, 0, 0, 0, 5, 0, 0}, {205}},
      {{0, 0, 0, 0, 0, 0x01, 0}, {206}},
      {{0, 0, 0, 0, 0, 0x02, 0}, {207}},
      {{0, 0, 0, 0, 0, 0xF0, 0}, {208}},
      {{0, 0, 0, 0, 0, 0xE1, 0}, {209}},
      {{0, 0, 0, 0, 0, 0x05, 0}, {210}},
      {{0, 0, 0, 0, 0, 0xFF, 0}, {210}},
      {{0, 0, 0, 0, 0, 0, 0xFF}, {}},  // b6 is not used
      {{9, 9, 9, 9, 9, 0xE1, 9}, {201, 202, 203, 204, 205, 209}},
  };
  for (const auto& [b, expectedSummary] : cases) {
    SCOPED_TRACE(testing::PrintToString(b));
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    rig->UpsInfo[1].SuccessCount = 4;
    TQuorvanProtocol handler{rig->Env};
    for (int i = 0; i < 3; ++i) handler.NextRequest();
    std::vector<int> bytes(56, 0);
    bytes[48] = 0xF1;  // 160 heads the list instead of 148
    const std::string a = AlarmAnswer(b, bytes);
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    std::vector<int32_t> expected{160};
    expected.insert(expected.end(), expectedSummary.begin(), expectedSummary.end());
    EXPECT_EQ(Alarms(rig->UpsInfo[1]), expected);
  }
}

TEST_F(Quorvan, FullAlarmListHoldsSixtyTwoCodesInOrder) {
  RequestStep(3);
  Dev1().SuccessCount = 4;
  EXPECT_TRUE(Feed(AlarmAnswer({1, 1, 1, 1, 1, 0x77, 1}, std::vector<int>(56, 0xF1))));
  std::vector<int32_t> expected;
  for (int j = 0; j < 56; ++j) expected.push_back(j == 35 ? 135 : j == 48 ? 160 : 100 + j);
  for (int c : {201, 202, 203, 204, 205, 210}) expected.push_back(c);
  EXPECT_EQ(Alarms(Dev1()), expected);
  EXPECT_EQ(Dev1().AlarmCount, 62);
}

TEST_F(Quorvan, AlarmBytesBeyondAShortFrameCountAsZero) {
  RequestStep(3);
  Dev1().SuccessCount = 4;
  Dev1().AlarmCodes.fill(99);
  Dev1().AlarmCount = 80;
  // INFO 13..32 (b0..b6 and alarm byte 0), CHKSUM 33..36, EOI 37: the frame
  // ends at 37, so byte 1 (33-34) and byte 2 (35-36) come from the CHKSUM, byte
  // 3 (37-38) is cut and every later byte counts as 0, so byte 48 gives 148.
  const std::string a = Ans(Info(20, {{15, "00000000000000"}, {31, "07"}}));
  ASSERT_EQ(a.size(), 38u);
  EXPECT_TRUE(Feed(a));
  std::vector<int32_t> expected{100};
  if (a.substr(33, 2) != "00") expected.push_back(101);
  if (a.substr(35, 2) != "00") expected.push_back(102);
  expected.push_back(148);
  EXPECT_EQ(Alarms(Dev1()), expected);
}

TEST_F(Quorvan, AlarmAnswerWithEmptyInfoRaisesOnlyTheBcbAbsence) {
  RequestStep(3);
  Dev1().SuccessCount = 4;
  EXPECT_TRUE(Feed(Ans("")));
  // Characters 15..17 are CHKSUM and EOI: b0 reads two CHKSUM characters.
  const std::string a = Ans("");
  std::vector<int32_t> expected{148};
  if (a.substr(15, 2) != "00") expected.push_back(201);
  EXPECT_EQ(Alarms(Dev1()), expected);
}

// ---- Steps 4 and 5 -----------------------------------------------------------

TEST_F(Quorvan, Step4DecodesTheThreeLoads) {
  RequestStep(4);
  EXPECT_TRUE(Feed(Ans(Info(124, {{113, FloatHex(35.5f)}, {121, FloatHex(40.0f)}, {129, FloatHex(101.25f)}}))));
  EXPECT_EQ(Dev1().Measure.LoadA, 35.5);
  EXPECT_EQ(Dev1().Measure.LoadB, 40.0);
  EXPECT_EQ(Dev1().Measure.LoadC, 101.25);
}

TEST_F(Quorvan, Step4ShortFrameLeavesLoadsBeyondIt) {
  RequestStep(4);
  Dev1().Measure.LoadB = 7;
  Dev1().Measure.LoadC = 8;
  // INFO 13..120, CHKSUM 121..124, EOI 125: LoadB (121-128) is cut.
  const std::string a = Ans(Info(108, {{113, FloatHex(12.0f)}}));
  ASSERT_EQ(a.size(), 126u);
  EXPECT_TRUE(Feed(a));
  EXPECT_EQ(Dev1().Measure.LoadA, 12.0);
  EXPECT_EQ(Dev1().Measure.LoadB, 7);
  EXPECT_EQ(Dev1().Measure.LoadC, 8);
}

TEST_F(Quorvan, BackupTimeRoundsHalvesToEvenAndKeepsSixteenBits) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, int>> cases = {
      {2.5f, 2},         {3.5f, 4},      {0.5f, 0},      {1.5f, 2},       {2.4f, 2},   {2.6f, 3},
      {120.0f, 120},     {65535.0f, 65535}, {65536.0f, 0}, {65537.4f, 1}, {-1.0f, 65535}, {-2.5f, 65534},
      {std::nanf(""), 0}, {inf, 0},      {-inf, 0},      {1e30f, 0},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    auto rig = std::make_unique<TAsciiRig>();
    rig->SetDevices({1});
    rig->UpsInfo[1].Measure.BattBackupTime = 777;
    TQuorvanProtocol handler{rig->Env};
    for (int i = 0; i < 5; ++i) handler.NextRequest();
    ASSERT_EQ(handler.CmdStep, 5);
    const std::string a = Answer("11", 1, Info(108, {{113, FloatHex(value)}}));
    ASSERT_TRUE(handler.ParseAnswer(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size())));
    EXPECT_EQ(rig->UpsInfo[1].Measure.BattBackupTime, expected);
  }
}

TEST_F(Quorvan, BackupTimeBeyondAShortFrameIsLeft) {
  RequestStep(5);
  Dev1().Measure.BattBackupTime = 321;
  // INFO 13..112, CHKSUM 113..116, EOI 117: the float at 113-120 is cut.
  EXPECT_TRUE(Feed(Ans(Info(100, {}))));
  EXPECT_EQ(Dev1().Measure.BattBackupTime, 321);
}

TEST_F(Quorvan, NeverSetsCapacityCurrentsOrStatusWords) {
  Dev1().SuccessCount = 10;
  Dev1().Measure.BattCapacity = 55;
  Dev1().Status.CmmState1 = 0x1234;
  Dev1().Status.CmmAlarm1 = 0x4321;
  Dev1().ChargeCurrPos = 1.25;
  Rig.SetDevices({1});
  const std::string full(200, 'F');
  for (int step = 1; step <= 5; ++step) {
    Handler.NextRequest();
    EXPECT_TRUE(Feed(Ans(full)));
  }
  EXPECT_EQ(Dev1().Measure.BattCapacity, 55);
  EXPECT_EQ(Dev1().Status.CmmState1, 0x1234);
  EXPECT_EQ(Dev1().Status.CmmAlarm1, 0x4321);
  EXPECT_EQ(Dev1().ChargeCurrPos, 1.25);
}

}  // namespace
