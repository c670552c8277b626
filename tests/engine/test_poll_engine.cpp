#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <functional>
#include <future>
#include <unistd.h>
#include <map>
#include <vector>

#include "control/Control.h"
#include "core/Catalogue.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "serial/FakeSerialPort.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

uint16_t Crc16(const std::vector<uint8_t>& bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// A Modbus device answering read requests from a register map.
std::vector<uint8_t> AnswerFor(const std::vector<uint8_t>& request, const std::map<int, uint16_t>& regs) {
  const int fn = request[1];
  const int base = fn == 4 ? 30001 : 40001;
  const int first = request[2] * 256 + request[3];
  const int count = request[4] * 256 + request[5];
  std::vector<uint8_t> out = {request[0], static_cast<uint8_t>(fn), static_cast<uint8_t>(count * 2)};
  for (int i = 0; i < count; ++i) {
    const auto it = regs.find(base + first + i);
    const uint16_t v = it == regs.end() ? 0 : it->second;
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  const uint16_t crc = Crc16(out);
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  return out;
}

class PollEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("tessaro_engine_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Clock.Set(EncodeDateTime({2026, 12, 10, 8, 0, 0, 0}));
    Ctx = std::make_unique<TContext>(Dir.string(), Clock);
    Ctx->Start();
    Ctx->Settings.PortInfo.ComName = "COM1";
    Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
    Ctx->Settings.RecInterval = 0;
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
  }
  void TearDown() override {
    Engine.reset();
    Ctx.reset();
    fs::remove_all(Dir);
  }
  void AddDevices(std::initializer_list<uint8_t> addrs) {
    for (uint8_t a : addrs) {
      TDeviceNode n;
      n.Address = a;
      n.Name = PadDeviceName("ups" + std::to_string(a));
      Ctx->DeviceList.AddDevice(n);
    }
  }
  // Ticks the engine; every frame sent is answered at once by `answer` when set.
  void Run(int ticks) {
    for (int i = 0; i < ticks; ++i) {
      const size_t before = Port.SentFrames.size();
      Engine->Tick();
      Clock.AdvanceMs(100);
      ++Now;
      for (size_t k = before; k < Port.SentFrames.size(); ++k) {
        SendTicks.push_back(Now);
        if (Answer) {
          const std::vector<uint8_t> reply = Answer(Port.SentFrames[k]);
          if (!reply.empty()) Engine->Comm1ReceiveData(reply.data(), reply.size());
        }
      }
    }
  }
  std::vector<EventRecord> Events() const { return ReadEventLogFile(Ctx->EventLogger->FullPath); }

  fs::path Dir;
  TManualClock Clock;
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> Answer;
  std::vector<int> SendTicks;
  int Now = 0;
};

}  // namespace

TEST_F(PollEngine, DefaultResendSendsEachRequestOnceEveryThirteenTicks) {
  AddDevices({1});
  ASSERT_TRUE(Engine->Start());
  Run(14 * 13);
  ASSERT_GE(SendTicks.size(), 10u);
  for (size_t i = 1; i < SendTicks.size(); ++i) EXPECT_EQ(SendTicks[i] - SendTicks[i - 1], 13) << i;
  EXPECT_EQ(Ctx->Stats.TxCount, static_cast<int>(SendTicks.size()));
}

TEST_F(PollEngine, ResendThreeSendsEveryRequestTwiceElevenTicksApartEvenWhenAnswered) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(48);
  ASSERT_GE(Port.SentFrames.size(), 4u);
  EXPECT_EQ(Port.SentFrames[0], Port.SentFrames[1]);
  EXPECT_EQ(SendTicks[1] - SendTicks[0], 11);
  EXPECT_NE(Port.SentFrames[1], Port.SentFrames[2]);  // the next request of the cycle
  EXPECT_EQ(SendTicks[2] - SendTicks[1], 13);
  EXPECT_EQ(Ctx->UpsInfo[1].CommState, 0);
  EXPECT_LE(Ctx->UpsInfo[1].FailStreak, 1);
}

TEST_F(PollEngine, AnEchoedWriteIsNotSentAgainButAnUnansweredOneIs) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;
  bool echo = true;
  Answer = [&echo](const std::vector<uint8_t>& req) {
    if (req[1] == 6) return echo ? req : std::vector<uint8_t>{};
    return AnswerFor(req, {});
  };
  ASSERT_TRUE(Engine->Start());
  const std::vector<uint8_t> write = {0x01, 0x06, 0x4E, 0x22, 0x00, 0x3C, 0x3E, 0xF9};
  auto writes = [&] { return std::count(Port.SentFrames.begin(), Port.SentFrames.end(), write); };
  for (bool answered : {true, false}) {
    echo = answered;
    Port.SentFrames.clear();
    Ctx->CommandQueue.CommandValue = 60;
    Ctx->CommandQueue[1] = {CommandPending, 1, 6, 20003, 0};
    Run(60);
    EXPECT_EQ(writes(), answered ? 1 : 2) << (answered ? "echoed" : "unanswered");
  }
}

TEST_F(PollEngine, AQueuedWriteEndsConfirmedRefusedWithItsCodeOrNotAnswered) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;  // two sends of a request that gets no answer
  enum class TDevice { Echoes, Refuses, Silent };
  TDevice device = TDevice::Echoes;
  Answer = [&device](const std::vector<uint8_t>& req) {
    if (req[1] != 6) return AnswerFor(req, {});
    if (device == TDevice::Silent) return std::vector<uint8_t>{};
    if (device == TDevice::Echoes) return req;
    std::vector<uint8_t> exception = {req[0], 0x86, 0x04};  // server device failure
    const uint16_t crc = Crc16(exception);
    exception.push_back(static_cast<uint8_t>(crc & 0xFF));
    exception.push_back(static_cast<uint8_t>(crc >> 8));
    return exception;
  };
  ASSERT_TRUE(Engine->Start());
  Run(20);
  const std::vector<uint8_t> off = {0x01, 0x06, 0x4E, 0x21, 0x00, 0x01, 0x0F, 0x28};
  struct {
    TDevice Device;
    TCommandState State;
    uint8_t Code;
    long Sends;
  } const cases[] = {
      {TDevice::Echoes, TCommandState::Confirmed, 0, 1},
      {TDevice::Refuses, TCommandState::Refused, 4, 1},  // refused is final: not sent again
      {TDevice::Silent, TCommandState::NotAnswered, 0, 2},
  };
  for (const auto& c : cases) {
    device = c.Device;
    Port.SentFrames.clear();
    Ctx->UpsInfo[1].CommState = 0;  // the silent case may have cost it its link
    const TCommandTicket ticket = QueueControlCommand(*Ctx, {1, TCommandKind::LoadOff, 0, 0}, true);
    ASSERT_EQ(ticket.Check, TCommandCheck::Ok);
    for (int i = 0; i < 100 && Ctx->Commands.Find(ticket.Id)->State == TCommandState::Pending; ++i) Run(1);
    Run(30);  // and nothing more goes out for it afterwards
    const TTrackedCommand* tracked = Ctx->Commands.Find(ticket.Id);
    EXPECT_EQ(tracked->State, c.State) << static_cast<int>(c.Device);
    EXPECT_EQ(tracked->ExceptionCode, c.Code);
    EXPECT_GT(tracked->DoneMs, tracked->QueuedMs);
    EXPECT_EQ(std::count(Port.SentFrames.begin(), Port.SentFrames.end(), off), c.Sends) << static_cast<int>(c.Device);
  }
}

// A held line: the device takes the write only after every resend has gone
// unanswered, and its echo then arrives among the answers to later requests.
TEST_F(PollEngine, AnEchoAfterNotAnsweredTurnsTheWriteConfirmedLate) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;
  std::vector<uint8_t> held;
  Answer = [&held](const std::vector<uint8_t>& req) {
    if (req[1] != 6) return AnswerFor(req, {});
    held = req;  // the device answers it later
    return std::vector<uint8_t>{};
  };
  ASSERT_TRUE(Engine->Start());
  Run(20);
  const auto queueTest = [&] {
    Ctx->UpsInfo[1].CommState = 0;
    const TCommandTicket t = QueueControlCommand(*Ctx, {1, TCommandKind::BatteryTest, 0, 60}, true);
    EXPECT_EQ(t.Check, TCommandCheck::Ok);
    for (int i = 0; i < 100 && Ctx->Commands.Find(t.Id)->State == TCommandState::Pending; ++i) Run(1);
    EXPECT_EQ(Ctx->Commands.Find(t.Id)->State, TCommandState::NotAnswered);
    return t.Id;
  };
  std::vector<TCommandState> told;
  Ctx->Commands.Subscribe([&told](const TTrackedCommand& c) { told.push_back(c.State); });

  const uint32_t id = queueTest();
  Run(25);  // the cycle goes on meanwhile
  const int failures = Ctx->Stats.ParseFailures;
  Engine->Comm1ReceiveData(held.data(), held.size());
  EXPECT_EQ(Ctx->Commands.Find(id)->State, TCommandState::ConfirmedLate);
  EXPECT_EQ(Ctx->Stats.ParseFailures, failures);  // the echo is no garbage
  EXPECT_EQ(told.back(), TCommandState::ConfirmedLate);
  // Once only: the same bytes again answer nothing.
  Engine->Comm1ReceiveData(held.data(), held.size());
  EXPECT_EQ(Ctx->Stats.ParseFailures, failures + 1);
  EXPECT_NE(OutcomeText(*Ctx->Commands.Find(id), 0).find("confirmed late"), std::string::npos);

  // An echo long after the write is no longer taken for it.
  const uint32_t stale = queueTest();
  Clock.AdvanceMs(10 * 60 * 1000);
  Engine->Comm1ReceiveData(held.data(), held.size());
  EXPECT_EQ(Ctx->Commands.Find(stale)->State, TCommandState::NotAnswered);
}

TEST_F(PollEngine, AWriteIsNotKeptForLaterWhenThePortCloses) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;
  Answer = [](const std::vector<uint8_t>& req) { return req[1] == 6 ? std::vector<uint8_t>{} : AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(20);
  const std::vector<uint8_t> off = {0x01, 0x06, 0x4E, 0x21, 0x00, 0x01, 0x0F, 0x28};
  auto offs = [&] { return std::count(Port.SentFrames.begin(), Port.SentFrames.end(), off); };
  auto queueOff = [&] {
    Ctx->UpsInfo[1].CommState = 0;
    const TCommandTicket t = QueueControlCommand(*Ctx, {1, TCommandKind::LoadOff, 0, 0}, true);
    EXPECT_EQ(t.Check, TCommandCheck::Ok);
    return t.Id;
  };
  auto state = [&](uint32_t id) { return Ctx->Commands.Find(id)->State; };

  // Queued, then the port closes before it goes out.
  uint32_t id = queueOff();
  Engine->CloseCommPort();
  Run(1);
  EXPECT_EQ(state(id), TCommandState::NotSent);
  Engine->OpenCommPort();
  Run(40);
  EXPECT_EQ(offs(), 0);

  // On the line, unanswered, when the port closes: not answered, and the
  // reopened port does not send it again.
  id = queueOff();
  for (int i = 0; i < 40 && offs() == 0; ++i) Run(1);
  ASSERT_EQ(offs(), 1);
  Engine->CloseCommPort();
  Run(1);
  EXPECT_EQ(state(id), TCommandState::NotAnswered);
  Engine->OpenCommPort();
  Run(40);
  EXPECT_EQ(offs(), 1);
}

TEST_F(PollEngine, ResendZeroOrOneSendsNothingButTheCursorAdvances) {
  for (uint8_t maxReSend : {0, 1}) {
    Port.SentFrames.clear();
    Ctx->DeviceList.Count = 0;
    AddDevices({3, 4});
    Ctx->Settings.PortInfo.MaxReSend = maxReSend;
    Ctx->UpsInfo[3].CommState = Ctx->UpsInfo[4].CommState = 2;  // one-step cycles
    Engine->Start();
    std::vector<int> addresses;
    for (int i = 0; i < 8; ++i) {
      Run(1);
      if (Ctx->Vars.DebugStage == 5) addresses.push_back(Ctx->DeviceList.CurAddr);
    }
    EXPECT_TRUE(Port.SentFrames.empty()) << int(maxReSend);
    EXPECT_GE(addresses.size(), 3u);
    EXPECT_NE(addresses[0], addresses[1]);
  }
}

TEST_F(PollEngine, SilentDeviceFallsToErrorThenLostWithOneEvent) {
  AddDevices({2});
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(13 * 3);
  ASSERT_EQ(Ctx->UpsInfo[2].CommState, 0);
  Answer = nullptr;  // the converter is unplugged
  std::vector<int> states;
  const size_t sentBefore = Port.SentFrames.size();
  for (int i = 0; i < 13 * 12; ++i) {
    const size_t n = Port.SentFrames.size();
    Run(1);
    if (Port.SentFrames.size() > n) states.push_back(Ctx->UpsInfo[2].CommState);
  }
  ASSERT_GE(Port.SentFrames.size() - sentBefore, 10u);
  EXPECT_EQ(states[2], 0);
  EXPECT_EQ(states[3], 1);  // the 4th unanswered send
  EXPECT_EQ(states[8], 1);
  EXPECT_EQ(states[9], 2);  // the 10th
  int lost = 0;
  for (const EventRecord& e : Events())
    if (e.Kind == 0 && e.Code == 18 && e.Address == 2) ++lost;
  EXPECT_EQ(lost, 1);
}

TEST_F(PollEngine, OneAnswerLogsEstablishedStateChangeRaisedThenClearedAlarms) {
  AddDevices({5});
  ASSERT_TRUE(Engine->Start());
  TUpsInfo& d = Ctx->UpsInfo[5];
  // A state and alarm words already decoded, and an alarm that has gone since.
  d.Status.CmmAlarm1 = 0xFFFF;
  d.Status.StateValid = 1;
  d.StateCode = StateOnline;
  d.PrevAlarmCodes[0] = 71;
  d.PrevAlarmCount = 1;
  Answer = [](const std::vector<uint8_t>& req) {
    return req[0] == 5 ? AnswerFor(req, {}) : std::vector<uint8_t>{};
  };
  int guard = 0;
  while (d.CommState != 0 && ++guard < 100) Run(1);
  ASSERT_LT(guard, 100);
  const std::vector<EventRecord> ev = Events();
  ASSERT_GE(ev.size(), 6u);
  EXPECT_EQ(ev[0].Code, 20);
  EXPECT_EQ(ev[1].Code, 23);
  EXPECT_EQ(ev[2].Kind, 0);
  EXPECT_EQ(ev[2].Code, 22);
  EXPECT_EQ(ev[2].Address, 5);
  EXPECT_EQ(ev[3].Kind, 1);
  EXPECT_EQ(ev[3].Code, StateOnline);
  std::vector<int> raised;
  for (size_t i = 4; i + 1 < ev.size(); ++i) {
    EXPECT_EQ(ev[i].Kind, 2);
    EXPECT_EQ(ev[i].Active, 1);
    raised.push_back(ev[i].Code);
  }
  EXPECT_EQ(raised.size(), d.AlarmCount);
  EXPECT_TRUE(std::equal(raised.begin(), raised.end(), d.AlarmCodes.begin()));
  EXPECT_EQ(ev.back().Kind, 2);
  EXPECT_EQ(ev.back().Code, 71);
  EXPECT_EQ(ev.back().Active, 0);
  EXPECT_EQ(d.PrevAlarmCount, d.AlarmCount);
}

// The event disk stands still while a device raises its alarms: requests keep
// their schedule, and once the disk is back every event is written, in order.
TEST_F(PollEngine, PollingKeepsItsScheduleWhileTheEventDiskStandsStill) {
  AddDevices({5});
  std::promise<void> diskBack;
  Ctx->EventLogger->Io.Sync = [back = diskBack.get_future().share()](int fd) {
    back.wait();
    return ::fdatasync(fd);
  };
  std::vector<EventRecord> logged;
  Ctx->EventLogger->Observers.push_back([&logged](const EventRecord& r) { logged.push_back(r); });
  Ctx->StartLogWriter();
  ASSERT_TRUE(Engine->Start());
  TUpsInfo& d = Ctx->UpsInfo[5];
  d.Status.CmmAlarm1 = 0xFFFF;
  d.Status.StateValid = 1;
  d.StateCode = StateOnline;
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  Run(1 + 13 * 20);
  ASSERT_EQ(SendTicks.size(), 20u);
  for (size_t i = 1; i < SendTicks.size(); ++i) EXPECT_EQ(SendTicks[i] - SendTicks[i - 1], 13);
  // What the writer has written but not yet synced may already be readable:
  // the schedule above and the order below are what is promised.

  diskBack.set_value();
  ASSERT_TRUE(Ctx->StopLogWriter());
  const std::vector<EventRecord> ev = Events();
  ASSERT_GT(logged.size(), 4u);
  ASSERT_EQ(ev.size(), logged.size());
  for (size_t i = 0; i < ev.size(); ++i)
    EXPECT_EQ(std::memcmp(&ev[i], &logged[i], sizeof(EventRecord)), 0) << "record " << i;
  EXPECT_EQ(ev[0].Code, EventProgramStarted);
  EXPECT_EQ(ev[2].Code, EventCommEstablished);
  EXPECT_EQ(ev[4].Kind, EventKindAlarm);
}

TEST_F(PollEngine, AnswerAfterTheNextRequestIsBuiltCountsAsParseFailure) {
  AddDevices({1, 2});
  ASSERT_TRUE(Engine->Start());
  while (Port.SentFrames.empty() || Port.SentFrames.back()[0] != 1) Run(1);  // a request to device 1 goes out
  const std::vector<uint8_t> late = AnswerFor(Port.SentFrames.back(), {});
  Run(12);  // 1.2 s later the next request, to device 2, is built
  ASSERT_EQ(Ctx->DeviceList.CurAddr, 2);
  const int failures = Ctx->Stats.ParseFailures;
  Engine->Comm1ReceiveData(late.data(), late.size());
  EXPECT_EQ(Ctx->Stats.ParseFailures, failures + 1);
  EXPECT_EQ(Ctx->UpsInfo[1].CommState, 2);
  EXPECT_EQ(Ctx->UpsInfo[1].SuccessCount, 0);
  EXPECT_EQ(Ctx->UpsInfo[2].ReceiveCount, 1);
}

TEST_F(PollEngine, InputIsPurgedBeforeEverySend) {
  AddDevices({1});
  Ctx->Settings.PortInfo.MaxReSend = 3;
  ASSERT_TRUE(Engine->Start());
  Run(60);
  ASSERT_GE(Port.SentFrames.size(), 4u);
  ASSERT_EQ(Port.PurgedAt.size(), Port.SentFrames.size());
  for (size_t i = 0; i < Port.SentFrames.size(); ++i) EXPECT_EQ(Port.PurgedAt[i], i);
}

TEST_F(PollEngine, AnswerBeforeTheRequestWentOutIsRefused) {
  AddDevices({1});
  ASSERT_TRUE(Engine->Start());
  Run(1);  // built, not yet sent
  ASSERT_EQ(Ctx->Vars.DebugStage, 5);
  ASSERT_TRUE(Port.SentFrames.empty());
  const auto request = Engine->Request().Bytes();
  const std::vector<uint8_t> answer = AnswerFor({request.begin(), request.end()}, {});
  Engine->Comm1ReceiveData(answer.data(), answer.size());
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  Run(1);  // sent: the same answer now belongs to it
  Engine->Comm1ReceiveData(answer.data(), answer.size());
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
}

TEST_F(PollEngine, AWriteThePortRefusesIsNotCountedAndLightsNothing) {
  AddDevices({1});
  ASSERT_TRUE(Engine->Start());
  Port.RefuseSends = true;
  Run(30);
  EXPECT_EQ(Ctx->Stats.TxCount, 0);
  EXPECT_EQ(Ctx->Display.TxLed, 0);
  EXPECT_GT(Ctx->UpsInfo[1].FailStreak, 0);  // the request still went unanswered
  Port.RefuseSends = false;
  Run(13);
  EXPECT_EQ(Ctx->Stats.TxCount, 1);
  EXPECT_EQ(Ctx->Display.TxLed, 3);
}

TEST_F(PollEngine, FastPollSendsTheNextRequestOneTurnaroundAfterAnAnswer) {
  AddDevices({1, 2});
  Ctx->Settings.PortInfo.FastPoll = true;
  ASSERT_TRUE(Engine->Start());
  // Device 1 answers at once, device 2 never.
  int fastSteps = 0;
  std::vector<std::vector<uint8_t>> order;
  for (int tick = 0; tick < 400; ++tick) {
    Run(1);
    while (!Port.SentFrames.empty() && Port.SentFrames.back()[0] == 1 && Ctx->Vars.Waiting && Port.SentFrames.size() > order.size()) {
      order.push_back(Port.SentFrames.back());
      const auto answer = AnswerFor(Port.SentFrames.back(), {});
      Engine->Comm1ReceiveData(answer.data(), answer.size());
      ASSERT_EQ(Engine->FastStepDueInMs(), 5);  // 3.5 characters at 9600 baud are 3.6 ms
      Clock.AdvanceMs(5);
      const size_t before = Port.SentFrames.size();
      Engine->FastStep();
      ASSERT_EQ(Port.SentFrames.size(), before + 1) << "the next request goes out at once";
      ++fastSteps;
    }
    while (Port.SentFrames.size() > order.size()) order.push_back(Port.SentFrames[order.size()]);
  }
  EXPECT_GT(fastSteps, 20);
  EXPECT_EQ(Ctx->UpsInfo[1].CommState, 0);
  // The silent device is still asked, and lost after its unanswered sends.
  EXPECT_GT(std::count_if(order.begin(), order.end(), [](const auto& f) { return f[0] == 2; }), 10);
  EXPECT_EQ(Ctx->UpsInfo[2].CommState, 2);
}

TEST_F(PollEngine, FastPollJoinsAFrameSplitIntoTwoChunks) {
  AddDevices({1});
  Ctx->Settings.PortInfo.FastPoll = true;
  ASSERT_TRUE(Engine->Start());
  while (Port.SentFrames.empty()) Run(1);
  const auto answer = AnswerFor(Port.SentFrames.back(), {});
  const size_t half = answer.size() / 2;
  Engine->Comm1ReceiveData(answer.data(), half);
  Engine->Comm1ReceiveData(answer.data() + half, answer.size() - half);
  EXPECT_EQ(Ctx->UpsInfo[Engine->Request().Addr].ReceiveCount, 2);
  EXPECT_GE(Engine->FastStepDueInMs(), 0) << "the joined frame was accepted";
}

TEST_F(PollEngine, WithoutFastPollAnAnswerNeverShortensTheWait) {
  AddDevices({1});
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(13 * 8);
  EXPECT_EQ(Engine->FastStepDueInMs(), -1);
  for (size_t i = 1; i < SendTicks.size(); ++i) EXPECT_EQ(SendTicks[i] - SendTicks[i - 1], 13);
}

TEST_F(PollEngine, AddressBeyondTheTableChargesNoOtherDevice) {
  AddDevices({253});  // the list itself takes any address
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(13 * 12);
  ASSERT_GT(Port.SentFrames.size(), 10u);
  EXPECT_EQ(Port.SentFrames.back()[0], 253);
  const TUpsInfo& last = Ctx->UpsInfo[MaxAddress];
  EXPECT_EQ(last.TotalCount, 0);
  EXPECT_EQ(last.FailStreak, 0);
  EXPECT_EQ(last.ReceiveCount, 0);
  EXPECT_EQ(last.CommState, 2);
  for (const EventRecord& e : Events()) EXPECT_EQ(e.Address, 0) << e.Code;
}

TEST_F(PollEngine, ChunksAreCutToFourHundredBytes) {
  AddDevices({1});
  ASSERT_TRUE(Engine->Start());
  std::vector<uint8_t> big(1000, 0x55);
  Engine->Comm1ReceiveData(big.data(), big.size());
  EXPECT_EQ(Ctx->Stats.RxCount, 1);
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
  EXPECT_EQ(Ctx->Vars.RxBuf[RxBufSize - 1], 0x55);
}

TEST_F(PollEngine, PortWatchLogsRecoveredOnceAndLostOnCloseWithLinksReset) {
  AddDevices({1});
  Answer = [](const std::vector<uint8_t>& req) { return AnswerFor(req, {}); };
  ASSERT_TRUE(Engine->Start());
  Run(30);
  ASSERT_GT(Ctx->UpsInfo[1].SuccessCount, 0);
  Engine->CloseCommPort();
  Run(5);
  EXPECT_EQ(Ctx->UpsInfo[1].SuccessCount, 0);
  Engine->OpenCommPort();
  Run(1);
  std::vector<int> programCodes;
  for (const EventRecord& e : Events())
    if (e.Kind == 0 && e.Address == 0) programCodes.push_back(e.Code);
  EXPECT_EQ(programCodes, (std::vector<int>{20, 23, 18, 23}));
}

TEST_F(PollEngine, PortNamesOutsideComOneToTwoFiftySixAreNotOpened) {
  const struct {
    const char* Name;
    bool Opens;
  } cases[] = {{"COM1", true}, {"COM9", true}, {"COM10", true}, {"COM256", true},
               {"COM0", false}, {"COM", false}, {"COMX", false}, {"/dev/ttyUSB0", true}};
  for (const auto& c : cases) {
    Engine->CloseCommPort();
    Ctx->Settings.PortInfo.ComName = c.Name;
    Engine->OpenCommPort();
    EXPECT_EQ(Engine->PortIsOpen(), c.Opens) << c.Name;
  }
}

TEST_F(PollEngine, SnapshotEveryIntervalPlusOneTicksOfCommunicatingDevicesOnly) {
  AddDevices({1, 2, 3});
  Ctx->Settings.RecInterval = 50;
  ASSERT_TRUE(Engine->Start());
  Ctx->Vars.Paused = 255;
  // Each device has all its values and has just answered.
  for (uint8_t a : {1, 2, 3}) {
    Ctx->UpsInfo[a].DecodedSteps = Ctx->Vars.RequiredSteps;
    Ctx->UpsInfo[a].LastAnswerMs = Clock.MonotonicMs();
  }
  Ctx->UpsInfo[1].CommState = 0;
  Ctx->UpsInfo[2].CommState = 1;
  Ctx->UpsInfo[3].CommState = 0;
  Ctx->UpsInfo[3].Measure.InputVoltA = 231.5;
  Run(1 + 51 + 51);
  const auto records = ReadDataLogFile(DataLogFileName(Ctx->RecordDir, Clock.Now()));
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].Address, 1);
  EXPECT_EQ(records[1].Address, 3);
  EXPECT_EQ(records[1].Measure.InputVoltA, 231.5);
  EXPECT_NEAR((records[2].Time - records[0].Time) * 864000.0, 51.0, 0.01);
}

TEST_F(PollEngine, AnotherProtocolsStepsCountForNothing) {
  ASSERT_TRUE(Engine->Start());
  EXPECT_EQ(Ctx->Vars.CycleSteps, 4);
  EXPECT_EQ(Ctx->Vars.RequiredSteps, 0b111u);
  Ctx->UpsInfo[1].DecodedSteps = 0b111;
  Ctx->Settings.PortInfo.Protocol = ProtocolRxa;  // the same handler
  Run(1);
  EXPECT_EQ(Ctx->UpsInfo[1].DecodedSteps, 0b111u);
  Ctx->Settings.PortInfo.Protocol = ProtocolYdtV31;
  Run(1);
  EXPECT_EQ(Ctx->UpsInfo[1].DecodedSteps, 0u);
  EXPECT_EQ(Ctx->Vars.CycleSteps, 5);
  EXPECT_EQ(Ctx->Vars.RequiredSteps, 0b11111u);
}

TEST_F(PollEngine, SearchProbesEachAddressOnceThenStops) {
  ASSERT_TRUE(Engine->Start());
  std::vector<uint8_t> range = {1, 2, 3};
  size_t next = 0;
  std::vector<uint8_t> found;
  Engine->NextSearchAddress = [&]() -> uint8_t {
    if (next >= range.size()) {
      Ctx->Vars.SearchMode = 0;
      return 0;
    }
    return range[next++];
  };
  Engine->DeviceFound = [&](uint8_t a) { found.push_back(a); };
  Ctx->Vars.SearchMode = 1;
  Answer = [](const std::vector<uint8_t>& req) {
    return req[0] == 2 ? AnswerFor(req, {}) : std::vector<uint8_t>{};
  };
  Run(40);
  ASSERT_GE(Port.SentFrames.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Port.SentFrames[i][0], i + 1);
  EXPECT_EQ(SendTicks[1] - SendTicks[0], 13);
  EXPECT_EQ(found, (std::vector<uint8_t>{2}));
  EXPECT_EQ(Ctx->Vars.SearchMode, 0);
}

TEST_F(PollEngine, UnknownProtocolSendsNothingAndRejectsEverything) {
  AddDevices({1});
  Ctx->Settings.PortInfo.Protocol = 4;
  ASSERT_TRUE(Engine->Start());
  Run(30);
  EXPECT_TRUE(Port.SentFrames.empty());
  const uint8_t junk[] = {1, 2, 3};
  Engine->Comm1ReceiveData(junk, sizeof junk);
  EXPECT_EQ(Ctx->Stats.ParseFailures, 1);
}

TEST_F(PollEngine, FailedPortIsClosedAndReopenedWithoutHelp) {
  AddDevices({1});
  ASSERT_TRUE(Engine->Start());
  Run(3);
  Port.InjectFailure();
  EXPECT_FALSE(Engine->PortIsOpen());
  Port.FailNextOpen();  // the adapter is still out at the first retry
  Run(Engine->ReopenTicks + 1);
  EXPECT_FALSE(Engine->PortIsOpen());
  Run(Engine->ReopenTicks + 1);
  EXPECT_TRUE(Engine->PortIsOpen());
  std::vector<int> programCodes;
  for (const EventRecord& e : Events())
    if (e.Kind == 0 && e.Address == 0) programCodes.push_back(e.Code);
  EXPECT_EQ(programCodes, (std::vector<int>{20, 23, 18, 23}));
}

// Over a network stream an answer comes in pieces, or beside bytes that answer
// nothing; it is found all the same, a piece is no failure, and nothing else
// is taken for it.
TEST_F(PollEngine, StreamAnswerInPiecesOrBesideOtherBytesIsFoundAndNothingElseIsTakenForIt) {
  AddDevices({1});
  Port.Stream = true;
  ASSERT_TRUE(Engine->Start());
  using TBytes = std::vector<uint8_t>;
  const struct {
    const char* Name;
    std::function<std::vector<TBytes>(const TBytes& answer, const TBytes& request)> Chunks;
    bool Accepted;
  } cases[] = {
      {"byte by byte",
       [](const TBytes& a, const TBytes&) {
         std::vector<TBytes> out;
         for (uint8_t b : a) out.push_back({b});
         return out;
       },
       true},
      {"after the tail of a late answer",
       [](const TBytes& a, const TBytes&) {
         TBytes joined = {0x12, 0x34, 0x56};
         joined.insert(joined.end(), a.begin(), a.end());
         return std::vector<TBytes>{TBytes(joined.begin(), joined.begin() + 5), TBytes(joined.begin() + 5, joined.end())};
       },
       true},
      {"before the start of another master's traffic",
       [](const TBytes& a, const TBytes&) {
         TBytes joined = a;
         joined.insert(joined.end(), {0x02, 0x04, 0x75});
         return std::vector<TBytes>{joined};
       },
       true},
      {"another device's answer of the same length",
       [](const TBytes&, const TBytes& r) { return std::vector<TBytes>{AnswerFor({2, r[1], r[2], r[3], r[4], r[5]}, {})}; },
       false},
  };
  for (const auto& c : cases) {
    // Wait for the next request to device 1, then deliver.
    const size_t sent = Port.SentFrames.size();
    while (Port.SentFrames.size() == sent || Port.SentFrames.back()[0] != 1) Run(1);
    const TBytes request = Port.SentFrames.back();
    const int successes = Ctx->UpsInfo[1].SuccessCount;
    const int failures = Ctx->Stats.ParseFailures;
    const std::vector<TBytes> chunks = c.Chunks(AnswerFor(request, {}), request);
    for (const TBytes& chunk : chunks) Engine->Comm1ReceiveData(chunk.data(), chunk.size());
    EXPECT_EQ(Ctx->UpsInfo[1].SuccessCount, successes + (c.Accepted ? 1 : 0)) << c.Name;
    EXPECT_EQ(Ctx->Stats.ParseFailures, failures + (c.Accepted ? 0 : 1)) << c.Name;
    EXPECT_EQ(Ctx->UpsInfo[2].SuccessCount, 0) << c.Name;
  }
}

// A network port connects in the background: until it has, nothing is sent
// and nothing is logged; a connection that fails is retried without a word in
// the log, and one that comes logs "recovered" once.
TEST_F(PollEngine, ConnectingPortIsNeitherPolledNorLoggedAndAFailedConnectIsRetriedQuietly) {
  AddDevices({1});
  Port.Connecting = true;
  ASSERT_TRUE(Engine->Start());
  Run(20);
  EXPECT_TRUE(Port.SentFrames.empty());
  Port.InjectFailure();  // refused
  EXPECT_FALSE(Port.IsOpen());
  const int opens = Port.OpenCount;
  Run(Engine->ReopenTicks + 1);
  EXPECT_EQ(Port.OpenCount, opens + 1);
  EXPECT_TRUE(Port.IsOpen());
  Run(Engine->ReopenTicks * 3);
  EXPECT_EQ(Port.OpenCount, opens + 1) << "a port still connecting is left to finish";
  Port.Connecting = false;
  Run(3);
  EXPECT_FALSE(Port.SentFrames.empty());
  std::vector<int> programCodes;
  for (const EventRecord& e : Events())
    if (e.Kind == 0 && e.Address == 0) programCodes.push_back(e.Code);
  EXPECT_EQ(programCodes, (std::vector<int>{20, 23}));
}
