// The Modbus handler TMModbus: requests (cycle steps, search probe, write
// commands) with their CRC, and answers: which match a request, and how a
// matching one is decoded.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/Catalogue.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "engine/CommandQueue.h"
#include "protocols/Handler.h"
#include "protocols/MModbus.h"
#include "protocols/ModbusTestFrames.h"

#if __has_include(<modbus/modbus.h>)
#include <dlfcn.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>
#define TESSARO_HAVE_LIBMODBUS_HEADERS 1
#endif

using namespace tessaro;
using namespace tessaro::testing_modbus;

namespace {

std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
  }
  return s;
}

Bytes FromHex(const std::string& text) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    b.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return b;
}

class Modbus : public ::testing::Test {
 protected:
  Modbus() {
    Record.Address = 1;
    Record.CommState = 0;
  }

  // The request in flight becomes cycle step `step` to `addr`, or a command.
  void Cycle(uint16_t addr, int step) { Request = Handler.CycleRequest(addr, step); }
  void Command(uint8_t addr, uint8_t func, int32_t reg, int32_t count = 1) {
    Command(TWriteCommand{addr, func, reg, count, CommandValue, ParamImage});
  }
  void Command(const TWriteCommand& command) { Request = Handler.CommandRequest(command); }
  // A function-6 write of `reg` to `addr`, with CommandValue and ParamImage.
  Bytes Write(uint8_t addr, int32_t reg) {
    Command(addr, 6, reg);
    return Sent();
  }

  // The frame of the request in flight.
  Bytes Sent() const { return Bytes(Request.Frame.begin(), Request.Frame.begin() + Request.FrameLen); }
  static Bytes FrameOf(const TRequest& r) { return Bytes(r.Frame.begin(), r.Frame.begin() + r.FrameLen); }

  // The engine's receive path: the chunk, in an allocation of exactly its
  // length, is decoded into the record only when it matches the request.
  bool Feed(const Bytes& b) {
    const Bytes exact(b);
    const std::span<const uint8_t> answer(exact.data(), exact.size());
    if (!Handler.Matches(Request, answer, Stats)) return false;
    return Handler.Decode(Request, answer, Record);
  }

  // Byte snapshot of the record, for "nothing stored" checks.
  Bytes Snapshot() const {
    Bytes b(sizeof(TUpsInfo));
    std::memcpy(b.data(), &Record, sizeof(TUpsInfo));
    return b;
  }

  std::string Model;
  TMModbus Handler{Model};
  TRequest Request;
  TUpsInfo Record;
  TPollStats Stats;
  uint16_t CommandValue = 0;
  TParamImage ParamImage{};
};

// ---------------------------------------------------------------- CRC

TEST(ModbusCrc, KnownVectors) {
  const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(TMModbus::Crc16(check.data(), 9), 0x4B37);
  const Bytes classic{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(TMModbus::Crc16(classic.data(), 6), 0x0A84);  // sent as 84 0A
  const Bytes step1{0x01, 0x04, 0x75, 0x30, 0x00, 0x0E};
  EXPECT_EQ(TMModbus::Crc16(step1.data(), 6), 0xCD6B);  // sent as 6B CD
  EXPECT_EQ(TMModbus::Crc16(nullptr, 0), 0xFFFF);
}

TEST(ModbusCrc, CompleteFrameGivesZero) {
  const Bytes frame{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  EXPECT_EQ(TMModbus::Crc16(frame.data(), 8), 0);
  const Bytes step1 = FromHex("01 04 75 30 00 0E 6B CD");
  EXPECT_EQ(TMModbus::Crc16(step1.data(), 8), 0);
}

TEST(ModbusCrc, MatchesTableDrivenReferenceOnRandomData) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 500; ++round) {
    Bytes b(rng() % 300);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    ASSERT_EQ(TMModbus::Crc16(b.data(), static_cast<int>(b.size())), RefCrc(b));
  }
}

// ---------------------------------------------------------------- requests

TEST_F(Modbus, CycleFramesOfEachStepExactlyAsTheTable) {
  struct TCase {
    const char* Frame;
    uint8_t Func;
    int32_t Reg, Count, AnswerLen;
  };
  const TCase cases[] = {
      {"01 04 75 30 00 0E 6B CD", 4, 30001, 14, 33}, {"01 04 75 44 00 12 2A 1E", 4, 30021, 18, 41},
      {"01 04 75 80 00 0B AA 29", 4, 30081, 11, 27}, {"01 03 9C 40 00 1C 6B 87", 3, 40001, 28, 61},
      {"01 03 9C 5C 00 01 6A 48", 3, 40029, 1, 7},
  };
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    const TCase& c = cases[step - 1];
    const TRequest r = Handler.CycleRequest(1, step);
    EXPECT_EQ(Hex(FrameOf(r)), c.Frame);
    EXPECT_EQ(r.Addr, 1);
    EXPECT_EQ(r.Func, c.Func);
    EXPECT_EQ(r.Reg, c.Reg);
    EXPECT_EQ(r.Count, c.Count);
    EXPECT_EQ(r.AnswerLen, c.AnswerLen);
    EXPECT_FALSE(r.Probe);
    EXPECT_EQ(r.Answers, 0u);
  }
  EXPECT_EQ(Hex(FrameOf(Handler.CycleRequest(9, 1))), Hex(WithCrc({9, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_EQ(Handler.FirstAddress(), 0);
  EXPECT_TRUE(Handler.TakesCommands());
}

TEST_F(Modbus, OnlyTheExactRxaModelGivesTheFifthStepAndItIsReadAtEveryCall) {
  for (const char* model : {"", "GDS7100", "rxa410lt", "RXA410LT "}) {
    Model = model;
    EXPECT_EQ(Handler.CycleSteps(), 4) << model;
  }
  Model = "RXA410LT";  // typed into the password gate meanwhile
  EXPECT_EQ(Handler.CycleSteps(), 5);
}

TEST_F(Modbus, SearchProbeReadsTheFirstBlockOfTheProbedAddress) {
  const TRequest r = Handler.SearchRequest(7);
  EXPECT_EQ(Hex(FrameOf(r)), Hex(WithCrc({7, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_TRUE(r.Probe);
  EXPECT_EQ(r.Addr, 7);
  EXPECT_EQ(r.AnswerLen, 33);
  EXPECT_EQ(Hex(FrameOf(Handler.SearchRequest(1))), "01 04 75 30 00 0E 6B CD");
  EXPECT_EQ(Hex(FrameOf(Handler.SearchRequest(252))), Hex(WithCrc({252, 4, 0x75, 0x30, 0x00, 0x0E})));
}

TEST_F(Modbus, WriteCommandFramesOfTheDialogs) {
  struct TCase {
    int32_t Reg;
    uint16_t Value;
    const char* Frame;
  };
  const TCase cases[] = {
      {20001, 1, "01 06 4E 20 00 01 5E E8"},   // remote on
      {20002, 1, "01 06 4E 21 00 01 0F 28"},   // remote off
      {20003, 60, "01 06 4E 22 00 3C 3E F9"},  // battery test, 60 s
      {20003, 0, "01 06 4E 22 00 00 3E E8"},   // cancel the test
      {50000, 0, "01 06 C3 4F 00 1E 04 51"},   // GDS7100 prefix: constant 30
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Frame);
    CommandValue = c.Value;
    EXPECT_EQ(Hex(Write(1, c.Reg)), c.Frame);
    EXPECT_EQ(Request.Addr, 1);
    EXPECT_EQ(Request.AnswerLen, 8);
  }
}

TEST_F(Modbus, UnsupportedFunctionBuildsNothingAndMatchesNothing) {
  for (uint8_t func : {0, 5, 7, 15, 17, 0x84}) {
    SCOPED_TRACE(int(func));
    Command(1, func, 20001);
    EXPECT_EQ(Request.FrameLen, 0);
    EXPECT_EQ(Request.AnswerLen, 0);
    EXPECT_EQ(Request.Addr, 1);
    EXPECT_EQ(CheckModbusAnswer(Request, WithCrc({1, func, 0x4E, 0x20, 0x00, 0x00})), TModbusCheck::NoRequest);
    EXPECT_FALSE(Feed(WithCrc({1, func, 0x4E, 0x20, 0x00, 0x00})));
  }
}

TEST_F(Modbus, QueuedReadIsBuiltAsARead) {
  Command(1, 3, 40001, 1);
  EXPECT_EQ(Hex(Sent()), Hex(WithCrc({1, 3, 0x9C, 0x40, 0x00, 0x01})));
  EXPECT_EQ(Request.AnswerLen, 7);
  Command(1, 1, 1, 16);  // coils from register 1: wire address 0; 16 bits in 2 bytes
  EXPECT_EQ(Hex(Sent()), Hex(WithCrc({1, 1, 0x00, 0x00, 0x00, 0x10})));
  EXPECT_EQ(Request.AnswerLen, 7);
  Command(1, 2, 1, 17);  // 17 bits: 3 bytes
  EXPECT_EQ(Request.AnswerLen, 8);
  Command(1, 4, 30001, 126);  // a byte count of 252 still fits one answer ...
  EXPECT_EQ(Request.AnswerLen, 5 + 252);
  Command(1, 4, 30001, 128);  // ... 256 does not: nothing can answer it
  EXPECT_EQ(Request.FrameLen, 8);
  EXPECT_EQ(Request.AnswerLen, 0);
}

TEST_F(Modbus, ParameterWritesCarryParamImageValues) {
  ParamImage.SysId = 3;
  ParamImage.WorkMode = -1;        // low 16 bits
  ParamImage.BypassVoltMin = -20;  // bits as stored
  ParamImage.ConfigFlags = 0x3000;
  ParamImage.OperationMode = 2;
  struct TCase {
    int32_t Reg;
    uint16_t Value;
  };
  for (const TCase& c : {TCase{40002, 3}, TCase{40004, 0xFFFF}, TCase{40013, 0xFFEC}, TCase{40027, 0x3000},
                         TCase{40029, 2}, TCase{40010, 0}, TCase{40001, 0}}) {
    SCOPED_TRACE(c.Reg);
    const uint16_t wire = static_cast<uint16_t>(c.Reg - 1);
    EXPECT_EQ(Hex(Write(17, c.Reg)), Hex(WithCrc({17, 6, static_cast<uint8_t>(wire >> 8), static_cast<uint8_t>(wire),
                                                   static_cast<uint8_t>(c.Value >> 8), static_cast<uint8_t>(c.Value)})));
  }
}

TEST_F(Modbus, WriteValueOfEveryRegister) {
  TWriteCommand values;
  TParamImage& p = values.ParamImage;
  p.SysId = 1;
  p.ParamReg40003 = 2;
  p.WorkMode = 0x12345;  // low 16 bits
  p.VoltLevel = 220;
  p.FreqLevel = 50;
  p.ParallelNum = 4;
  p.RedundancyNum = 5;
  p.ParamReg40009 = 6;
  p.BypassFreqRange = 7;
  p.BypassVoltMax = 15;
  p.BypassVoltMin = -30;
  p.OutputVoltFine = 11;
  p.BattNum = 32;
  p.ParamReg40016 = 13;
  p.BattGroup = 2;
  p.BoostVolt = 235;
  p.FloatVolt = 227;
  p.EodVolt = 175;
  p.BattCapAh = 100;
  p.PreAlarmTime = 5;
  p.MaxChargeCurr = 20;
  p.BoostLastTime = 60;
  p.ConfigFlags = 0x1000;
  p.ParamReg40028 = 0x7777;  // never sent
  p.OperationMode = 1;
  values.CommandValue = 0xBEEF;
  const std::pair<int, int> table[] = {
      {20001, 0xBEEF}, {20002, 0xBEEF}, {20003, 0xBEEF}, {40001, 0}, {40002, 1},   {40003, 2},
      {40004, 0x2345}, {40005, 220},    {40006, 50},     {40007, 4}, {40008, 5},   {40009, 6},
      {40010, 0},      {40011, 7},      {40012, 15},     {40013, 0xFFE2},          {40014, 11},
      {40015, 32},     {40016, 13},     {40017, 2},      {40018, 235},             {40019, 227},
      {40020, 175},    {40021, 100},    {40022, 5},      {40023, 20},              {40024, 0},
      {40025, 60},     {40026, 0},      {40027, 0x1000}, {40028, 0},               {40029, 1},
      {50000, 30},     {20000, 0},      {20004, 0},      {30001, 0},               {40030, 0},
      {0, 0},          {-1, 0},
  };
  for (auto [reg, value] : table) EXPECT_EQ(TMModbus::WriteValueOf(values, reg), value) << reg;
}

TEST_F(Modbus, Function16FrameWithParamValues) {
  ParamImage.SysId = 1;
  ParamImage.ParamReg40003 = 2;
  ParamImage.WorkMode = 3;
  Command(1, 16, 40002, 3);
  EXPECT_EQ(Hex(Sent()), Hex(WithCrc({1, 0x10, 0x9C, 0x41, 0x00, 0x03, 0x06, 0, 1, 0, 2, 0, 3})));
  EXPECT_EQ(Request.FrameLen, 9 + 6);
  EXPECT_EQ(Request.AnswerLen, 8);
}

TEST_F(Modbus, Function16UsesLow16BitsOfCountAndMustFitTheBuffer) {
  Command(1, 16, 40001, 123);  // 9 + 246 = 255 bytes
  EXPECT_EQ(Request.FrameLen, 255);
  EXPECT_EQ(TMModbus::Crc16(Request.Frame.data(), 255), 0);
  EXPECT_EQ(Request.Frame[6], 246);
  Command(1, 16, 40001, 124);  // 257 bytes: not built
  EXPECT_EQ(Request.FrameLen, 0);
  EXPECT_EQ(Request.AnswerLen, 0);
  Command(1, 16, 40001, 0x10001);  // low 16 bits: 1
  EXPECT_EQ(Request.FrameLen, 11);
  EXPECT_EQ(Request.Frame[4], 0);
  EXPECT_EQ(Request.Frame[5], 1);
  EXPECT_EQ(Request.Frame[6], 2);
  Command(1, 16, 40001, 0);
  EXPECT_EQ(Hex(Sent()), Hex(WithCrc({1, 0x10, 0x9C, 0x40, 0, 0, 0})));
}

TEST_F(Modbus, WireAddressIsRegisterMinusOne) {
  for (auto [reg, hi, lo] : {std::tuple{30001, 0x75, 0x30}, {40001, 0x9C, 0x40}, {20003, 0x4E, 0x22},
                             {50000, 0xC3, 0x4F}, {1, 0x00, 0x00}, {0, 0xFF, 0xFF}}) {
    const Bytes f = FrameOf(TMModbus::BuildRequest(1, 4, reg, 1));
    EXPECT_EQ(f[2], hi) << reg;
    EXPECT_EQ(f[3], lo) << reg;
  }
}

// ---------------------------------------------------------------- answers: decoding

TEST_F(Modbus, WorkedExampleStep1Answer) {
  Cycle(1, 1);
  const Bytes answer = FromHex(
      "01 04 1C 08 98 08 98 08 98 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "08 98 08 98 08 98 01 F4 B7 9D");
  ASSERT_EQ(answer.size(), 33u);
  ASSERT_EQ(answer, ReadAnswer(1, 4, {2200, 2200, 2200, 0, 0, 0, 0, 0, 0, 0, 2200, 2200, 2200, 500}));
  EXPECT_TRUE(Feed(answer));
  const TMeasureBlock& m = Record.Measure;
  EXPECT_DOUBLE_EQ(m.InputVoltA, 220.0);
  EXPECT_DOUBLE_EQ(m.InputVoltB, 220.0);
  EXPECT_DOUBLE_EQ(m.InputVoltC, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltA, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltB, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltC, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputFreq, 50.0);
  EXPECT_EQ(Record.StateCode, -1);  // no status register in this block
  EXPECT_EQ(Record.Status.StateValid, 0);
}

TEST_F(Modbus, Step2AnswerLoadsAndBattery) {
  Cycle(3, 2);
  ASSERT_EQ(Request.Reg, 30021);
  TUpsInfo& u = Record;
  const Bytes before = Snapshot();
  // 30021..30038: loads, 7 unmapped registers (30024..30030), battery group values.
  EXPECT_TRUE(Feed(ReadAnswer(3, 4, {45, 50, 55, 1, 2, 3, 4, 5, 6, 7, 2701, 2699, 12, 3, 0, 1, 87, 123})));
  EXPECT_DOUBLE_EQ(u.Measure.LoadA, 45);
  EXPECT_DOUBLE_EQ(u.Measure.LoadB, 50);
  EXPECT_DOUBLE_EQ(u.Measure.LoadC, 55);
  EXPECT_DOUBLE_EQ(u.BattVoltPos, 2701 * 0.1);
  EXPECT_DOUBLE_EQ(u.BattVoltNeg, 2699 * 0.1);
  EXPECT_DOUBLE_EQ(u.Measure.DcInputVolt, 2701 * 0.1 + 2699 * 0.1);
  EXPECT_DOUBLE_EQ(u.ChargeCurrPos, 1.2);
  EXPECT_DOUBLE_EQ(u.ChargeCurrNeg, 3 * 0.1);
  EXPECT_DOUBLE_EQ(u.Measure.BattChargeCurr, 1.2 + 3 * 0.1);
  EXPECT_DOUBLE_EQ(u.DischargeCurrPos, 0);
  EXPECT_DOUBLE_EQ(u.DischargeCurrNeg, 0.1);
  EXPECT_DOUBLE_EQ(u.Measure.BattDischargeCurr, 0.1);
  EXPECT_EQ(u.Measure.BattCapacity, 87);
  EXPECT_EQ(u.Measure.BattBackupTime, 123);
  // Nothing else of the measurement block moved.
  TUpsInfo old;
  std::memcpy(static_cast<void*>(&old), before.data(), sizeof old);
  EXPECT_EQ(u.Measure.InputVoltA, old.Measure.InputVoltA);
  EXPECT_EQ(u.Measure.OutputFreq, old.Measure.OutputFreq);
  EXPECT_EQ(u.StateCode, -1);
}

TEST_F(Modbus, Register30032UsesBattVoltPosAlreadyStored) {
  Cycle(3, 1);
  TUpsInfo& u = Record;
  u.BattVoltPos = 100.0;
  TMModbus::StoreRegister(Record, 30032, 1000);
  EXPECT_DOUBLE_EQ(u.Measure.DcInputVolt, 200.0);
  TMModbus::StoreRegister(Record, 30031, 500);  // alone: the sum is not refreshed
  EXPECT_DOUBLE_EQ(u.Measure.DcInputVolt, 200.0);
  EXPECT_DOUBLE_EQ(u.BattVoltPos, 50.0);
}

TEST_F(Modbus, Step3AnswerStatusWordsGiveStateSwitchesAndAlarms) {
  Cycle(4, 3);
  ASSERT_EQ(Request.Reg, 30081);
  TUpsInfo& u = Record;
  // 30081 UpsState, 30082 CmmState1, 30083 CmmState2, 30084 InvState1,
  // 30085 InvState2, 30086 CmmAlarm1, 30087 CmmAlarm2, 30088 InvAlarm1,
  // 30089 InvAlarm2, 30090 SysState, 30091 SysAlarm.
  EXPECT_TRUE(Feed(ReadAnswer(
      4, 4, {0x1234, 0xCC00, 0x0102, 0xC780, 0x0800, 0x0000, 0x4000, 0x0001, 0x1000, 0xABCD, 0x0100})));
  EXPECT_EQ(u.Status.UpsState, 0x34);
  EXPECT_EQ(u.Status.CmmState1, 0xCC00);
  EXPECT_EQ(u.Status.CmmState2, 0x0102);
  EXPECT_EQ(u.Status.InvState1, 0xC780);
  EXPECT_EQ(u.Status.InvState2, 0x0800);
  EXPECT_EQ(u.Status.CmmAlarm1, 0);
  EXPECT_EQ(u.Status.CmmAlarm2, 0x4000);
  EXPECT_EQ(u.Status.InvAlarm1, 0x0001);
  EXPECT_EQ(u.Status.InvAlarm2, 0x1000);
  EXPECT_EQ(u.Status.SysState, 0xABCD);
  EXPECT_EQ(u.Status.SysAlarm, 0x0100);
  EXPECT_EQ(u.StateCode, StateOnline);
  EXPECT_EQ(u.Status.StateValid, 1);
  EXPECT_EQ(u.InputSwitch, 1);
  EXPECT_EQ(u.BypassSwitch, 1);
  EXPECT_EQ(u.OutputSwitch, 1);
  EXPECT_EQ(u.MaintSwitch, 0);
  EXPECT_EQ(u.InputSupply, 1);
  EXPECT_EQ(u.UpsSupply, 1);
  ASSERT_EQ(u.AlarmCount, 4);
  EXPECT_EQ(std::vector<int32_t>(u.AlarmCodes.begin(), u.AlarmCodes.begin() + 4),
            (std::vector<int32_t>{17, 47, 51, 71}));
}

TEST_F(Modbus, Step3AnswerFaultAndBatteryStates) {
  Cycle(4, 3);
  TUpsInfo& u = Record;
  EXPECT_TRUE(Feed(ReadAnswer(4, 4, {0, 0, 0, 0, 0, 0x0001, 0, 0, 0, 0, 0})));
  EXPECT_EQ(u.StateCode, StateFault);
  ASSERT_EQ(u.AlarmCount, 1);
  EXPECT_EQ(u.AlarmCodes[0], 15);
  // Battery: InvState1 0x0780, CmmState1 0x4800 (bit 14, bit 11, bit 10 clear).
  EXPECT_TRUE(Feed(ReadAnswer(4, 4, {0, 0x4800, 0, 0x0780, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(u.StateCode, StateBattery);
  EXPECT_EQ(u.InputSupply, 2);
  EXPECT_EQ(u.AlarmCount, 0);
  // All zero: standby, no alarms, everything open.
  EXPECT_TRUE(Feed(ReadAnswer(4, 4, std::vector<uint16_t>(11, 0))));
  EXPECT_EQ(u.StateCode, StateStandby);
  EXPECT_EQ(u.InputSwitch + u.OutputSwitch + u.BypassSwitch + u.MaintSwitch + u.InputSupply + u.UpsSupply, 0);
}

TEST_F(Modbus, StateIsRecomputedAfterEachStatusRegister) {
  Cycle(4, 3);
  TUpsInfo& u = Record;
  TMModbus::StoreRegister(Record, 30082, 0x2000);  // EPO bit
  EXPECT_EQ(u.StateCode, StateEpo);
  EXPECT_EQ(u.Status.StateValid, 1);
  TMModbus::StoreRegister(Record, 30082, 0);
  EXPECT_EQ(u.StateCode, StateStandby);
  u.StateCode = 77;
  TMModbus::StoreRegister(Record, 30081, 0xFF05);
  EXPECT_EQ(u.Status.UpsState, 5);
  EXPECT_EQ(u.StateCode, StateStandby);
  u.StateCode = 77;
  TMModbus::StoreRegister(Record, 30080, 1);  // not a status register
  TMModbus::StoreRegister(Record, 30092, 1);
  EXPECT_EQ(u.StateCode, 77);
}

TEST_F(Modbus, Step4AnswerHoldingRegisters) {
  Cycle(6, 4);
  ASSERT_EQ(Request.Reg, 40001);
  TUpsInfo& u = Record;
  std::vector<uint16_t> regs = {
      0x9999,  // 40001 ignored
      0x0102,  // 40002 SysId low 8 bits
      0x0203,  // 40003
      0x0004,  // 40004 WorkMode
      0x01E6,  // 40005 VoltLevel: 0xE6 = 230
      0x0032,  // 40006 FreqLevel 50
      0x0003,  // 40007
      0x0001,  // 40008
      0x0109,  // 40009
      0x8888,  // 40010 ignored
      0x000A,  // 40011
      0x000F,  // 40012
      0xFFEC,  // 40013 BypassVoltMin: -20
      0x0014,  // 40014
      0x0020,  // 40015
      0x0016,  // 40016
      0x0002,  // 40017
      0x00EB,  // 40018
      0x00E3,  // 40019
      0x00AF,  // 40020
      0x0064,  // 40021
      0x0005,  // 40022
      0x0014,  // 40023
      0x7777,  // 40024 ignored
      0x003C,  // 40025
      0x6666,  // 40026 ignored
      0x3000,  // 40027
      0xBEEF,  // 40028
  };
  EXPECT_TRUE(Feed(ReadAnswer(6, 3, regs)));
  EXPECT_EQ(u.Params.SysId, 0x02);
  EXPECT_EQ(u.Params.ParamReg40003, 0x03);
  EXPECT_EQ(u.Params.WorkMode, 4);
  EXPECT_EQ(u.Params.VoltLevel, 230);
  EXPECT_EQ(u.Params.FreqLevel, 50);
  EXPECT_EQ(u.Params.ParallelNum, 3);
  EXPECT_EQ(u.Params.RedundancyNum, 1);
  EXPECT_EQ(u.Params.ParamReg40009, 9);
  EXPECT_EQ(u.Params.BypassFreqRange, 10);
  EXPECT_EQ(u.Params.BypassVoltMax, 15);
  EXPECT_EQ(u.Params.BypassVoltMin, -20);
  EXPECT_EQ(u.Params.OutputVoltFine, 20);
  EXPECT_EQ(u.Params.BattNum, 32);
  EXPECT_EQ(u.Params.ParamReg40016, 0x16);
  EXPECT_EQ(u.Params.BattGroup, 2);
  EXPECT_EQ(u.Params.BoostVolt, 235);
  EXPECT_EQ(u.Params.FloatVolt, 227);
  EXPECT_EQ(u.Params.EodVolt, 175);
  EXPECT_EQ(u.Params.BattCapAh, 100);
  EXPECT_EQ(u.Params.PreAlarmTime, 5);
  EXPECT_EQ(u.Params.MaxChargeCurr, 20);
  EXPECT_EQ(u.Params.BoostLastTime, 60);
  EXPECT_EQ(u.Params.ConfigFlags, 0x3000);
  EXPECT_EQ(u.Params.ParamReg40028, 0xBEEF);
  EXPECT_EQ(u.Params.OperationMode, 0);  // 40029 is not in this block
  EXPECT_EQ(u.StateCode, -1);

  Cycle(6, 5);
  ASSERT_EQ(Request.Reg, 40029);
  EXPECT_TRUE(Feed(ReadAnswer(6, 3, {0x0102})));
  EXPECT_EQ(u.Params.OperationMode, 2);
}

TEST_F(Modbus, WorkModeKeepsTheFullUnsignedValue) {
  Cycle(6, 1);
  TMModbus::StoreRegister(Record, 40004, 0xFFFF);
  EXPECT_EQ(Record.Params.WorkMode, 65535);
}

TEST_F(Modbus, WriteEchoIsAcceptedAndChangesNothing) {
  CommandValue = 1;
  const Bytes request = Write(1, 20001);
  const Bytes before = Snapshot();
  EXPECT_TRUE(Feed(request));  // the echo of a function-6 write is the request itself
  EXPECT_EQ(Snapshot(), before);
  // A function-16 answer: address, 16, first register and count of the request.
  Command(1, 16, 40002, 3);
  EXPECT_TRUE(Feed(WithCrc({1, 0x10, 0x9C, 0x41, 0x00, 0x03})));
  EXPECT_EQ(Snapshot(), before);
}

// ---------------------------------------------------------------- answers: rejection

TEST_F(Modbus, BadAnswersAreRejectedWithoutTouchingTheRecord) {
  Cycle(1, 1);
  const Bytes good = ReadAnswer(1, 4, {2200, 2200, 2200, 0, 0, 0, 0, 0, 0, 0, 2200, 2200, 2200, 500});
  Bytes badCrc = good;
  badCrc.back() ^= 0x01;
  Bytes flipped = good;
  flipped[5] ^= 0x40;
  Bytes longer = good;
  longer.push_back(0x55);
  // A trailing zero byte (a line break after the frame, say) leaves the CRC at
  // 0: only the frame's length shows that the chunk is not one frame.
  Bytes trailingZero = good;
  trailingZero.push_back(0x00);
  ASSERT_EQ(TMModbus::Crc16(trailingZero.data(), static_cast<int>(trailingZero.size())), 0);
  Bytes trailingZeros = trailingZero;
  trailingZeros.push_back(0x00);
  Bytes exceptionTrailingZero = WithCrc({1, 0x84, 0x02});
  exceptionTrailingZero.push_back(0x00);
  // Byte count 28 announced, only two registers (4 data bytes) before the CRC.
  const Bytes countBeyondFrame = WithCrc({1, 4, 28, 0x08, 0x98, 0x08, 0x98});
  const Bytes countShortOfFrame = WithCrc({1, 4, 2, 0x08, 0x98, 0x08, 0x98});
  Bytes twoFrames = good;
  twoFrames.insert(twoFrames.end(), good.begin(), good.end());
  const Bytes shorter(good.begin(), good.end() - 1);
  const Bytes truncated(good.begin(), good.begin() + 20);
  const Bytes broadcast = ReadAnswer(0, 4, std::vector<uint16_t>(14, 1));
  const Bytes crcOnly = WithCrc({1, 4});
  const struct {
    const char* Name;
    Bytes Frame;
    TModbusCheck Why;
  } cases[] = {
      {"bad CRC", badCrc, TModbusCheck::BadCrc},
      {"corrupted byte", flipped, TModbusCheck::BadCrc},
      {"trailing byte", longer, TModbusCheck::BadCrc},
      {"trailing zero", trailingZero, TModbusCheck::BadLength},
      {"two trailing zeros", trailingZeros, TModbusCheck::BadLength},
      {"exception + zero", exceptionTrailingZero, TModbusCheck::BadLength},
      {"byte count beyond the frame", countBeyondFrame, TModbusCheck::BadLength},
      {"byte count short of the frame", countShortOfFrame, TModbusCheck::BadLength},
      {"no byte count", crcOnly, TModbusCheck::BadLength},
      {"two frames", twoFrames, TModbusCheck::BadCrc},
      {"one byte short", shorter, TModbusCheck::BadCrc},
      {"truncated", truncated, TModbusCheck::BadCrc},
      {"address 0", broadcast, TModbusCheck::WrongAddress},
      // Well formed, of the request's function, but not an accepted answer.
      {"exception of the request's function", WithCrc({1, 0x84, 0x02}), TModbusCheck::Accepted},
      {"empty", Bytes{}, TModbusCheck::TooShort},
      {"one byte", Bytes{1}, TModbusCheck::TooShort},
      {"two bytes", Bytes{1, 4}, TModbusCheck::TooShort},
      {"three bytes", Bytes{1, 4, 0}, TModbusCheck::TooShort},
  };
  const Bytes before = Snapshot();
  for (const auto& c : cases) {
    EXPECT_EQ(CheckModbusAnswer(Request, c.Frame), c.Why) << c.Name;
    EXPECT_FALSE(Feed(c.Frame)) << c.Name;
    EXPECT_EQ(Snapshot(), before) << c.Name;
  }
  EXPECT_TRUE(Feed(good));
  EXPECT_NE(Snapshot(), before);
}

// Answers that are whole, intact frames, but to another request than the one
// in flight (a late answer, another function, another count ...): none is
// accepted and none stores anything, not even the registers it carries.
TEST_F(Modbus, AnswersThatBelongToAnotherRequestAreRefusedAndStoreNothing) {
  const std::vector<uint16_t> block1 = {2300, 2310, 2320, 1, 2, 3, 4, 5, 6, 7, 2300, 2300, 2300, 500};
  const std::vector<uint16_t> block2(18, 77);
  const std::vector<uint16_t> status = {1, 0x8000, 0, 0x8000, 0, 0x0002};  // 6 of the 11 status words
  Bytes countLies = ReadAnswer(1, 4, block1);
  countLies[2] = 26;  // right length for 14 registers, byte count of 13
  const uint16_t lieCrc = RefCrc(Bytes(countLies.begin(), countLies.end() - 2));
  countLies[countLies.size() - 2] = static_cast<uint8_t>(lieCrc & 0xFF);
  countLies[countLies.size() - 1] = static_cast<uint8_t>(lieCrc >> 8);
  struct TCase {
    const char* Name;
    TWriteCommand Sent;  // Func 0: cycle step Reg of device Addr
    Bytes Answer;
    TModbusCheck Why;
  };
  const auto step = [](uint8_t addr, int n) { return TWriteCommand{addr, 0, n, 0, 0, {}}; };
  const auto write = [](uint8_t func, int32_t reg, int32_t count, uint16_t value) {
    return TWriteCommand{1, func, reg, count, value, {}};
  };
  const TCase cases[] = {
      {"the answer to step 1 against step 2's request", step(1, 2), ReadAnswer(1, 4, block1), TModbusCheck::BadLength},
      {"the answer to step 2 against step 1's request", step(1, 1), ReadAnswer(1, 4, block2), TModbusCheck::BadLength},
      {"the answer to step 1 from device 1 against device 2's", step(2, 1), ReadAnswer(1, 4, block1), TModbusCheck::WrongAddress},
      {"the answer to step 1 from device 2 against device 1's", step(1, 1), ReadAnswer(2, 4, block1), TModbusCheck::WrongAddress},
      {"a function-3 answer against a function-4 request", step(1, 1), ReadAnswer(1, 3, block1), TModbusCheck::WrongFunction},
      {"a function-4 answer against a function-3 request", step(1, 4), ReadAnswer(1, 4, std::vector<uint16_t>(28, 9)), TModbusCheck::WrongFunction},
      {"the answer to step 5 against step 4's request", step(1, 4), ReadAnswer(1, 3, {0x0102}), TModbusCheck::BadLength},
      {"3 registers of the 14 asked", step(1, 1), ReadAnswer(1, 4, {2300, 2310, 2320}), TModbusCheck::BadLength},
      {"15 registers of the 14 asked", step(1, 1), ReadAnswer(1, 4, std::vector<uint16_t>(15, 100)), TModbusCheck::BadLength},
      {"6 status words of the 11 asked", step(1, 3), ReadAnswer(1, 4, status), TModbusCheck::BadLength},
      {"a byte count that is not 2 x count", step(1, 1), countLies, TModbusCheck::BadByteCount},
      {"an odd byte count", write(4, 30001, 1, 0), WithCrc({1, 4, 3, 0x08, 0x98, 0x77}), TModbusCheck::BadLength},
      {"no registers for one asked", write(4, 30001, 1, 0), WithCrc({1, 4, 0}), TModbusCheck::BadLength},
      {"a write echo with another value", write(6, 20001, 1, 1), WithCrc({1, 6, 0x4E, 0x20, 0x00, 0x02}), TModbusCheck::WrongEcho},
      {"a write echo of another register", write(6, 20001, 1, 1), WithCrc({1, 6, 0x4E, 0x21, 0x00, 0x01}), TModbusCheck::WrongEcho},
      {"a write echo against a read", step(1, 1), WithCrc({1, 6, 0x75, 0x30, 0x00, 0x0E}), TModbusCheck::WrongFunction},
      {"a function-16 echo with another count", write(16, 40002, 3, 0), WithCrc({1, 0x10, 0x9C, 0x41, 0x00, 0x02}), TModbusCheck::WrongEcho},
      {"a function-16 echo of another register", write(16, 40002, 3, 0), WithCrc({1, 0x10, 0x9C, 0x42, 0x00, 0x03}), TModbusCheck::WrongEcho},
      {"an exception of function 3 against a function-4 read", step(1, 1), WithCrc({1, 0x83, 0x01}), TModbusCheck::WrongFunction},
      {"an exception of function 6 against a read", step(1, 3), WithCrc({1, 0x86, 0x02}), TModbusCheck::WrongFunction},
      {"an exception of function 4 against a write", write(6, 20001, 1, 1), WithCrc({1, 0x84, 0x02}), TModbusCheck::WrongFunction},
      {"an exception from another device", step(1, 1), WithCrc({2, 0x84, 0x02}), TModbusCheck::WrongAddress},
      {"another function without bit 7", step(1, 1), WithCrc({1, 5, 0x00, 0x00, 0xFF, 0x00}), TModbusCheck::WrongFunction},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Sent.Func == 0)
      Cycle(c.Sent.Addr, c.Sent.Reg);
    else
      Command(c.Sent);
    Record.StateCode = 3;
    Record.AlarmCount = 2;
    Record.AlarmCodes[0] = 7;
    const Bytes before = Snapshot();
    EXPECT_EQ(CheckModbusAnswer(Request, c.Answer), c.Why);
    EXPECT_FALSE(Feed(c.Answer));
    EXPECT_EQ(Snapshot(), before);
  }
  EXPECT_EQ(Stats.ParseFailures + Stats.ErrA + Stats.ErrE, 0) << "the Modbus handler counts nothing";
}

TEST_F(Modbus, ZeroRegistersAskedTakesAnEmptyReadAnswer) {
  Command(1, 3, 40001, 0);
  EXPECT_EQ(Request.AnswerLen, 5);
  const Bytes before = Snapshot();
  EXPECT_TRUE(Feed(WithCrc({1, 3, 0})));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(Feed(WithCrc({1, 3, 2, 0x00, 0x01})));
}

TEST_F(Modbus, FrameWhoseCrcHighByteIsZeroIsAccepted) {
  // Such a frame is also "a shorter frame plus a zero byte" as far as the CRC
  // goes; its length tells them apart.
  Cycle(1, 1);
  std::vector<uint16_t> regs(14, 0);
  Bytes answer;
  for (uint16_t v = 0;; ++v) {
    regs[0] = v;
    answer = ReadAnswer(1, 4, regs);
    if (answer.back() == 0) break;
  }
  EXPECT_TRUE(Feed(answer));
  EXPECT_DOUBLE_EQ(Record.Measure.InputVoltA, regs[0] * 0.1);
  for (uint16_t v = 0;; ++v) {
    CommandValue = v;
    const Bytes frame = Write(1, 20001);
    ASSERT_EQ(frame.size(), 8u);
    if (frame[7] == 0) break;
  }
  EXPECT_TRUE(Feed(Sent()));
}

TEST_F(Modbus, EachCycleReadMarksItsStepButProbesCommandsAndRefusalsDoNot) {
  EXPECT_EQ(Handler.RequiredSteps(), StepBit(1) | StepBit(2) | StepBit(3)) << "settings are not live values";
  Cycle(1, 2);
  EXPECT_FALSE(Feed(WithCrc({1, 0x84, 0x02})));  // the device refuses the step
  EXPECT_EQ(Record.DecodedSteps, 0u);
  EXPECT_TRUE(Feed(ReadAnswer(1, 4, std::vector<uint16_t>(18, 1))));
  EXPECT_EQ(Record.DecodedSteps, StepBit(2));
  Cycle(1, 4);
  EXPECT_TRUE(Feed(ReadAnswer(1, 3, std::vector<uint16_t>(28, 1))));
  EXPECT_EQ(Record.DecodedSteps, StepBit(2) | StepBit(4));

  Record.DecodedSteps = 0;
  Command(1, 4, 30001, 14);  // a queued read of the first block
  EXPECT_TRUE(Feed(ReadAnswer(1, 4, std::vector<uint16_t>(14, 1))));
  Request = Handler.SearchRequest(1);
  EXPECT_TRUE(Feed(ReadAnswer(1, 4, std::vector<uint16_t>(14, 1))));
  EXPECT_EQ(Record.DecodedSteps, 0u);
}

// ---------------------------------------------------------------- answers during a search

TEST_F(Modbus, DuringASearchAMatchingAnswerOrExceptionCountsAsFoundAndStoresNothing) {
  Request = Handler.SearchRequest(9);
  const Bytes before = Snapshot();
  EXPECT_TRUE(Feed(WithCrc({9, 0x84, 0x02})));  // exception answer
  EXPECT_TRUE(Feed(ReadAnswer(9, 4, std::vector<uint16_t>(14, 2200))));
  EXPECT_EQ(Snapshot(), before);  // nothing decoded during a search
  EXPECT_FALSE(Feed(ReadAnswer(9, 4, {1})));  // not the probe's count
  EXPECT_FALSE(Feed(ReadAnswer(8, 4, std::vector<uint16_t>(14, 2200))));
  EXPECT_FALSE(Feed(WithCrc({9, 0x83, 0x02})));
  Bytes bad = WithCrc({9, 0x84, 0x02});
  bad[2] = 3;
  EXPECT_FALSE(Feed(bad));
}

// ---------------------------------------------------------------- against libmodbus

#ifdef TESSARO_HAVE_LIBMODBUS_HEADERS
// The frames libmodbus (as RTU master) writes to a pseudo-terminal, compared
// with ours (libmodbus takes slave addresses up to 247 only). libmodbus is loaded at run time so that the build needs only its
// headers; the test is skipped when the library is missing.
class LibModbusFrames : public Modbus {
 protected:
  void SetUp() override {
    FLib = dlopen("libmodbus.so.5", RTLD_NOW);
    if (!FLib) GTEST_SKIP() << "libmodbus.so.5 not available";
#define TESSARO_SYM(name) name##_ = reinterpret_cast<decltype(&::name)>(dlsym(FLib, #name)); ASSERT_NE(name##_, nullptr)
    TESSARO_SYM(modbus_new_rtu);
    TESSARO_SYM(modbus_set_slave);
    TESSARO_SYM(modbus_set_response_timeout);
    TESSARO_SYM(modbus_connect);
    TESSARO_SYM(modbus_close);
    TESSARO_SYM(modbus_free);
    TESSARO_SYM(modbus_read_registers);
    TESSARO_SYM(modbus_read_input_registers);
    TESSARO_SYM(modbus_write_register);
    TESSARO_SYM(modbus_write_registers);
#undef TESSARO_SYM
    char name[128] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) GTEST_SKIP() << "no pseudo-terminal";
    FCtx = modbus_new_rtu_(name, 9600, 'N', 8, 1);
    ASSERT_NE(FCtx, nullptr);
    ASSERT_EQ(modbus_set_response_timeout_(FCtx, 0, 30000), 0);
    ASSERT_EQ(modbus_connect_(FCtx), 0);
  }
  void TearDown() override {
    if (FCtx) {
      modbus_close_(FCtx);
      modbus_free_(FCtx);
    }
    if (FMaster >= 0) close(FMaster);
    if (FSlave >= 0) close(FSlave);
    if (FLib) dlclose(FLib);
  }

  // Whatever libmodbus wrote (its request; it then times out waiting for an answer).
  Bytes Drain() {
    Bytes out;
    pollfd p{FMaster, POLLIN, 0};
    while (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      uint8_t buf[512];
      const ssize_t n = read(FMaster, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  void* FLib = nullptr;
  int FMaster = -1, FSlave = -1;
  modbus_t* FCtx = nullptr;
  decltype(&::modbus_new_rtu) modbus_new_rtu_ = nullptr;
  decltype(&::modbus_set_slave) modbus_set_slave_ = nullptr;
  decltype(&::modbus_set_response_timeout) modbus_set_response_timeout_ = nullptr;
  decltype(&::modbus_connect) modbus_connect_ = nullptr;
  decltype(&::modbus_close) modbus_close_ = nullptr;
  decltype(&::modbus_free) modbus_free_ = nullptr;
  decltype(&::modbus_read_registers) modbus_read_registers_ = nullptr;
  decltype(&::modbus_read_input_registers) modbus_read_input_registers_ = nullptr;
  decltype(&::modbus_write_register) modbus_write_register_ = nullptr;
  decltype(&::modbus_write_registers) modbus_write_registers_ = nullptr;
};

TEST_F(LibModbusFrames, CycleReadsMatch) {
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    const Bytes ours = FrameOf(Handler.CycleRequest(37, step));
    const TMModbus::TCycleStep& s = TMModbus::CycleTable[step - 1];
    uint16_t dest[64];
    modbus_set_slave_(FCtx, 37);
    if (s.Func == 4)
      modbus_read_input_registers_(FCtx, s.Reg - 1, s.Count, dest);
    else
      modbus_read_registers_(FCtx, s.Reg - 1, s.Count, dest);
    EXPECT_EQ(Hex(Drain()), Hex(ours));
  }
}

TEST_F(LibModbusFrames, WritesMatch) {
  CommandValue = 60;
  ParamImage.BypassVoltMin = -15;
  ParamImage.SysId = 1;
  ParamImage.ParamReg40003 = 2;
  ParamImage.WorkMode = 3;
  for (auto [addr, reg, value] : {std::tuple<uint8_t, int, uint16_t>{1, 20003, 60},
                                  {1, 50000, 30},
                                  {200, 40013, static_cast<uint16_t>(-15)},
                                  {247, 20001, 60}}) {
    SCOPED_TRACE(reg);
    const Bytes ours = Write(addr, reg);
    modbus_set_slave_(FCtx, addr);
    modbus_write_register_(FCtx, reg - 1, value);
    EXPECT_EQ(Hex(Drain()), Hex(ours));
  }
  Command(5, 16, 40002, 3);
  const Bytes ours = Sent();
  const uint16_t values[] = {1, 2, 3};
  modbus_set_slave_(FCtx, 5);
  modbus_write_registers_(FCtx, 40001, 3, values);
  EXPECT_EQ(Hex(Drain()), Hex(ours));
}
#endif

}  // namespace
