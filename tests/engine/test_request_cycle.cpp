// The request cycle the poll engine runs through the active handler: which
// device and step each request goes to, the command queue in front of the
// cycle, search probes and pauses; and which answers the request in flight
// takes.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "protocols/AsciiTestFrames.h"
#include "protocols/ModbusTestFrames.h"
#include "serial/FakeSerialPort.h"

using namespace tessaro;
using namespace tessaro::testing_modbus;
namespace fs = std::filesystem;

namespace {

using TVisit = std::pair<int, int>;  // (address, PollStep) of a built request

Bytes FrameOf(const TRequest& r) { return Bytes(r.Frame.begin(), r.Frame.begin() + r.FrameLen); }

class RequestCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_cycle_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Ctx = std::make_unique<TContext>(Dir.string(), Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.ComName = "COM1";
    Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
    // One "send" per request: nothing goes out, so no send charges a device
    // and the cycle is all there is to see; a request is built every 2 ticks.
    Ctx->Settings.PortInfo.MaxReSend = 1;
    Ctx->Settings.RecInterval = 0;
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
    ASSERT_TRUE(Engine->Start());
  }
  void TearDown() override {
    Engine.reset();
    Ctx.reset();
    fs::remove_all(Dir);
  }
  // A fresh context and engine, started, with another protocol.
  void Restart(uint8_t protocol) {
    TearDown();
    SetUp();
    Ctx->Settings.PortInfo.Protocol = protocol;
  }

  // The device list, set directly (no TreeNode.dat), with each device's CommState.
  void Devices(std::initializer_list<uint8_t> addresses, uint8_t commState = 0) {
    TDeviceList& list = Ctx->DeviceList;
    list.Count = 0;
    for (uint8_t a : addresses) {
      ++list.Count;
      list.Nodes[list.Count].Address = a;
      list.Nodes[list.Count].NodeIndex = list.Count;
      Ctx->UpsInfo[a].CommState = commState;
    }
  }

  // Ticks until the engine builds a request; nothing when none is built within
  // 30 ticks.
  std::optional<TRequest> Build() {
    for (int i = 0; i < 30; ++i) {
      Engine->Tick();
      if (Ctx->Vars.DebugStage == 5) return Engine->Request();
    }
    return std::nullopt;
  }
  // The next `n` built requests as (address, PollStep).
  std::vector<TVisit> Visits(int n) {
    std::vector<TVisit> seen;
    for (int i = 0; i < n; ++i) {
      const std::optional<TRequest> r = Build();
      if (!r) break;
      seen.emplace_back(r->Addr, Ctx->Vars.PollStep);
    }
    return seen;
  }
  // Ticks until the request in flight has been sent once more.
  void SendOnce() {
    const size_t before = Port.SentFrames.size();
    for (int i = 0; i < 30 && Port.SentFrames.size() == before; ++i) Engine->Tick();
    ASSERT_EQ(Port.SentFrames.size(), before + 1);
  }

  fs::path Dir;
  TManualClock Clock{EncodeDateTime({2026, 12, 10, 8, 0, 0, 0})};
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
};

TEST_F(RequestCycle, ModbusStartsAtAddressZeroThenRunsFourStepsPerDevice) {
  Devices({3, 4});
  const TMModbus reference(Ctx->SelectedModel);
  std::vector<TVisit> seen;
  for (int i = 0; i < 10; ++i) {
    const std::optional<TRequest> r = Build();
    ASSERT_TRUE(r);
    const int step = Ctx->Vars.PollStep;
    seen.emplace_back(r->Addr, step);
    EXPECT_EQ(FrameOf(*r), FrameOf(reference.CycleRequest(r->Addr, step))) << i;
    EXPECT_EQ(Ctx->DeviceList.CurAddr, r->Addr);
    // The device of the previous request decides: address 0 is always lost
    // (one step), the devices communicate (four).
    EXPECT_EQ(Ctx->Vars.StepCount, i <= 1 ? 1 : 4) << i;
  }
  EXPECT_EQ(seen, (std::vector<TVisit>{{0, 1}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 1}, {4, 2}, {4, 3}, {4, 4}, {3, 1}}));
}

TEST_F(RequestCycle, AsciiProtocolsStartAtAddressOneThenRunFiveCommandsPerDevice) {
  for (uint8_t protocol : {ProtocolYdtV31, ProtocolQuorvan}) {
    SCOPED_TRACE(int(protocol));
    Restart(protocol);
    Devices({3, 7});  // device 1 is not configured: lost
    EXPECT_EQ(Visits(12), (std::vector<TVisit>{{1, 1},
                                               {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5},
                                               {7, 1}, {7, 2}, {7, 3}, {7, 4}, {7, 5},
                                               {3, 1}}));
    EXPECT_EQ(Engine->Request().Func, 1);
  }
}

TEST_F(RequestCycle, TheRxaModelIsReadAtEveryRequestAndGivesAFifthStep) {
  Devices({2});
  EXPECT_EQ(Visits(5), (std::vector<TVisit>{{0, 1}, {2, 1}, {2, 2}, {2, 3}, {2, 4}}));
  Ctx->SelectedModel = "RXA410LT";  // typed into the password gate meanwhile
  EXPECT_EQ(Visits(1), (std::vector<TVisit>{{2, 5}}));
  EXPECT_EQ(Engine->Request().Reg, 40029);
  EXPECT_EQ(Visits(6), (std::vector<TVisit>{{2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 1}}));
  Ctx->SelectedModel = "rxa410lt";
  EXPECT_EQ(Visits(5), (std::vector<TVisit>{{2, 2}, {2, 3}, {2, 4}, {2, 1}, {2, 2}}));
}

TEST_F(RequestCycle, LostDeviceGetsOneStepPerVisitAndAnErrorStateKeepsTheFullCycle) {
  Devices({5, 6}, 2);
  EXPECT_EQ(Visits(5), (std::vector<TVisit>{{0, 1}, {5, 1}, {6, 1}, {5, 1}, {6, 1}}));
  EXPECT_EQ(Ctx->Vars.StepCount, 1);
  Ctx->UpsInfo[5].CommState = 1;  // in error, still asked everything
  EXPECT_EQ(Visits(5), (std::vector<TVisit>{{5, 1}, {5, 2}, {5, 3}, {5, 4}, {6, 1}}));
}

TEST_F(RequestCycle, DeviceLostInMidCycleEndsItsCycleAtOnce) {
  Devices({5, 6});
  EXPECT_EQ(Visits(3), (std::vector<TVisit>{{0, 1}, {5, 1}, {5, 2}}));
  Ctx->UpsInfo[5].CommState = 2;
  EXPECT_EQ(Visits(1), (std::vector<TVisit>{{6, 1}}));
}

TEST_F(RequestCycle, EmptyDeviceListPollsAddressZero) {
  for (uint8_t protocol : {ProtocolModbus, ProtocolYdtV31}) {
    SCOPED_TRACE(int(protocol));
    Restart(protocol);
    const int first = protocol == ProtocolModbus ? 0 : 1;
    EXPECT_EQ(Visits(4), (std::vector<TVisit>{{first, 1}, {0, 1}, {0, 1}, {0, 1}}));
    EXPECT_EQ(Ctx->DeviceList.Cursor, 0);
    EXPECT_EQ(Ctx->DeviceList.CurAddr, 0);
  }
}

TEST_F(RequestCycle, PollStep255DoesNotWrapToZero) {
  Devices({4});
  EXPECT_EQ(Visits(2), (std::vector<TVisit>{{0, 1}, {4, 1}}));
  Ctx->Vars.PollStep = 255;
  EXPECT_EQ(Visits(2), (std::vector<TVisit>{{4, 1}, {4, 2}}));
}

TEST_F(RequestCycle, PausedBuildsNothingAndTheQueueWaits) {
  Devices({1});
  Visits(2);
  const TRequest before = Engine->Request();
  const uint8_t step = Ctx->Vars.PollStep;
  Ctx->CommandQueue[0] = TCommandEntry{CommandPending, 1, 6, 20001, 1};
  Ctx->Vars.Paused = 255;
  EXPECT_FALSE(Build());
  EXPECT_EQ(FrameOf(Engine->Request()), FrameOf(before));
  EXPECT_EQ(Ctx->Vars.PollStep, step);
  EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandPending);
  Ctx->Vars.Paused = 0;
  const std::optional<TRequest> r = Build();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Func, 6);
  EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandFree);
}

TEST_F(RequestCycle, SearchProbesLeaveTheCycleAndTheQueueAlone) {
  for (uint8_t protocol : {ProtocolModbus, ProtocolYdtV31}) {
    SCOPED_TRACE(int(protocol));
    Restart(protocol);
    Devices({1, 2});
    Visits(3);
    const uint8_t step = Ctx->Vars.PollStep, count = Ctx->Vars.StepCount, cursor = Ctx->DeviceList.Cursor;
    Ctx->CommandQueue[0] = TCommandEntry{CommandPending, 1, 6, 20001, 1};
    Ctx->Vars.SearchMode = 1;
    uint8_t next = 16;
    Engine->NextSearchAddress = [&next] { return ++next; };
    for (uint8_t addr : {17, 18}) {
      const std::optional<TRequest> r = Build();
      ASSERT_TRUE(r);
      EXPECT_TRUE(r->Probe);
      EXPECT_EQ(r->Addr, addr);
      EXPECT_EQ(r->Func, protocol == ProtocolModbus ? 4 : AsciiSearchStep);
      EXPECT_EQ(Ctx->DeviceList.CurAddr, addr);
    }
    EXPECT_EQ(Ctx->Vars.PollStep, step);
    EXPECT_EQ(Ctx->Vars.StepCount, count);
    EXPECT_EQ(Ctx->DeviceList.Cursor, cursor);
    EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandPending);
  }
}

TEST_F(RequestCycle, APauseHoldsASearchToo) {
  Ctx->Vars.SearchMode = 1;
  Ctx->Vars.Paused = 255;
  int asked = 0;
  Engine->NextSearchAddress = [&asked] {
    ++asked;
    return uint8_t{17};
  };
  EXPECT_FALSE(Build());
  EXPECT_EQ(asked, 0);
  Ctx->Vars.Paused = 0;
  const std::optional<TRequest> r = Build();
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->Probe);
  EXPECT_EQ(asked, 1);
}

TEST_F(RequestCycle, QueuedCommandsGoFirstInIndexOrderThenTheCycleResumesWithTheCommandsDevice) {
  Devices({1, 2});
  EXPECT_EQ(Visits(3), (std::vector<TVisit>{{0, 1}, {1, 1}, {1, 2}}));
  // Parameter dialog with model GDS7100: entry 0 = 50000, entry 1 = the
  // parameter; any nonzero Pending waits.
  Ctx->CommandQueue.ParamImage.VoltLevel = 230;
  Ctx->CommandQueue[1] = TCommandEntry{1, 2, 6, 40005, 1};
  Ctx->CommandQueue[0] = TCommandEntry{CommandPending, 2, 6, 50000, 1};
  std::optional<TRequest> r = Build();
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameOf(*r), FrameOf(TMModbus::BuildRequest(2, 6, 50000, 1)));
  EXPECT_EQ(Ctx->DeviceList.CurAddr, 2);
  EXPECT_EQ(Ctx->Vars.PollStep, 2);  // the cycle position is kept
  r = Build();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Reg, 40005);
  EXPECT_EQ(r->Frame[5], 230);
  EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandFree);
  EXPECT_EQ(Ctx->CommandQueue[1].Pending, CommandFree);
  // The cycle goes on at its next step, with the command's device; the list
  // cursor is still on device 1, so the next device is 2 again.
  EXPECT_EQ(Visits(4), (std::vector<TVisit>{{2, 3}, {2, 4}, {2, 1}, {2, 2}}));
}

TEST_F(RequestCycle, AnUnsupportedQueuedFunctionIsDroppedWithoutASend) {
  Ctx->Settings.PortInfo.MaxReSend = 2;
  Devices({1});
  Visits(2);
  SendOnce();
  Ctx->CommandQueue[0] = TCommandEntry{CommandPending, 1, 5, 20001, 1};
  const size_t sent = Port.SentFrames.size();
  const std::optional<TRequest> r = Build();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Func, 4) << "the cycle goes on";
  EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandFree);
  EXPECT_EQ(Port.SentFrames.size(), sent);
}

TEST_F(RequestCycle, AsciiHandlersLeaveTheQueueAlone) {
  Ctx->Settings.PortInfo.Protocol = ProtocolYdtV31;
  Devices({1});
  Ctx->CommandQueue[0] = TCommandEntry{CommandPending, 1, 6, 20001, 1};
  EXPECT_EQ(Visits(3), (std::vector<TVisit>{{1, 1}, {1, 2}, {1, 3}}));
  EXPECT_EQ(Ctx->CommandQueue[0].Pending, CommandPending);
}

// ---- Answers held against the request in flight

class RequestInFlight : public RequestCycle {
 protected:
  void SetUp() override {
    RequestCycle::SetUp();
    Ctx->Settings.PortInfo.MaxReSend = 2;
    Devices({1});
  }
  // Builds until the request of cycle step `step` to device 1 is in flight.
  void BuildStep(int step) {
    for (int i = 0; i < 20; ++i) {
      const std::optional<TRequest> r = Build();
      ASSERT_TRUE(r);
      if (r->Addr == 1 && Ctx->Vars.PollStep == step) return;
    }
    FAIL() << "step " << step << " never built";
  }
  // The bytes of device 1's record but for ReceiveCount, which every chunk
  // counts, accepted or not.
  std::vector<uint8_t> RecordBytes() const {
    auto copy = std::make_unique<TUpsInfo>();
    std::memcpy(static_cast<void*>(copy.get()), &Ctx->UpsInfo[1], sizeof(TUpsInfo));
    copy->ReceiveCount = 0;
    std::vector<uint8_t> bytes(sizeof(TUpsInfo));
    std::memcpy(bytes.data(), copy.get(), sizeof(TUpsInfo));
    return bytes;
  }
  const Bytes Step1Answer = ReadAnswer(1, 4, {2300, 2300, 2300, 0, 0, 0, 0, 0, 0, 0, 2200, 2200, 2200, 500});
};

TEST_F(RequestInFlight, AnAnswerBeforeTheFirstSendIsRefusedAndOneAfterItIsDecoded) {
  BuildStep(1);
  const int purges = Port.PurgeCount;
  const std::vector<uint8_t> before = RecordBytes();
  Port.InjectReceive(Step1Answer);
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  EXPECT_TRUE(RecordBytes() == before);
  SendOnce();
  EXPECT_EQ(Port.PurgeCount, purges + 1) << "input is dropped before each send";
  Port.InjectReceive(Step1Answer);
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  EXPECT_DOUBLE_EQ(Ctx->UpsInfo[1].Measure.InputVoltA, 230.0);
  EXPECT_EQ(Ctx->UpsInfo[1].FailStreak, 0);
}

TEST_F(RequestInFlight, ALateAnswerToThePreviousStepIsRefusedAndStoresNothing) {
  BuildStep(1);
  SendOnce();
  BuildStep(2);
  SendOnce();
  const std::vector<uint8_t> before = RecordBytes();
  const int32_t failures = Ctx->Stats.ParseFailures;
  Port.InjectReceive(Step1Answer);
  EXPECT_EQ(Ctx->Stats.ParseFailures, failures + 1);
  EXPECT_TRUE(RecordBytes() == before);
}

TEST_F(RequestInFlight, AnAsciiAnswerToTheCommandBeforeCountsInE) {
  Ctx->Settings.PortInfo.Protocol = ProtocolYdtV31;
  BuildStep(2);
  SendOnce();
  // An intact answer to 42 (INFO of 46) from device 1, while 43 is in flight.
  const std::string frame = testing_ascii::Answer("31", 1, std::string(46, '4'));
  const std::vector<uint8_t> before = RecordBytes();
  Port.InjectReceive(frame);
  EXPECT_EQ(Ctx->Stats.ErrE, 1);
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  EXPECT_TRUE(RecordBytes() == before);
}

TEST_F(RequestInFlight, AProbeBeyondTheDeviceTableIsNeverFoundAndTheCycleMovesOn) {
  std::vector<int> found;
  Engine->DeviceFound = [&found](uint8_t addr) { found.push_back(addr); };
  Engine->NextSearchAddress = [] { return uint8_t{253}; };
  Ctx->Vars.SearchMode = 1;
  ASSERT_TRUE(Build());
  SendOnce();
  Port.InjectReceive(ReadAnswer(253, 4, std::vector<uint16_t>(14, 1)));
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  Ctx->Vars.SearchMode = 0;
  Ctx->Vars.PollStep = 1;
  // An address without a slot counts as lost: the next request starts device 1.
  EXPECT_EQ(Visits(1), (std::vector<TVisit>{{1, 1}}));
}

}  // namespace
