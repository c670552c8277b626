// TQuorvanProtocol: request frames, answer checks A..F, answers that belong
// to another request, the float decoders, the SuccessCount gate, StateFromSwitches and the alarm bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
  TAsciiRig<TQuorvanProtocol> Rig;

  bool Feed(const std::string& chunk) { return Rig.Feed(chunk); }
  void RequestStep(int step) { Rig.RequestStep(step); }
  TUpsInfo& Dev1() { return Rig.Record; }
  static std::string Ans(const std::string& info) { return Answer("11", 1, info); }

  // Feeds the answer to command step `step` in a fresh rig whose record has
  // reached `successCount`, and returns the record.
  static TUpsInfo Decoded(int step, const std::string& chunk, int32_t successCount = 4,
                          const std::function<void(TUpsInfo&)>& prepare = nullptr) {
    TAsciiRig<TQuorvanProtocol> rig;
    rig.Record.SuccessCount = successCount;
    if (prepare) prepare(rig.Record);
    rig.RequestStep(step);
    EXPECT_TRUE(rig.Feed(chunk));
    return rig.Record;
  }

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

TEST_F(Quorvan, TheFiveCommandsHaveTheDocumentedFramesAndAnswerLengths) {
  const std::vector<std::string> expected = {
      "~11012A410000FDA5\r", "~11012A430000FDA3\r", "~11012A440000FDA2\r",
      "~11012AE20000FD93\r", "~11012AE30000FD92\r",
  };
  const std::vector<int> infoLengths = {90, 24, 130, 124, 108};
  EXPECT_EQ(Rig.Handler.FirstAddress(), 1);
  EXPECT_EQ(Rig.Handler.CycleSteps(), 5);
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    const TRequest r = Rig.Handler.CycleRequest(1, step);
    EXPECT_EQ(FrameText(r), expected[step - 1]);
    EXPECT_EQ(r.Frame[18], 0);
    EXPECT_EQ(r.Func, step);
    EXPECT_EQ(r.AnswerLen, 18 + infoLengths[step - 1]);
  }
  EXPECT_EQ(FrameText(Rig.Handler.CycleRequest(9, 1)), "~11092A410000FD9D\r");
}

TEST_F(Quorvan, SearchProbesWithCommand43) {
  const TRequest r = Rig.Handler.SearchRequest(0x1F);
  EXPECT_EQ(r.Addr, 0x1F);
  EXPECT_EQ(r.Func, 2);
  EXPECT_TRUE(r.Probe);
  const std::string head = "~111F2A430000";
  EXPECT_EQ(FrameText(r), head + ChecksumText(head) + "\r");
}

// ---- Answer checks A..F -----------------------------------------------------

TEST_F(Quorvan, EachMalformedAnswerCountsInExactlyItsCounterAndStoresNothing) {
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
    ExpectRefused<TQuorvanProtocol>(2, 1, c.Chunk, c.Counter);
  }
}

// ---- Answers that belong to another request ----------------------------------

TEST_F(Quorvan, AnIntactAnswerToAnotherCommandIsRefusedInE) { ExpectEachAnswerFitsOnlyItsCommand<TQuorvanProtocol>(); }

TEST_F(Quorvan, AnInfoLengthOtherThanTheCommandsIsRefusedInE) { ExpectWrongInfoLengthsRefused<TQuorvanProtocol>(); }

TEST_F(Quorvan, AnswersOfAnotherDeviceOrProtocolAreRefused) {
  const std::string status = Info(24, {{15, "01"}, {25, "E0"}});
  const struct {
    const char* Name;
    int Step;
    uint16_t Addr;
    std::string Chunk;
    int Counter;
  } cases[] = {
      {"43 answered by device 2", 2, 1, Answer("11", 2, status), 2},
      {"the answer to a probe of device 0x1F", 2, 1, Answer("11", 0x1F, status), 2},
      {"the modular-UPS version", 2, 1, Answer("31", 1, status), 1},
      {"the answer to 41 from device 2", 2, 1, Answer("11", 2, Info(90, {})), 2},
      // A modular-UPS answer to 43 has an INFO of 22: with VER 11 it would still be refused.
      {"an answer with the other protocol's INFO length", 2, 1, Answer("11", 1, Info(22, {})), 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectRefused<TQuorvanProtocol>(c.Step, c.Addr, c.Chunk, c.Counter);
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
  EXPECT_EQ(Dev1().DecodedSteps, 0u) << "the status does not count as received";
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
  EXPECT_EQ(d.DecodedSteps, StepBit(2));
}

// A resend's answer is the device's first word on a step whose first answer
// came below the gate; once a step is decoded, a repeat changes nothing.
TEST_F(Quorvan, AResendsAnswerTakesTheStatusTheFirstAnswerWasTooEarlyFor) {
  RequestStep(2);
  Dev1().SuccessCount = 3;
  EXPECT_TRUE(Feed(StatusAnswer({{15, "02"}})));
  EXPECT_EQ(Dev1().DecodedSteps, 0u);
  ++Rig.Request.Answers;  // as the engine counts it
  Dev1().SuccessCount = 4;
  EXPECT_TRUE(Feed(StatusAnswer({{15, "02"}})));
  EXPECT_EQ(Dev1().UpsSupply, 2);
  EXPECT_EQ(Dev1().StateCode, StateBypass);
  EXPECT_EQ(Dev1().DecodedSteps, StepBit(2));
  ++Rig.Request.Answers;
  EXPECT_TRUE(Feed(StatusAnswer({{15, "01"}})));
  EXPECT_EQ(Dev1().UpsSupply, 2) << "the step was decoded";
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
    // Every other code place holds "XX", which no row knows (BattTestFlag: 0).
    std::string info = Info(24, {{15, "XX"}, {19, "XX"}, {25, "XX"}, {29, "XX"}, {31, "XX"}, {33, "XX"}, {35, "XX"}});
    info.replace(static_cast<std::size_t>(c.Pos - 13), 2, c.Code);
    const TUpsInfo d = Decoded(2, Answer("11", 1, info), 4, [&c](TUpsInfo& r) { r.*c.Field = static_cast<uint8_t>(c.Before); });
    EXPECT_EQ(d.*c.Field, c.After);
  }
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
    const std::string a = Answer("11", 1, Info(24, {{15, upsCodes[c.UpsSupply]}, {19, c.BattTest ? "E0" : "00"},
                                                    {25, inputCodes[c.InputSupply]}, {31, c.Maint ? "E1" : "E0"}}));
    EXPECT_EQ(Decoded(2, a, 100).StateCode, c.State);
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
    std::vector<int> bytes(56, 0);
    bytes[35] = value;
    bytes[48] = 0xF1;
    const std::vector<int32_t> expected = value == 0xF1 ? std::vector<int32_t>{135, 160} : std::vector<int32_t>{160};
    EXPECT_EQ(Alarms(Decoded(3, AlarmAnswer({}, bytes))), expected);
  }
}

TEST_F(Quorvan, AlarmByte48IsTheBcbState) {
  const std::vector<std::pair<int, std::vector<int32_t>>> cases = {
      {0x00, {148}}, {0xF1, {160}}, {0x01, {}}, {0xF0, {}}, {0xFF, {}},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    std::vector<int> bytes(56, 0);
    bytes[48] = value;
    EXPECT_EQ(Alarms(Decoded(3, AlarmAnswer({}, bytes))), expected);
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
    std::vector<int> bytes(56, 0);
    bytes[48] = 0xF1;  // 160 heads the list instead of 148
    std::vector<int32_t> expected{160};
    expected.insert(expected.end(), expectedSummary.begin(), expectedSummary.end());
    EXPECT_EQ(Alarms(Decoded(3, AlarmAnswer(b, bytes))), expected);
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

// ---- Steps 4 and 5 -----------------------------------------------------------

TEST_F(Quorvan, Step4DecodesTheThreeLoads) {
  RequestStep(4);
  EXPECT_TRUE(Feed(Ans(Info(124, {{113, FloatHex(35.5f)}, {121, FloatHex(40.0f)}, {129, FloatHex(101.25f)}}))));
  EXPECT_EQ(Dev1().Measure.LoadA, 35.5);
  EXPECT_EQ(Dev1().Measure.LoadB, 40.0);
  EXPECT_EQ(Dev1().Measure.LoadC, 101.25);
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
    const std::string a = Answer("11", 1, Info(108, {{113, FloatHex(value)}}));
    const TUpsInfo d = Decoded(5, a, 0, [](TUpsInfo& r) { r.Measure.BattBackupTime = 777; });
    EXPECT_EQ(d.Measure.BattBackupTime, expected);
  }
}

TEST_F(Quorvan, NeverSetsCapacityCurrentsOrStatusWords) {
  Dev1().SuccessCount = 10;
  Dev1().Measure.BattCapacity = 55;
  Dev1().Status.CmmState1 = 0x1234;
  Dev1().Status.CmmAlarm1 = 0x4321;
  Dev1().ChargeCurrPos = 1.25;
  for (int step = 1; step <= 5; ++step) {
    RequestStep(step);
    EXPECT_TRUE(Feed(Ans(std::string(static_cast<std::size_t>(TQuorvanProtocol::Commands[step].InfoLen), 'F'))));
  }
  EXPECT_EQ(Dev1().Measure.BattCapacity, 55);
  EXPECT_EQ(Dev1().Status.CmmState1, 0x1234);
  EXPECT_EQ(Dev1().Status.CmmAlarm1, 0x4321);
  EXPECT_EQ(Dev1().ChargeCurrPos, 1.25);
}

}  // namespace
