// TYdtV31Protocol: request frames, answer checks A..F, answers that belong
// to another request, and the five decoders.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "protocols/AsciiTestFrames.h"
#include "protocols/YdtV31Protocol.h"

using namespace tessaro;
using namespace tessaro::testing_ascii;

namespace {

class YdtV31 : public ::testing::Test {
 protected:
  TAsciiRig<TYdtV31Protocol> Rig;

  bool Feed(const std::string& chunk) { return Rig.Feed(chunk); }
  void RequestStep(int step) { Rig.RequestStep(step); }
  TUpsInfo& Dev1() { return Rig.Record; }
  static std::string Ans(const std::string& info) { return Answer("31", 1, info); }
};

// ---- Requests ---------------------------------------------------------------

TEST_F(YdtV31, TalksToDeviceOneFirstWithACycleOfFiveCommands) {
  EXPECT_EQ(Rig.Handler.FirstAddress(), 1);
  EXPECT_EQ(Rig.Handler.CycleSteps(), 5);
}

TEST_F(YdtV31, TheFiveCommandsHaveTheDocumentedFramesAndAnswerLengths) {
  const std::vector<std::string> expected = {
      "~31012A420000FDA2\r", "~31012A430000FDA1\r", "~31012A440000FDA0\r",
      "~31012A800000FDA0\r", "~31012A820000FD9E\r",
  };
  const std::vector<int> infoLengths = {46, 22, 38, 146, 30};
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    const TRequest r = Rig.Handler.CycleRequest(1, step);
    EXPECT_EQ(FrameText(r), expected[step - 1]);
    EXPECT_EQ(r.FrameLen, 18);
    EXPECT_EQ(r.Frame[18], 0) << "a zero byte follows the frame";
    EXPECT_EQ(r.Addr, 1);
    EXPECT_EQ(r.Func, step);
    EXPECT_EQ(r.AnswerLen, 18 + infoLengths[step - 1]);
    EXPECT_FALSE(r.Probe);
  }
  EXPECT_EQ(FrameText(Rig.Handler.CycleRequest(0, 1)), "~31002A420000FDA3\r");
  EXPECT_EQ(FrameText(Rig.Handler.CycleRequest(7, 1)), "~31072A420000FD9C\r");
}

// A request with nothing to send can be answered by nothing, not even an
// intact answer to one of the five commands.
void ExpectStepsBuildNothing(std::initializer_list<int> steps) {
  TAsciiRig<TYdtV31Protocol> rig;
  for (int step : steps) {
    SCOPED_TRACE(step);
    rig.Request = rig.Handler.CycleRequest(1, step);
    EXPECT_EQ(rig.Request.FrameLen, 0);
    EXPECT_EQ(rig.Request.AnswerLen, 0);
    for (int answered = 1; answered <= 5; ++answered) {
      const auto infoLen = static_cast<std::size_t>(TYdtV31Protocol::Commands[answered].InfoLen);
      EXPECT_FALSE(rig.Feed(Answer("31", 1, std::string(infoLen, '4')))) << "answer to step " << answered;
    }
  }
}

TEST_F(YdtV31, StepOutsideTheCycleBuildsNothingAndMatchesNothing) { ExpectStepsBuildNothing({0, 6, -1, 255}); }

TEST_F(YdtV31, StepThatWrapsIntoTheCycleInEightBitsMatchesNothing) {
  // Step 257 is step 1 in eight bits: a request with no frame matches nothing.
  ExpectStepsBuildNothing({257, 258, -255});
}

TEST_F(YdtV31, SearchProbeIsCommand43WithTheAddressAsTwoUpperCaseHexDigits) {
  const TRequest r = Rig.Handler.SearchRequest(0xAB);
  const std::string head = "~31AB2A430000";
  EXPECT_EQ(FrameText(r), head + ChecksumText(head) + "\r");
  EXPECT_TRUE(r.Probe);
  EXPECT_EQ(r.Addr, 0xAB);
  EXPECT_EQ(r.Func, AsciiSearchStep);
  EXPECT_EQ(r.AnswerLen, 18 + 22);
  EXPECT_FALSE(Rig.Handler.TakesCommands());
}

TEST_F(YdtV31, SearchAnswerIsDecodedIntoTheProbedRecord) {
  Rig.Request = Rig.Handler.SearchRequest(17);
  EXPECT_TRUE(Feed(Answer("31", 17, Info(22, {{21, "8C00"}, {25, "C100"}}))));
  EXPECT_EQ(Rig.Record.Status.CmmState1, 0x8C00);
  EXPECT_EQ(Rig.Record.Status.StateValid, 1);
  EXPECT_EQ(Rig.Record.DecodedSteps, 0u) << "a probe is no step of the cycle";
  Rig.RequestStep(2, 17);
  EXPECT_TRUE(Feed(Answer("31", 17, Info(22, {{21, "8C00"}}))));
  EXPECT_EQ(Rig.Record.DecodedSteps, StepBit(2));
  EXPECT_EQ(Rig.Handler.RequiredSteps(), 0b11111u) << "every command carries live values";
}

// ---- Answer checks A..F -----------------------------------------------------

struct TCheckCase {
  const char* Name;
  std::string Chunk;
  int Counter;  // 0 = A .. 5 = F
};

std::vector<TCheckCase> CheckCases() {
  const std::string info = Info(22, {{21, "8C00"}});
  const std::string good = Answer("31", 1, info);
  std::string badSum = good;
  badSum[good.size() - 2] = badSum[good.size() - 2] == '0' ? '1' : '0';
  // A checksum with letters in it, sent in lower case.
  std::string lowerSum = Answer("31", 1, "");  // ~31012A000000FDA8
  for (std::size_t i = lowerSum.size() - 5; i < lowerSum.size() - 1; ++i)
    lowerSum[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowerSum[i])));
  std::string lowerLen = Answer("31", 1, "AB");  // LENGTH E002
  lowerLen[9] = 'e';
  return {
      {"OnlyCarriageReturn", "\r", 0},
      {"NoSoi", " " + good.substr(1), 0},
      {"EmptyChunk", "", 0},
      {"WrongVersion", Answer("32", 1, info), 1},
      {"PowerFrequencyVersion", Answer("11", 1, info), 1},
      {"TruncatedAfterVersionDigit", "~3", 1},
      {"OtherAddress", Answer("31", 2, info), 2},
      {"WrongCid1", Answer("31", 1, info, "2B"), 3},
      {"ReturnCode4", Answer("31", 1, info, "2A", "04"), 3},
      {"CutInsideCid1", good.substr(0, 6), 3},
      {"LengthDoesNotMatch", good.substr(0, 20) + good.substr(21), 4},
      {"LowerCaseLength", lowerLen, 4},
      {"TwoFramesInOneChunk", good + good, 4},
      {"ChecksumWrong", badSum, 5},
      {"LowerCaseChecksum", lowerSum, 5},
  };
}

TEST_F(YdtV31, EachMalformedAnswerCountsInExactlyItsCounterAndStoresNothing) {
  for (const TCheckCase& c : CheckCases()) {
    SCOPED_TRACE(c.Name);
    ExpectRefused<TYdtV31Protocol>(2, 1, c.Chunk, c.Counter);
  }
}

// ---- Answers that belong to another request ----------------------------------

TEST_F(YdtV31, AnIntactAnswerToAnotherCommandIsRefusedInE) { ExpectEachAnswerFitsOnlyItsCommand<TYdtV31Protocol>(); }

TEST_F(YdtV31, AnInfoLengthOtherThanTheCommandsIsRefusedInE) { ExpectWrongInfoLengthsRefused<TYdtV31Protocol>(); }

TEST_F(YdtV31, AnswersOfAnotherDeviceOrProtocolAreRefused) {
  const std::string status = Info(22, {{21, "8C00"}});
  const struct {
    const char* Name;
    int Step;
    uint16_t Addr;
    std::string Chunk;
    int Counter;
  } cases[] = {
      {"43 answered by device 2", 2, 1, Answer("31", 2, status), 2},
      {"the answer to a probe of device 17", 2, 1, Answer("31", 17, status), 2},
      {"device 1 answering the request to device 0", 2, 0, Answer("31", 1, status), 2},
      {"the power-frequency version", 2, 1, Answer("11", 1, status), 1},
      {"the answer to 42 from device 2", 2, 1, Answer("31", 2, Info(46, {})), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectRefused<TYdtV31Protocol>(c.Step, c.Addr, c.Chunk, c.Counter);
  }
}

TEST_F(YdtV31, LowerCaseHexInTheHeaderFieldsIsReadAsHex) {
  RequestStep(2);
  std::string head = "~31012a00" + LengthText(22) + Info(22, {{21, "8C00"}});
  EXPECT_TRUE(Feed(head + ChecksumText(head) + "\r"));
}

TEST_F(YdtV31, EoiIsNotExamined) {
  RequestStep(2);
  std::string a = Ans(Info(22, {{21, "8C00"}}));
  a.back() = 'X';
  EXPECT_TRUE(Feed(a));
}

TEST_F(YdtV31, SecondAnswerToTheSameRequestIsAcceptedButDecodesNothing) {
  RequestStep(2);
  EXPECT_TRUE(Feed(Ans(Info(22, {{21, "8C00"}}))));
  ++Rig.Request.Answers;  // as the engine counts it
  const std::vector<uint8_t> before = RecordBytes(Dev1());
  EXPECT_TRUE(Feed(Ans(Info(22, {{21, "0400"}}))));
  EXPECT_TRUE(RecordBytes(Dev1()) == before);
  EXPECT_EQ(Dev1().Status.CmmState1, 0x8C00);
}

// ---- Decoders -----------------------------------------------------------------

TEST_F(YdtV31, WorkedExampleAnswerTo43) {
  RequestStep(2);
  const std::string frame = "~31012A009016000000048C00C100000000F945\r";
  ASSERT_EQ(frame.size(), 40u);
  ASSERT_EQ(frame, Ans(Info(22, {{19, "04"}, {21, "8C00"}, {25, "C100"}})));  // our own making agrees
  EXPECT_TRUE(Feed(frame));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.Status.UpsState, 0x04);
  EXPECT_EQ(d.Status.CmmState1, 0x8C00);
  EXPECT_EQ(d.Status.InvState1, 0xC100);
  EXPECT_EQ(d.Status.InvState2, 0);
  EXPECT_EQ(d.Status.SysState, 0);
  EXPECT_EQ(d.Status.StateValid, 1);
  // Inverter path (bit 8) without start-up bits: standby.
  EXPECT_EQ(d.StateCode, StateStandby);
  EXPECT_EQ(d.InputSwitch, 1);
  EXPECT_EQ(d.BypassSwitch, 1);
  EXPECT_EQ(d.OutputSwitch, 1);
  EXPECT_EQ(d.MaintSwitch, 0);
  EXPECT_EQ(d.InputSupply, 1);
  EXPECT_EQ(d.UpsSupply, 1);
  EXPECT_EQ(Counters(Rig.Stats), std::vector<int32_t>(6, 0));
}

TEST_F(YdtV31, Step2DecodesEveryStatusFieldAndTheState) {
  RequestStep(2);
  Dev1().Status.CmmState2 = 0x1234;
  EXPECT_TRUE(Feed(Ans(Info(22, {{19, "7F"}, {21, "4400"}, {25, "0780"}, {29, "0ABC"}, {33, "5A"}}))));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.Status.UpsState, 0x7F);
  EXPECT_EQ(d.Status.CmmState1, 0x4400);
  EXPECT_EQ(d.Status.InvState1, 0x0780);
  EXPECT_EQ(d.Status.InvState2, 0x0ABC);
  EXPECT_EQ(d.Status.SysState, 0x5A);
  EXPECT_EQ(d.Status.CmmState2, 0x1234) << "not set by this protocol";
  EXPECT_EQ(d.StateCode, StateOnline);
}

TEST_F(YdtV31, Step2Hex4StopsAtTheFirstNonHexCharacter) {
  RequestStep(2);
  EXPECT_TRUE(Feed(Ans(Info(22, {{21, "8G00"}, {25, "C1 0"}}))));
  EXPECT_EQ(Dev1().Status.CmmState1, 0x8);
  EXPECT_EQ(Dev1().Status.InvState1, 0xC1);
}

TEST_F(YdtV31, Step1DecodesTheAnalogValues) {
  RequestStep(1);
  Dev1().Measure.LoadA = 7;
  const std::string info = Info(46, {{15, "55F0"}, {19, "5604"}, {23, "0 1F"}, {27, "55F1"}, {31, "0000"}, {35, "FFFF"},
                                     {51, "A410"}, {55, "1388"}});
  EXPECT_TRUE(Feed(Ans(info)));
  const TMeasureBlock& m = Dev1().Measure;
  EXPECT_DOUBLE_EQ(m.InputVoltA, 0x55F0 / 100.0);
  EXPECT_DOUBLE_EQ(m.InputVoltB, 0x5604 / 100.0);
  EXPECT_DOUBLE_EQ(m.InputVoltC, 0.31) << "a word skips non-hex characters";
  EXPECT_DOUBLE_EQ(m.OutputVoltA, 0x55F1 / 100.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltB, 0);
  EXPECT_DOUBLE_EQ(m.OutputVoltC, 655.35);
  EXPECT_DOUBLE_EQ(m.DcInputVolt, 0xA410 / 100.0);
  EXPECT_DOUBLE_EQ(m.OutputFreq, 50.0);
  EXPECT_DOUBLE_EQ(m.LoadA, 7) << "not part of this answer";
}

TEST_F(YdtV31, Step3DecodesTheAlarmWordsAndRebuildsTheList) {
  RequestStep(3);
  Dev1().StateCode = 4;
  EXPECT_TRUE(Feed(Ans(Info(38, {{33, "0001"}, {37, "C040"}, {41, "0004"}, {45, "8080"}, {49, "C0"}}))));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.Status.CmmAlarm1, 0x0001);
  EXPECT_EQ(d.Status.CmmAlarm2, 0xC040);
  EXPECT_EQ(d.Status.InvAlarm1, 0x0004);
  EXPECT_EQ(d.Status.InvAlarm2, 0x8080);
  EXPECT_EQ(d.Status.SysAlarm, 0xC0);
  // SysAlarm holds one byte (bits 7 and 6), below the alarm range of bits 15..8.
  EXPECT_EQ(Alarms(d), (std::vector<int32_t>{15, 16, 17, 25, 45, 48, 56}));
  EXPECT_EQ(d.StateCode, 4) << "the state is not recomputed by the answer to 44";
}

TEST_F(YdtV31, Step4DecodesLoadsAndBatteryCurrents) {
  RequestStep(4);
  const std::string info = Info(146, {{95, "0032"}, {99, "0064"}, {103, "000A"},
                                      {143, "03E8"}, {147, "01F4"}, {151, "0064"}, {155, "00C8"}});
  EXPECT_TRUE(Feed(Ans(info)));
  const TUpsInfo& d = Dev1();
  EXPECT_DOUBLE_EQ(d.Measure.LoadA, 50);
  EXPECT_DOUBLE_EQ(d.Measure.LoadB, 100);
  EXPECT_DOUBLE_EQ(d.Measure.LoadC, 10);
  EXPECT_DOUBLE_EQ(d.ChargeCurrPos, 10);
  EXPECT_DOUBLE_EQ(d.ChargeCurrNeg, 5);
  EXPECT_DOUBLE_EQ(d.DischargeCurrPos, 1);
  EXPECT_DOUBLE_EQ(d.DischargeCurrNeg, 2);
  EXPECT_DOUBLE_EQ(d.Measure.BattChargeCurr, 15);
  EXPECT_DOUBLE_EQ(d.Measure.BattDischargeCurr, 3);
}

TEST_F(YdtV31, Step5DecodesBackupTimeAndCapacity) {
  RequestStep(5);
  EXPECT_TRUE(Feed(Ans(Info(30, {{35, "00F0"}, {39, "0055"}}))));
  EXPECT_EQ(Dev1().Measure.BattBackupTime, 240);
  EXPECT_EQ(Dev1().Measure.BattCapacity, 85);
}

TEST_F(YdtV31, CountersSaturate) {
  RequestStep(1);
  Rig.Stats.ErrA = INT32_MAX;
  EXPECT_FALSE(Feed("\r"));
  EXPECT_EQ(Rig.Stats.ErrA, INT32_MAX);
}

}  // namespace
