// The Modbus handler TMModbus — request cycle, command queue, search
// probe, frame building with CRC, and answer checking and decoding.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/Catalogue.h"
#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "engine/CommandQueue.h"
#include "protocols/MModbus.h"

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

namespace {

using Bytes = std::vector<uint8_t>;

// Independent table-driven Modbus CRC (not the handler's bitwise one).
uint16_t RefCrc(const Bytes& bytes) {
  static const auto table = [] {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      t[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ b) & 0xFF]);
  return crc;
}

// The bytes followed by their CRC, low byte first.
Bytes WithCrc(Bytes bytes) {
  const uint16_t crc = RefCrc(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

// A read answer (function 3 or 4) carrying the given register values.
Bytes ReadAnswer(uint8_t addr, uint8_t func, const std::vector<uint16_t>& regs) {
  Bytes b{addr, func, static_cast<uint8_t>(2 * regs.size())};
  for (uint16_t r : regs) {
    b.push_back(static_cast<uint8_t>(r >> 8));
    b.push_back(static_cast<uint8_t>(r & 0xFF));
  }
  return WithCrc(b);
}

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
    InitDeviceTable(*Table);
    Handler = std::make_unique<TMModbus>(TProtocolEnv{*Table, List, Vars, Stats}, Queue, Model);
  }

  void AddDevice(uint8_t addr, uint8_t commState = 0) {
    ++List.Count;
    List.Nodes[List.Count].Address = addr;
    List.Nodes[List.Count].NodeIndex = List.Count;
    (*Table)[addr].CommState = commState;
  }

  // NextRequest, then the built frame (empty when FrameLen is 0).
  Bytes Next() {
    Handler->NextRequest();
    return Built();
  }
  Bytes Built() const {
    return Bytes(Vars.TxBuf.begin(), Vars.TxBuf.begin() + Handler->FrameLen);
  }

  bool Parse(const Bytes& b) { return Handler->ParseAnswer(b.data(), static_cast<int>(b.size())); }

  // Positions the cycle so that the next NextRequest starts device `addr`'s cycle
  // (the device list holds just that device).
  void StartCycleAt(uint8_t addr, uint8_t commState = 0) {
    AddDevice(addr, commState);
    Vars.PollStep = 200;  // beyond any cycle: the next call moves to the next device
  }

  void QueueWrite(int index, uint8_t addr, int32_t reg, uint8_t func = 6, int32_t count = 1) {
    Queue[index] = TCommandEntry{CommandPending, addr, func, reg, count};
  }

  // Byte snapshot of a record, for "nothing stored" checks.
  Bytes Snapshot(int addr) const {
    Bytes b(sizeof(TUpsInfo));
    std::memcpy(b.data(), &(*Table)[addr], sizeof(TUpsInfo));
    return b;
  }

  std::unique_ptr<TUpsInfoTable> Table = std::make_unique<TUpsInfoTable>();
  TDeviceList List;
  TPollVars Vars;
  TPollStats Stats;
  TCommandQueue Queue;
  std::string Model;
  std::unique_ptr<TMModbus> Handler;
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

// ---------------------------------------------------------------- request cycle

TEST_F(Modbus, CycleFramesOfEachStepExactlyAsTheTable) {
  Model = "RXA410LT";
  StartCycleAt(1);
  const char* expected[] = {
      "01 04 75 30 00 0E 6B CD", "01 04 75 44 00 12 2A 1E", "01 04 75 80 00 0B AA 29",
      "01 03 9C 40 00 1C 6B 87", "01 03 9C 5C 00 01 6A 48",
  };
  // The first call leaves address 0 (lost) and starts device 1 at step 1.
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    EXPECT_EQ(Hex(Next()), expected[step - 1]);
    EXPECT_EQ(Handler->DevAddr, 1);
    EXPECT_EQ(Handler->FrameLen, 8);
    EXPECT_EQ(Vars.PollStep, step);
    EXPECT_EQ(Vars.StepCount, step == 1 ? 1 : 5);  // at step 1 the previous device (0) was lost
  }
}

TEST_F(Modbus, RequestFieldsDescribeTheBuiltRequest) {
  StartCycleAt(9);
  Next();
  EXPECT_EQ(Handler->SlaveAddr, 9);
  EXPECT_EQ(Handler->FuncCode, 4);
  EXPECT_EQ(Handler->StartReg, 30001);
  EXPECT_EQ(Handler->RegCount, 14);
  Next();
  Next();
  Next();
  EXPECT_EQ(Handler->FuncCode, 3);
  EXPECT_EQ(Handler->StartReg, 40001);
  EXPECT_EQ(Handler->RegCount, 28);
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({9, 4, 0x75, 0x30, 0x00, 0x0E})));
}

TEST_F(Modbus, CycleHasFourStepsWithoutTheRxaModel) {
  for (const char* model : {"", "GDS7100", "rxa410lt", "RXA410LT "}) {
    SCOPED_TRACE(model);
    Model = model;
    List.Count = 0;
    List.Cursor = 0;
    Vars = TPollVars{};
    Handler->DevAddr = 0;
    AddDevice(3);
    AddDevice(4);
    Vars.PollStep = 200;
    std::vector<std::pair<int, int>> seen;  // (address, step)
    for (int i = 0; i < 9; ++i) {
      Next();
      seen.emplace_back(Handler->DevAddr, Vars.PollStep);
      if (i > 0) {
        EXPECT_EQ(Vars.StepCount, 4);
      }
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{
                        {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 1}, {4, 2}, {4, 3}, {4, 4}, {3, 1}}));
  }
}

TEST_F(Modbus, RxaModelGivesFiveSteps) {
  Model = "RXA410LT";
  AddDevice(3);
  AddDevice(4);
  Vars.PollStep = 200;
  std::vector<std::pair<int, int>> seen;
  for (int i = 0; i < 11; ++i) {
    Next();
    seen.emplace_back(Handler->DevAddr, Vars.PollStep);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {4, 1},
                                                    {4, 2}, {4, 3}, {4, 4}, {4, 5}, {3, 1}}));
}

TEST_F(Modbus, SelectedModelIsReadAtEveryRequest) {
  StartCycleAt(2);
  Next();  // step 1
  Next();
  Next();
  Next();  // step 4
  EXPECT_EQ(Vars.PollStep, 4);
  Model = "RXA410LT";  // typed into the password gate meanwhile
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({2, 3, 0x9C, 0x5C, 0x00, 0x01})));
  EXPECT_EQ(Vars.PollStep, 5);
}

TEST_F(Modbus, LostDeviceGetsOneStepPerVisit) {
  AddDevice(5, 2);
  AddDevice(6, 2);
  Vars.PollStep = 200;
  for (int visit = 0; visit < 4; ++visit) {
    const uint8_t addr = visit % 2 == 0 ? 5 : 6;
    EXPECT_EQ(Hex(Next()), Hex(WithCrc({addr, 4, 0x75, 0x30, 0x00, 0x0E})));
    EXPECT_EQ(Handler->DevAddr, addr);
    EXPECT_EQ(Vars.PollStep, 1);
    EXPECT_EQ(Vars.StepCount, 1);
  }
}

TEST_F(Modbus, DeviceLostInMidCycleEndsItsCycle) {
  StartCycleAt(5);
  AddDevice(6);
  Next();
  Next();
  EXPECT_EQ(Vars.PollStep, 2);
  (*Table)[5].CommState = 2;
  Next();
  EXPECT_EQ(Handler->DevAddr, 6);
  EXPECT_EQ(Vars.PollStep, 1);
}

TEST_F(Modbus, DeviceInErrorStateKeepsFullCycle) {
  StartCycleAt(5, 1);
  for (int i = 1; i <= 4; ++i) Next();
  EXPECT_EQ(Vars.PollStep, 4);
  EXPECT_EQ(Handler->DevAddr, 5);
}

TEST_F(Modbus, EmptyDeviceListPollsAddressZero) {
  Vars.PollStep = 200;
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({0, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_EQ(Handler->DevAddr, 0);
  EXPECT_EQ(List.Cursor, 0);
  EXPECT_EQ(List.CurAddr, 0);
  Next();
  EXPECT_EQ(Handler->DevAddr, 0);
  EXPECT_EQ(Vars.PollStep, 1);  // address 0 is always lost: one step per visit
}

TEST_F(Modbus, FirstRequestAfterStartGoesToAddressZero) {
  // Engine variables start at 0 and DevAddr at 0 (a lost slot): PollStep 0 + 1
  // does not exceed the cycle of 1, so the first request is step 1 to address 0.
  AddDevice(1);
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({0, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_EQ(Handler->DevAddr, 0);
  Next();
  EXPECT_EQ(Handler->DevAddr, 1);
  EXPECT_EQ(Vars.PollStep, 1);
}

TEST_F(Modbus, PollStepOf255DoesNotWrap) {
  StartCycleAt(4);
  Vars.PollStep = 255;
  Next();
  EXPECT_EQ(Vars.PollStep, 1);
  EXPECT_EQ(Handler->DevAddr, 4);
}

// ---------------------------------------------------------------- paused, search

TEST_F(Modbus, PausedBuildsNothing) {
  StartCycleAt(1);
  Next();
  const auto txBefore = Vars.TxBuf;
  const uint8_t stepBefore = Vars.PollStep;
  QueueWrite(0, 1, 20001);
  Vars.Paused = 255;
  Handler->NextRequest();
  EXPECT_EQ(Handler->FrameLen, 0);
  EXPECT_EQ(Handler->DevAddr, 1);
  EXPECT_EQ(Vars.PollStep, stepBefore);
  EXPECT_EQ(Vars.TxBuf, txBefore);
  EXPECT_EQ(Queue[0].Pending, CommandPending);  // the queue waits too
  EXPECT_EQ(List.CurAddr, 1);
}

TEST_F(Modbus, SearchProbeGoesToSearchAddress) {
  StartCycleAt(1);
  Next();
  QueueWrite(0, 1, 20001);
  Vars.SearchMode = 255;
  Vars.SearchAddr = 7;
  const uint8_t step = Vars.PollStep, count = Vars.StepCount, cursor = List.Cursor;
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({7, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_EQ(Handler->DevAddr, 7);
  EXPECT_EQ(Handler->FrameLen, 8);
  // Neither the cycle nor the queue move during a search.
  EXPECT_EQ(Vars.PollStep, step);
  EXPECT_EQ(Vars.StepCount, count);
  EXPECT_EQ(List.Cursor, cursor);
  EXPECT_EQ(Queue[0].Pending, CommandPending);
  // The probe of device 1 is the cycle's first read.
  Vars.SearchAddr = 1;
  EXPECT_EQ(Hex(Next()), "01 04 75 30 00 0E 6B CD");
}

TEST_F(Modbus, SearchProbeIsBuiltEvenWhenPaused) {
  Vars.SearchMode = 1;
  Vars.Paused = 255;
  Vars.SearchAddr = 252;
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({252, 4, 0x75, 0x30, 0x00, 0x0E})));
}

// ---------------------------------------------------------------- command queue

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
    Queue.CommandValue = c.Value;
    QueueWrite(1, 1, c.Reg);
    EXPECT_EQ(Hex(Next()), c.Frame);
    EXPECT_EQ(Handler->DevAddr, 1);
    EXPECT_EQ(Queue[1].Pending, CommandFree);
  }
}

TEST_F(Modbus, QueuedCommandsGoFirstInIndexOrderThenTheCycleResumes) {
  StartCycleAt(1);
  AddDevice(2);
  Next();  // device 1 step 1
  Next();  // device 1 step 2
  ASSERT_EQ(Vars.PollStep, 2);
  // Parameter dialog with model GDS7100: entry 0 = 50000, entry 1 = the parameter.
  Queue.ParamImage.VoltLevel = 230;
  QueueWrite(0, 2, 50000);
  QueueWrite(1, 2, 40005);
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({2, 6, 0xC3, 0x4F, 0x00, 0x1E})));
  EXPECT_EQ(Handler->DevAddr, 2);
  EXPECT_EQ(List.CurAddr, 2);
  EXPECT_EQ(Vars.PollStep, 2);  // the cycle position is not changed
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({2, 6, 0x9C, 0x44, 0x00, 230})));
  EXPECT_EQ(Vars.PollStep, 2);
  EXPECT_EQ(Queue[0].Pending, CommandFree);
  EXPECT_EQ(Queue[1].Pending, CommandFree);
  // The cycle continues with its next step, addressed to the queued command's
  // device; the list cursor is where it was (device 1), so it moves on to 2.
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({2, 4, 0x75, 0x80, 0x00, 0x0B})));
  EXPECT_EQ(Vars.PollStep, 3);
  Next();
  EXPECT_EQ(Handler->DevAddr, 2);
  EXPECT_EQ(Vars.PollStep, 4);
  Next();
  EXPECT_EQ(Handler->DevAddr, 2);  // NextPollAddress: cursor 1 -> 2
  EXPECT_EQ(Vars.PollStep, 1);
}

TEST_F(Modbus, AnyNonzeroPendingCountsAndEntriesAreServedInIndexOrder) {
  StartCycleAt(1);
  Queue[7] = TCommandEntry{1, 9, 6, 20001, 0};
  Queue[3] = TCommandEntry{CommandPending, 8, 6, 20002, 0};
  Queue.CommandValue = 1;
  Next();
  EXPECT_EQ(Handler->DevAddr, 8);
  Next();
  EXPECT_EQ(Handler->DevAddr, 9);
  Next();
  EXPECT_EQ(Handler->DevAddr, 1);  // regular cycle
  EXPECT_EQ(Handler->FuncCode, 4);
}

TEST_F(Modbus, UnsupportedFunctionIsDroppedWithoutFrame) {
  StartCycleAt(1);
  Vars.TxBuf.fill(0xAA);
  Queue[0] = TCommandEntry{CommandPending, 1, 5, 20001, 1};
  Handler->NextRequest();
  EXPECT_EQ(Handler->FrameLen, 0);
  EXPECT_EQ(Queue[0].Pending, CommandFree);
  EXPECT_EQ(Handler->DevAddr, 1);
  Next();
  EXPECT_EQ(Handler->FrameLen, 8);
}

TEST_F(Modbus, QueuedReadIsBuiltAsARead) {
  Queue[0] = TCommandEntry{CommandPending, 1, 3, 40001, 1};
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({1, 3, 0x9C, 0x40, 0x00, 0x01})));
  Queue[0] = TCommandEntry{CommandPending, 1, 1, 1, 16};  // coils from register 1: wire address 0
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({1, 1, 0x00, 0x00, 0x00, 0x10})));
}

TEST_F(Modbus, ParameterWritesCarryParamImageValues) {
  TParamImage& p = Queue.ParamImage;
  p.SysId = 3;
  p.WorkMode = -1;          // low 16 bits
  p.BypassVoltMin = -20;    // bits as stored
  p.ConfigFlags = 0x3000;
  p.OperationMode = 2;
  struct TCase {
    int32_t Reg;
    uint16_t Value;
  };
  for (const TCase& c : {TCase{40002, 3}, TCase{40004, 0xFFFF}, TCase{40013, 0xFFEC}, TCase{40027, 0x3000},
                         TCase{40029, 2}, TCase{40010, 0}, TCase{40001, 0}}) {
    SCOPED_TRACE(c.Reg);
    QueueWrite(0, 17, c.Reg);
    const uint16_t wire = static_cast<uint16_t>(c.Reg - 1);
    EXPECT_EQ(Hex(Next()), Hex(WithCrc({17, 6, static_cast<uint8_t>(wire >> 8), static_cast<uint8_t>(wire),
                                        static_cast<uint8_t>(c.Value >> 8), static_cast<uint8_t>(c.Value)})));
  }
}

TEST_F(Modbus, WriteValueOfEveryRegister) {
  TParamImage& p = Queue.ParamImage;
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
  Queue.CommandValue = 0xBEEF;
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
  for (auto [reg, value] : table) EXPECT_EQ(Handler->WriteValueOf(reg), value) << reg;
}

TEST_F(Modbus, Function16FrameWithParamValues) {
  Queue.ParamImage.SysId = 1;
  Queue.ParamImage.ParamReg40003 = 2;
  Queue.ParamImage.WorkMode = 3;
  Queue[0] = TCommandEntry{CommandPending, 1, 16, 40002, 3};
  const Bytes frame = Next();
  EXPECT_EQ(Hex(frame), Hex(WithCrc({1, 0x10, 0x9C, 0x41, 0x00, 0x03, 0x06, 0, 1, 0, 2, 0, 3})));
  EXPECT_EQ(Handler->FrameLen, 9 + 6);
}

TEST_F(Modbus, Function16UsesLow16BitsOfCountAndMustFitTheBuffer) {
  Queue[0] = TCommandEntry{CommandPending, 1, 16, 40001, 123};  // 9 + 246 = 255 bytes
  Next();
  EXPECT_EQ(Handler->FrameLen, 255);
  EXPECT_EQ(TMModbus::Crc16(Vars.TxBuf.data(), 255), 0);
  EXPECT_EQ(Vars.TxBuf[6], 246);
  Queue[0] = TCommandEntry{CommandPending, 1, 16, 40001, 124};  // 257 bytes: not built
  Next();
  EXPECT_EQ(Handler->FrameLen, 0);
  Queue[0] = TCommandEntry{CommandPending, 1, 16, 40001, 0x10001};  // low 16 bits: 1
  Next();
  EXPECT_EQ(Handler->FrameLen, 11);
  EXPECT_EQ(Vars.TxBuf[4], 0);
  EXPECT_EQ(Vars.TxBuf[5], 1);
  EXPECT_EQ(Vars.TxBuf[6], 2);
  Queue[0] = TCommandEntry{CommandPending, 1, 16, 40001, 0};
  Next();
  EXPECT_EQ(Hex(Built()), Hex(WithCrc({1, 0x10, 0x9C, 0x40, 0, 0, 0})));
}

TEST_F(Modbus, WireAddressIsRegisterMinusOne) {
  for (auto [reg, hi, lo] : {std::tuple{30001, 0x75, 0x30}, {40001, 0x9C, 0x40}, {20003, 0x4E, 0x22},
                             {50000, 0xC3, 0x4F}, {1, 0x00, 0x00}, {0, 0xFF, 0xFF}}) {
    QueueWrite(0, 1, reg, 4);
    const Bytes f = Next();
    EXPECT_EQ(f[2], hi) << reg;
    EXPECT_EQ(f[3], lo) << reg;
  }
}

// ---------------------------------------------------------------- answers: decoding

TEST_F(Modbus, WorkedExampleStep1Answer) {
  StartCycleAt(1);
  Next();
  const Bytes answer = FromHex(
      "01 04 1C 08 98 08 98 08 98 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "08 98 08 98 08 98 01 F4 B7 9D");
  ASSERT_EQ(answer.size(), 33u);
  ASSERT_EQ(answer, ReadAnswer(1, 4, {2200, 2200, 2200, 0, 0, 0, 0, 0, 0, 0, 2200, 2200, 2200, 500}));
  EXPECT_TRUE(Parse(answer));
  const TMeasureBlock& m = (*Table)[1].Measure;
  EXPECT_DOUBLE_EQ(m.InputVoltA, 220.0);
  EXPECT_DOUBLE_EQ(m.InputVoltB, 220.0);
  EXPECT_DOUBLE_EQ(m.InputVoltC, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltA, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltB, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputVoltC, 220.0);
  EXPECT_DOUBLE_EQ(m.OutputFreq, 50.0);
  EXPECT_EQ((*Table)[1].StateCode, -1);  // no status register in this block
  EXPECT_EQ((*Table)[1].Status.StateValid, 0);
}

TEST_F(Modbus, Step2AnswerLoadsAndBattery) {
  StartCycleAt(3);
  Next();
  Next();
  ASSERT_EQ(Handler->StartReg, 30021);
  TUpsInfo& u = (*Table)[3];
  const Bytes before = Snapshot(3);
  // 30021..30038: loads, 7 unmapped registers (30024..30030), battery group values.
  EXPECT_TRUE(Parse(ReadAnswer(3, 4, {45, 50, 55, 1, 2, 3, 4, 5, 6, 7, 2701, 2699, 12, 3, 0, 1, 87, 123})));
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
  StartCycleAt(3);
  Next();
  TUpsInfo& u = (*Table)[3];
  u.BattVoltPos = 100.0;
  Handler->StoreRegister(30032, 1000);
  EXPECT_DOUBLE_EQ(u.Measure.DcInputVolt, 200.0);
  Handler->StoreRegister(30031, 500);  // alone: the sum is not refreshed
  EXPECT_DOUBLE_EQ(u.Measure.DcInputVolt, 200.0);
  EXPECT_DOUBLE_EQ(u.BattVoltPos, 50.0);
}

TEST_F(Modbus, Step3AnswerStatusWordsGiveStateSwitchesAndAlarms) {
  StartCycleAt(4);
  for (int i = 0; i < 3; ++i) Next();
  ASSERT_EQ(Handler->StartReg, 30081);
  TUpsInfo& u = (*Table)[4];
  // 30081 UpsState, 30082 CmmState1, 30083 CmmState2, 30084 InvState1,
  // 30085 InvState2, 30086 CmmAlarm1, 30087 CmmAlarm2, 30088 InvAlarm1,
  // 30089 InvAlarm2, 30090 SysState, 30091 SysAlarm.
  EXPECT_TRUE(Parse(ReadAnswer(
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
  StartCycleAt(4);
  for (int i = 0; i < 3; ++i) Next();
  TUpsInfo& u = (*Table)[4];
  EXPECT_TRUE(Parse(ReadAnswer(4, 4, {0, 0, 0, 0, 0, 0x0001, 0, 0, 0, 0, 0})));
  EXPECT_EQ(u.StateCode, StateFault);
  ASSERT_EQ(u.AlarmCount, 1);
  EXPECT_EQ(u.AlarmCodes[0], 15);
  // Battery: InvState1 0x0780, CmmState1 0x4800 (bit 14, bit 11, bit 10 clear).
  EXPECT_TRUE(Parse(ReadAnswer(4, 4, {0, 0x4800, 0, 0x0780, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(u.StateCode, StateBattery);
  EXPECT_EQ(u.InputSupply, 2);
  EXPECT_EQ(u.AlarmCount, 0);
  // All zero: standby, no alarms, everything open.
  EXPECT_TRUE(Parse(ReadAnswer(4, 4, std::vector<uint16_t>(11, 0))));
  EXPECT_EQ(u.StateCode, StateStandby);
  EXPECT_EQ(u.InputSwitch + u.OutputSwitch + u.BypassSwitch + u.MaintSwitch + u.InputSupply + u.UpsSupply, 0);
}

TEST_F(Modbus, StateIsRecomputedAfterEachStatusRegister) {
  StartCycleAt(4);
  for (int i = 0; i < 3; ++i) Next();
  TUpsInfo& u = (*Table)[4];
  Handler->StoreRegister(30082, 0x2000);  // EPO bit
  EXPECT_EQ(u.StateCode, StateEpo);
  EXPECT_EQ(u.Status.StateValid, 1);
  Handler->StoreRegister(30082, 0);
  EXPECT_EQ(u.StateCode, StateStandby);
  u.StateCode = 77;
  Handler->StoreRegister(30081, 0xFF05);
  EXPECT_EQ(u.Status.UpsState, 5);
  EXPECT_EQ(u.StateCode, StateStandby);
  u.StateCode = 77;
  Handler->StoreRegister(30080, 1);  // not a status register
  Handler->StoreRegister(30092, 1);
  EXPECT_EQ(u.StateCode, 77);
}

TEST_F(Modbus, Step4AnswerHoldingRegisters) {
  StartCycleAt(6);
  for (int i = 0; i < 4; ++i) Next();
  ASSERT_EQ(Handler->StartReg, 40001);
  TUpsInfo& u = (*Table)[6];
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
  EXPECT_TRUE(Parse(ReadAnswer(6, 3, regs)));
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

  Model = "RXA410LT";
  Next();
  ASSERT_EQ(Handler->StartReg, 40029);
  EXPECT_TRUE(Parse(ReadAnswer(6, 3, {0x0102})));
  EXPECT_EQ(u.Params.OperationMode, 2);
}

TEST_F(Modbus, WorkModeKeepsTheFullUnsignedValue) {
  StartCycleAt(6);
  Next();
  Handler->StoreRegister(40004, 0xFFFF);
  EXPECT_EQ((*Table)[6].Params.WorkMode, 65535);
}

TEST_F(Modbus, WriteEchoIsAcceptedAndChangesNothing) {
  Queue.CommandValue = 1;
  QueueWrite(0, 1, 20001);
  const Bytes request = Next();
  const Bytes before = Snapshot(1);
  EXPECT_TRUE(Parse(request));  // the echo of a function-6 write is the request itself
  EXPECT_EQ(Snapshot(1), before);
  // The echoed register address is not compared.
  EXPECT_TRUE(Parse(WithCrc({1, 6, 0x12, 0x34, 0x00, 0x01})));
  // A function-16 answer: address, 16, start, count.
  EXPECT_TRUE(Parse(WithCrc({1, 0x10, 0x9C, 0x41, 0x00, 0x03})));
  EXPECT_EQ(Snapshot(1), before);
}

TEST_F(Modbus, FunctionByteIsNotComparedWithTheRequest) {
  StartCycleAt(1);
  Next();  // function 4, 30001 x 14
  const Bytes before = Snapshot(1);
  // Another function without bit 7 counts as a write echo: accepted, nothing stored.
  EXPECT_TRUE(Parse(WithCrc({1, 5, 0x00, 0x00, 0xFF, 0x00})));
  EXPECT_TRUE(Parse(WithCrc({1, 0x7F, 0x00})));
  EXPECT_EQ(Snapshot(1), before);
  // A function-3 answer to the function-4 request is decoded from StartReg.
  EXPECT_TRUE(Parse(ReadAnswer(1, 3, std::vector<uint16_t>(14, 1000))));
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltA, 100.0);
}

// ---------------------------------------------------------------- answers: rejection

TEST_F(Modbus, BadAnswersAreRejectedWithoutTouchingTheRecord) {
  StartCycleAt(1);
  Next();
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
  Bytes echoTrailingZero = WithCrc({1, 6, 0x4E, 0x20, 0x00, 0x01});
  echoTrailingZero.push_back(0x00);
  Bytes exceptionTrailingZero = WithCrc({1, 0x84, 0x02});
  exceptionTrailingZero.push_back(0x00);
  // Byte count 28 announced, only two registers (4 data bytes) before the CRC.
  const Bytes countBeyondFrame = WithCrc({1, 4, 28, 0x08, 0x98, 0x08, 0x98});
  const Bytes countShortOfFrame = WithCrc({1, 4, 2, 0x08, 0x98, 0x08, 0x98});
  Bytes twoFrames = good;
  twoFrames.insert(twoFrames.end(), good.begin(), good.end());
  const Bytes shorter(good.begin(), good.end() - 1);
  const Bytes truncated(good.begin(), good.begin() + 20);
  const Bytes wrongAddr = ReadAnswer(2, 4, {2200, 2200, 2200, 0, 0, 0, 0, 0, 0, 0, 2200, 2200, 2200, 500});
  const Bytes broadcast = ReadAnswer(0, 4, std::vector<uint16_t>(14, 1));
  const Bytes exception = WithCrc({1, 0x84, 0x02});
  const Bytes exception3 = WithCrc({1, 0x83, 0x01});
  const Bytes crcOnly = WithCrc({1, 4});
  const struct {
    const char* Name;
    Bytes Frame;
  } cases[] = {
      {"bad CRC", badCrc},       {"corrupted byte", flipped}, {"trailing byte", longer},
      {"trailing zero", trailingZero}, {"two trailing zeros", trailingZeros},
      {"echo + zero", echoTrailingZero}, {"exception + zero", exceptionTrailingZero},
      {"byte count beyond the frame", countBeyondFrame}, {"byte count short of the frame", countShortOfFrame},
      {"no byte count", crcOnly},
      {"two frames", twoFrames}, {"one byte short", shorter}, {"truncated", truncated},
      {"wrong address", wrongAddr}, {"address 0", broadcast}, {"exception", exception},
      {"exception fn 3", exception3}, {"empty", Bytes{}},    {"one byte", Bytes{1}},
      {"two bytes", Bytes{1, 4}},   {"three bytes", Bytes{1, 4, 0}},
  };
  const Bytes before = Snapshot(1);
  for (const auto& c : cases) {
    EXPECT_FALSE(Parse(c.Frame)) << c.Name;
    EXPECT_EQ(Snapshot(1), before) << c.Name;
  }
  EXPECT_FALSE(Handler->ParseAnswer(nullptr, 8));
  EXPECT_EQ(Snapshot(1), before);
  EXPECT_TRUE(Parse(good));
  EXPECT_NE(Snapshot(1), before);
}

TEST_F(Modbus, AnswerAfterTheNextRequestWasBuiltIsRejected) {
  StartCycleAt(1);
  AddDevice(2);
  Vars.PollStep = 200;
  (*Table)[1].CommState = 2;
  Next();  // device 1 (lost: one step)
  Next();  // device 2
  ASSERT_EQ(Handler->DevAddr, 2);
  EXPECT_FALSE(Parse(ReadAnswer(1, 4, std::vector<uint16_t>(14, 1))));
}

TEST_F(Modbus, RegisterCountOtherThanRequestedIsStoredButRejected) {
  StartCycleAt(1);
  Next();  // 14 registers requested
  EXPECT_FALSE(Parse(ReadAnswer(1, 4, {2300, 2310, 2320})));
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltA, 230.0);
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltB, 231.0);
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltC, 232.0);
  std::vector<uint16_t> many(15, 100);
  EXPECT_FALSE(Parse(ReadAnswer(1, 4, many)));
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.OutputFreq, 10.0);
}

TEST_F(Modbus, MismatchedStatusBlockStillRunsSwitchesAndAlarms) {
  StartCycleAt(4);
  for (int i = 0; i < 3; ++i) Next();
  TUpsInfo& u = (*Table)[4];
  // Only 30081..30086 arrive (6 of 11): stored and decoded, result False.
  EXPECT_FALSE(Parse(ReadAnswer(4, 4, {1, 0x8000, 0, 0x8000, 0, 0x0002})));
  EXPECT_EQ(u.InputSwitch, 1);
  EXPECT_EQ(u.BypassSwitch, 1);
  EXPECT_EQ(u.StateCode, StateFault);
  ASSERT_EQ(u.AlarmCount, 1);
  EXPECT_EQ(u.AlarmCodes[0], 14);
}

TEST_F(Modbus, ByteCountZeroStoresNothing) {
  StartCycleAt(1);
  Next();
  const Bytes before = Snapshot(1);
  EXPECT_FALSE(Parse(WithCrc({1, 4, 0})));
  EXPECT_FALSE(Parse(WithCrc({1, 4, 1, 0x55})));  // byte count below 2
  EXPECT_EQ(Snapshot(1), before);
  // ... unless 0 registers were requested.
  Queue[0] = TCommandEntry{CommandPending, 1, 3, 40001, 0};
  Next();
  EXPECT_TRUE(Parse(WithCrc({1, 3, 0})));
  EXPECT_EQ(Snapshot(1), before);
}

TEST_F(Modbus, FrameWhoseCrcHighByteIsZeroIsAccepted) {
  // Such a frame is also "a shorter frame plus a zero byte" as far as the CRC
  // goes; its length tells them apart.
  StartCycleAt(1);
  Next();
  std::vector<uint16_t> regs(14, 0);
  Bytes answer;
  for (uint16_t v = 0;; ++v) {
    regs[0] = v;
    answer = ReadAnswer(1, 4, regs);
    if (answer.back() == 0) break;
  }
  EXPECT_TRUE(Parse(answer));
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltA, regs[0] * 0.1);
  Queue[0] = TCommandEntry{CommandPending, 1, 6, 20001, 0};
  for (uint16_t v = 0;; ++v) {
    Queue.CommandValue = v;
    Queue[0].Pending = CommandPending;
    const Bytes frame = Next();
    ASSERT_EQ(frame.size(), 8u);
    if (frame[7] == 0) break;
  }
  EXPECT_TRUE(Parse(Built()));
}

TEST_F(Modbus, OddByteCountDecodesWholeRegistersOnly) {
  Queue[0] = TCommandEntry{CommandPending, 1, 4, 30001, 1};
  Next();
  EXPECT_TRUE(Parse(WithCrc({1, 4, 3, 0x08, 0x98, 0x77})));
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltA, 220.0);
  EXPECT_DOUBLE_EQ((*Table)[1].Measure.InputVoltB, 0.0);
}

// ---------------------------------------------------------------- answers during a search

TEST_F(Modbus, AnyWellFormedAnswerCountsAsFoundDuringSearch) {
  Vars.SearchMode = 255;
  Vars.SearchAddr = 9;
  Next();
  const Bytes before = Snapshot(9);
  EXPECT_TRUE(Parse(WithCrc({9, 0x84, 0x02})));  // exception answer
  EXPECT_TRUE(Parse(ReadAnswer(9, 4, std::vector<uint16_t>(14, 2200))));
  EXPECT_TRUE(Parse(ReadAnswer(9, 4, {1})));  // any count
  EXPECT_EQ(Snapshot(9), before);              // nothing decoded during a search
  EXPECT_FALSE(Parse(ReadAnswer(8, 4, std::vector<uint16_t>(14, 2200))));
  Bytes bad = WithCrc({9, 0x84, 0x02});
  bad[2] = 3;
  EXPECT_FALSE(Parse(bad));
}

TEST_F(Modbus, AddressWithoutSlotIsNeverAccepted) {
  Vars.SearchMode = 255;
  Vars.SearchAddr = 253;
  EXPECT_EQ(Hex(Next()), Hex(WithCrc({253, 4, 0x75, 0x30, 0x00, 0x0E})));
  EXPECT_FALSE(Parse(ReadAnswer(253, 4, std::vector<uint16_t>(14, 1))));
  Vars.SearchMode = 0;
  EXPECT_FALSE(Parse(ReadAnswer(253, 4, std::vector<uint16_t>(14, 1))));
  Handler->StoreRegister(30001, 1);  // no slot: ignored
  // The cycle treats such an address as lost and moves on.
  AddDevice(4);
  Vars.PollStep = 1;
  Next();
  EXPECT_EQ(Handler->DevAddr, 4);
}

TEST_F(Modbus, ProtocolHandlerNeverTouchesStatsOrEngineFrameLen) {
  StartCycleAt(1);
  Vars.FrameLen = 123;
  Next();
  Parse(WithCrc({1, 0x84, 0x02}));
  Parse(Bytes{1, 2, 3});
  Parse(ReadAnswer(1, 4, std::vector<uint16_t>(14, 0)));
  EXPECT_EQ(Vars.FrameLen, 123);
  EXPECT_EQ(Stats.ParseFailures, 0);
  EXPECT_EQ(Stats.RxCount, 0);
  EXPECT_EQ(Stats.TxCount, 0);
  EXPECT_EQ((*Table)[1].FailStreak, 0);
  EXPECT_EQ((*Table)[1].SuccessCount, 0);
  EXPECT_EQ((*Table)[1].CommState, 0);
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
  Model = "RXA410LT";
  StartCycleAt(37);
  for (int step = 1; step <= 5; ++step) {
    SCOPED_TRACE(step);
    const Bytes ours = Next();
    const TMModbus::TCycleStep& s = TMModbus::CycleSteps[step - 1];
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
  Queue.CommandValue = 60;
  Queue.ParamImage.BypassVoltMin = -15;
  Queue.ParamImage.SysId = 1;
  Queue.ParamImage.ParamReg40003 = 2;
  Queue.ParamImage.WorkMode = 3;
  for (auto [addr, reg, value] : {std::tuple<uint8_t, int, uint16_t>{1, 20003, 60},
                                  {1, 50000, 30},
                                  {200, 40013, static_cast<uint16_t>(-15)},
                                  {247, 20001, 60}}) {
    SCOPED_TRACE(reg);
    QueueWrite(0, addr, reg);
    const Bytes ours = Next();
    modbus_set_slave_(FCtx, addr);
    modbus_write_register_(FCtx, reg - 1, value);
    EXPECT_EQ(Hex(Drain()), Hex(ours));
  }
  Queue[0] = TCommandEntry{CommandPending, 5, 16, 40002, 3};
  const Bytes ours = Next();
  const uint16_t values[] = {1, 2, 3};
  modbus_set_slave_(FCtx, 5);
  modbus_write_registers_(FCtx, 40001, 3, values);
  EXPECT_EQ(Hex(Drain()), Hex(ours));
}
#endif

}  // namespace
