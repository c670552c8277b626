// TYdtV31Protocol: request cycle, frames, answer checks A..F and
// the five decoders.

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
  TAsciiRig Rig;
  TYdtV31Protocol Handler{Rig.Env};

  // Hands the chunk over as the engine does: through the 400-byte receive buffer.
  bool Feed(const std::string& chunk) {
    const std::size_t n = std::min<std::size_t>(chunk.size(), RxBufSize);
    std::copy_n(chunk.begin(), n, Rig.Vars.RxBuf.begin());
    return Handler.ParseAnswer(Rig.Vars.RxBuf.data(), static_cast<int>(n));
  }
  std::string Sent() const { return TxText(Rig.Vars, Handler.FrameLen); }
  // Builds requests until one with command step `step` has gone to device 1.
  void RequestStep(int step) {
    Rig.SetDevices({1});
    for (int i = 0; i < 10 && !(Handler.CmdStep == step && Handler.DevAddr == 1); ++i) Handler.NextRequest();
    ASSERT_EQ(Handler.CmdStep, step);
    ASSERT_EQ(Handler.DevAddr, 1);
  }
  TUpsInfo& Dev1() { return Rig.UpsInfo[1]; }
  static std::string Ans(const std::string& info) { return Answer("31", 1, info); }
};

// ---- Requests ---------------------------------------------------------------

TEST_F(YdtV31, ConstructedWithDeviceOneAndNoStep) {
  EXPECT_EQ(Handler.DevAddr, 1);
  EXPECT_EQ(Handler.CmdStep, 0);
}

TEST_F(YdtV31, CommunicatingDeviceIsAskedTheFiveCommandsWithTheDocumentedFrames) {
  Rig.SetDevices({1});
  const std::vector<std::string> expected = {
      "~31012A420000FDA2\r", "~31012A430000FDA1\r", "~31012A440000FDA0\r",
      "~31012A800000FDA0\r", "~31012A820000FD9E\r",
  };
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    Rig.Vars.TxBuf.fill(0xAA);
    Handler.NextRequest();
    EXPECT_EQ(Handler.FrameLen, 18);
    EXPECT_EQ(Handler.DevAddr, 1);
    EXPECT_EQ(Handler.CmdStep, step);
    EXPECT_EQ(Rig.Vars.PollStep, step);
    EXPECT_EQ(Rig.Vars.StepCount, 5);
    EXPECT_EQ(Sent(), expected[step - 1]);
    EXPECT_EQ(Rig.Vars.TxBuf[18], 0) << "a zero byte follows the frame";
  }
}

TEST_F(YdtV31, AddressIsTwoUpperCaseHexDigits) {
  Rig.Vars.SearchMode = 1;
  Rig.Vars.SearchAddr = 0xAB;
  Handler.NextRequest();
  const std::string head = "~31AB2A430000";
  EXPECT_EQ(Sent(), head + ChecksumText(head) + "\r");
}

TEST_F(YdtV31, CycleMovesThroughTheDeviceListAfterFiveSteps) {
  Rig.SetDevices({3, 7});
  Rig.UpsInfo[1].CommState = 2;  // the constructor's DevAddr 1: not configured, lost
  std::vector<std::pair<int, std::string>> seen;
  for (int i = 0; i < 12; ++i) {
    Handler.NextRequest();
    seen.emplace_back(Handler.DevAddr, std::string(Handler.Cid2[Handler.CmdStep]));
  }
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "42"},                                                     // first request still goes to DevAddr 1
      {3, "42"}, {3, "43"}, {3, "44"}, {3, "80"}, {3, "82"},         //
      {7, "42"}, {7, "43"}, {7, "44"}, {7, "80"}, {7, "82"},         //
      {3, "42"},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Rig.DeviceList.CurAddr, 3);
}

TEST_F(YdtV31, LostDeviceIsAskedOnlyCommand42PerVisit) {
  Rig.SetDevices({3, 7});
  Rig.UpsInfo[3].CommState = 2;
  Rig.UpsInfo[1].CommState = 2;
  std::vector<std::pair<int, int>> seen;  // (address, step)
  for (int i = 0; i < 9; ++i) {
    Handler.NextRequest();
    seen.emplace_back(Handler.DevAddr, Handler.CmdStep);
  }
  const std::vector<std::pair<int, int>> expected = {
      {1, 1}, {3, 1}, {7, 1}, {7, 2}, {7, 3}, {7, 4}, {7, 5}, {3, 1}, {7, 1},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Sent(), "~31072A420000FD9C\r");
}

TEST_F(YdtV31, DeviceThatBecomesLostMidCycleMovesOnAtOnce) {
  Rig.SetDevices({3, 7});
  Handler.NextRequest();  // device 1, step 1
  Handler.NextRequest();  // device 1, step 2
  ASSERT_EQ(Handler.CmdStep, 2);
  Rig.UpsInfo[1].CommState = 2;
  Handler.NextRequest();
  EXPECT_EQ(Rig.Vars.StepCount, 1);
  EXPECT_EQ(Handler.DevAddr, 3);
  EXPECT_EQ(Handler.CmdStep, 1);
}

TEST_F(YdtV31, EmptyDeviceListPollsAddressZero) {
  Rig.SetDevices({});
  for (int i = 0; i < 6; ++i) Handler.NextRequest();
  EXPECT_EQ(Handler.DevAddr, 0);
  EXPECT_EQ(Sent(), "~31002A420000FDA3\r");
}

TEST_F(YdtV31, PollStepLeftOutOfRangeByAnotherHandlerWrapsToOne) {
  Rig.SetDevices({4});
  Rig.Vars.PollStep = 255;
  Handler.NextRequest();
  EXPECT_EQ(Rig.Vars.PollStep, 1);
  EXPECT_EQ(Handler.DevAddr, 4);
  EXPECT_EQ(Handler.CmdStep, 1);
}

TEST_F(YdtV31, SearchProbesTheSearchAddressWithCommand43AndLeavesTheCycle) {
  Rig.SetDevices({3});
  Rig.Vars.PollStep = 2;
  Rig.Vars.StepCount = 5;
  Rig.Vars.SearchMode = 1;
  Rig.Vars.SearchAddr = 17;
  Handler.NextRequest();
  EXPECT_EQ(Handler.DevAddr, 17);
  EXPECT_EQ(Handler.CmdStep, 2);
  EXPECT_EQ(Handler.FrameLen, 18);
  const std::string head = "~31112A430000";
  EXPECT_EQ(Sent(), head + ChecksumText(head) + "\r");
  EXPECT_EQ(Rig.Vars.PollStep, 2);
  EXPECT_EQ(Rig.Vars.StepCount, 5);
  EXPECT_EQ(Rig.DeviceList.Cursor, 0);
}

TEST_F(YdtV31, SearchAnswerWritesStatusIntoTheProbedRecord) {
  Rig.Vars.SearchMode = 1;
  Rig.Vars.SearchAddr = 17;
  Handler.NextRequest();
  EXPECT_TRUE(Feed(Answer("31", 17, Info(22, {{21, "8C00"}, {25, "C100"}}))));
  EXPECT_EQ(Rig.UpsInfo[17].Status.CmmState1, 0x8C00);
  EXPECT_EQ(Rig.UpsInfo[17].Status.StateValid, 1);
}

TEST_F(YdtV31, SearchWinsOverPause) {
  Rig.Vars.SearchMode = 1;
  Rig.Vars.Paused = 255;
  Rig.Vars.SearchAddr = 2;
  Handler.NextRequest();
  EXPECT_EQ(Handler.FrameLen, 18);
  EXPECT_EQ(Handler.DevAddr, 2);
}

TEST_F(YdtV31, PausedBuildsNothing) {
  Rig.SetDevices({3});
  Handler.NextRequest();
  Handler.NextRequest();
  const auto before = Rig.Vars.TxBuf;
  const uint8_t step = Rig.Vars.PollStep, cursor = Rig.DeviceList.Cursor, cmd = Handler.CmdStep;
  const uint16_t addr = Handler.DevAddr;
  Rig.Vars.Paused = 255;
  Handler.NextRequest();
  EXPECT_EQ(Handler.FrameLen, 0);
  EXPECT_EQ(Rig.Vars.TxBuf, before);
  EXPECT_EQ(Rig.Vars.PollStep, step);
  EXPECT_EQ(Rig.DeviceList.Cursor, cursor);
  EXPECT_EQ(Handler.DevAddr, addr);
  EXPECT_EQ(Handler.CmdStep, cmd);
}

TEST_F(YdtV31, AddressBeyondTheTableCountsAsLostAndDecodesNothing) {
  Rig.Vars.SearchMode = 1;
  Rig.Vars.SearchAddr = 253;
  Handler.NextRequest();
  EXPECT_EQ(Sent().substr(0, 5), "~31FD");
  EXPECT_TRUE(Feed(Answer("31", 253, Info(22, {{21, "8C00"}}))));
  Rig.Vars.SearchMode = 0;
  Rig.SetDevices({5});
  Rig.Vars.PollStep = 1;
  Handler.NextRequest();  // the previous device has no slot: one step, then the next device
  EXPECT_EQ(Rig.Vars.StepCount, 1);
  EXPECT_EQ(Handler.DevAddr, 5);
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
    auto rig = std::make_unique<TAsciiRig>();
    TYdtV31Protocol handler{rig->Env};
    rig->SetDevices({1});
    handler.NextRequest();
    handler.NextRequest();  // step 2, status words
    ASSERT_EQ(handler.CmdStep, 2);
    const TUpsInfo before = rig->UpsInfo[1];
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.Chunk.data());
    EXPECT_FALSE(handler.ParseAnswer(bytes, static_cast<int>(c.Chunk.size())));
    std::vector<int32_t> expected(6, 0);
    expected[static_cast<std::size_t>(c.Counter)] = 1;
    EXPECT_EQ(Counters(rig->Stats), expected);
    EXPECT_EQ(rig->UpsInfo[1].Status.CmmState1, before.Status.CmmState1);
    EXPECT_EQ(rig->UpsInfo[1].Status.StateValid, before.Status.StateValid);
    EXPECT_EQ(rig->UpsInfo[1].StateCode, before.StateCode);
    EXPECT_EQ(handler.CmdStep, 2) << "a rejected answer keeps the request outstanding";
  }
}

TEST_F(YdtV31, LowerCaseHexInTheHeaderFieldsIsReadAsHex) {
  RequestStep(2);
  std::string head = "~31012a00" + LengthText(22) + Info(22, {{21, "8C00"}});
  EXPECT_TRUE(Feed(head + ChecksumText(head) + "\r"));
}

TEST_F(YdtV31, NullOrNegativeLengthCountsInA) {
  EXPECT_FALSE(Handler.ParseAnswer(nullptr, 5));
  const uint8_t tilde = '~';
  EXPECT_FALSE(Handler.ParseAnswer(&tilde, -1));
  EXPECT_EQ(Counters(Rig.Stats), (std::vector<int32_t>{2, 0, 0, 0, 0, 0}));
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
  EXPECT_EQ(Handler.CmdStep, 0);
  EXPECT_TRUE(Feed(Ans(Info(22, {{21, "0400"}}))));
  EXPECT_EQ(Dev1().Status.CmmState1, 0x8C00);
}

TEST_F(YdtV31, AnswerBeforeAnyRequestIsAcceptedAndDecodesNothing) {
  const TUpsInfo before = Dev1();
  EXPECT_TRUE(Feed(Ans(Info(22, {{21, "8C00"}}))));
  EXPECT_EQ(Dev1().Status.CmmState1, before.Status.CmmState1);
  EXPECT_EQ(Dev1().StateCode, before.StateCode);
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

TEST_F(YdtV31, Step2ShortFrameLeavesFieldsBeyondItButStillComputesTheState) {
  RequestStep(2);
  Dev1().Status.InvState2 = 0x1111;
  Dev1().Status.SysState = 0x22;
  // INFO 13..24, CHKSUM 25..28, EOI 29: frame length 30. InvState1 (25-28) is
  // read from the CHKSUM characters; InvState2 (29-32) is cut and SysState
  // (33-34) lies beyond, so both keep their values.
  const std::string a = Ans(Info(12, {{19, "01"}, {21, "8000"}}));
  ASSERT_EQ(a.size(), 30u);
  EXPECT_TRUE(Feed(a));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.Status.UpsState, 1);
  EXPECT_EQ(d.Status.CmmState1, 0x8000);
  EXPECT_EQ(d.Status.InvState1, WordOf(a.substr(25, 4)));
  EXPECT_EQ(d.Status.InvState2, 0x1111);
  EXPECT_EQ(d.Status.SysState, 0x22);
  EXPECT_EQ(d.StateCode, ComputeStateCode(d.Status));
  EXPECT_EQ(d.Status.StateValid, 1);
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

TEST_F(YdtV31, Step1ShortFrameLeavesFieldsBeyondItUnchanged) {
  RequestStep(1);
  Dev1().Measure.DcInputVolt = 1.5;
  Dev1().Measure.OutputFreq = 2.5;
  // Frame length 18 + 35 = 53: characters 0..52. DcInputVolt (51-54) is cut
  // in half, OutputFreq (55-58) lies wholly beyond.
  EXPECT_TRUE(Feed(Ans(Info(35, {{15, "5604"}, {35, "5604"}}))));
  const TMeasureBlock& m = Dev1().Measure;
  EXPECT_DOUBLE_EQ(m.InputVoltA, 220.2);
  EXPECT_DOUBLE_EQ(m.OutputVoltC, 220.2);
  EXPECT_DOUBLE_EQ(m.DcInputVolt, 1.5);
  EXPECT_DOUBLE_EQ(m.OutputFreq, 2.5);
}

TEST_F(YdtV31, FieldsMayBeReadFromTheChecksumCharacters) {
  // Frame length 57: OutputFreq (55-58) is beyond, DcInputVolt (51-54) covers
  // the last INFO character and three CHKSUM characters; it is decoded.
  RequestStep(1);
  Dev1().Measure.OutputFreq = 9;
  const std::string a = Ans(Info(39, {{51, "A"}}));
  ASSERT_EQ(a.size(), 57u);
  EXPECT_TRUE(Feed(a));
  EXPECT_DOUBLE_EQ(Dev1().Measure.DcInputVolt, WordOf(a.substr(51, 4)) / 100.0);
  EXPECT_DOUBLE_EQ(Dev1().Measure.OutputFreq, 9);
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

TEST_F(YdtV31, Step3ShortFrameKeepsTheWordsBeyondIt) {
  RequestStep(3);
  Dev1().Status.InvAlarm1 = 0x0001;
  Dev1().Status.InvAlarm2 = 0x4000;
  Dev1().Status.SysAlarm = 0x1;
  // INFO 13..36, CHKSUM 37..40, EOI 41: frame length 42. CmmAlarm2 (37-40) is
  // read from the CHKSUM; InvAlarm1 (41-44) is cut, InvAlarm2 and SysAlarm lie
  // beyond.
  const std::string a = Ans(Info(24, {{33, "8000"}}));
  ASSERT_EQ(a.size(), 42u);
  EXPECT_TRUE(Feed(a));
  const TUpsInfo& d = Dev1();
  EXPECT_EQ(d.Status.CmmAlarm1, 0x8000);
  EXPECT_EQ(d.Status.CmmAlarm2, WordOf(a.substr(37, 4)));
  EXPECT_EQ(d.Status.InvAlarm1, 0x0001);
  EXPECT_EQ(d.Status.InvAlarm2, 0x4000);
  EXPECT_EQ(d.Status.SysAlarm, 0x1);
  ASSERT_GT(d.AlarmCount, 0);
  EXPECT_EQ(d.AlarmCodes[0], 0);
  EXPECT_EQ(Alarms(d).back(), 49) << "InvAlarm2 bit 14, kept from before";
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

TEST_F(YdtV31, Step4ShortFrameKeepsCurrentsBeyondItAndSumsWhatTheRecordHolds) {
  RequestStep(4);
  Dev1().ChargeCurrPos = 1;
  Dev1().ChargeCurrNeg = 2;
  Dev1().DischargeCurrPos = 3;
  Dev1().DischargeCurrNeg = 4;
  // INFO 13..146, CHKSUM 147..150, EOI 151: frame length 152. ChargeCurrNeg
  // (147-150) is read from the CHKSUM; DischargeCurrPos (151-154) is cut and
  // DischargeCurrNeg (155-158) lies beyond.
  const std::string a = Ans(Info(134, {{95, "0001"}, {143, "0064"}}));
  ASSERT_EQ(a.size(), 152u);
  EXPECT_TRUE(Feed(a));
  const TUpsInfo& d = Dev1();
  EXPECT_DOUBLE_EQ(d.Measure.LoadA, 1);
  EXPECT_DOUBLE_EQ(d.ChargeCurrPos, 1.0);
  EXPECT_DOUBLE_EQ(d.ChargeCurrNeg, WordOf(a.substr(147, 4)) / 100.0);
  EXPECT_DOUBLE_EQ(d.DischargeCurrPos, 3);
  EXPECT_DOUBLE_EQ(d.DischargeCurrNeg, 4);
  EXPECT_DOUBLE_EQ(d.Measure.BattChargeCurr, d.ChargeCurrPos + d.ChargeCurrNeg);
  EXPECT_DOUBLE_EQ(d.Measure.BattDischargeCurr, 7);
}

TEST_F(YdtV31, Step5DecodesBackupTimeAndCapacity) {
  RequestStep(5);
  EXPECT_TRUE(Feed(Ans(Info(30, {{35, "00F0"}, {39, "0055"}}))));
  EXPECT_EQ(Dev1().Measure.BattBackupTime, 240);
  EXPECT_EQ(Dev1().Measure.BattCapacity, 85);
}

TEST_F(YdtV31, Step5ShortFrameKeepsCapacity) {
  RequestStep(5);
  Dev1().Measure.BattCapacity = 42;
  // INFO 13..36, CHKSUM 37..40, EOI 41: frame length 42. The backup time
  // (35-38) takes two CHKSUM characters; the capacity (39-42) is cut.
  const std::string a = Ans(Info(24, {{35, "00"}}));
  ASSERT_EQ(a.size(), 42u);
  EXPECT_TRUE(Feed(a));
  EXPECT_EQ(Dev1().Measure.BattBackupTime, WordOf(a.substr(35, 4)));
  EXPECT_EQ(Dev1().Measure.BattCapacity, 42);
}

TEST_F(YdtV31, AnswerWithEmptyInfoIsAcceptedAndChangesNoField) {
  RequestStep(1);
  Dev1().Measure.InputVoltA = 3;
  EXPECT_TRUE(Feed(Ans("")));
  EXPECT_DOUBLE_EQ(Dev1().Measure.InputVoltA, 3);
}

TEST_F(YdtV31, CountersSaturate) {
  Rig.Stats.ErrA = INT32_MAX;
  EXPECT_FALSE(Feed("\r"));
  EXPECT_EQ(Rig.Stats.ErrA, INT32_MAX);
}

}  // namespace
