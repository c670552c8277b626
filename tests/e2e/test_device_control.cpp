// Writes to a device end to end: the poll engine on a real pty against the
// libmodbus slave, with the command queue filled the way the parameter,
// battery test and on/off windows fill it. The slave logs every frame it
// receives, so the exact write frames and their place in the traffic show.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "control/CommandSlots.h"
#include "control/Control.h"
#include "control/ParamTable.h"
#include "core/Clock.h"
#include "core/DeviceList.h"
#include "e2e/HeadlessFixture.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "serial/Comm.h"

using namespace tessaro;
using tessaro::testing::BuildDir;
using tessaro::testing::TChildProcess;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// "rx 01 06 ..." with the Modbus CRC appended, as the slave prints a frame.
std::string Frame(std::vector<uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  std::string text = "rx";
  char hex[12];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    text += hex;
  }
  return text;
}

bool IsRead(const std::string& frame) { return frame.rfind("rx 01 03 ", 0) == 0 || frame.rfind("rx 01 04 ", 0) == 0; }

class DeviceControl : public tessaro::testing::Headless {
 protected:
  void SetUp() override {
    Headless::SetUp();
    WriteSettings(2, 0);
    WriteDevices({1});

    std::vector<std::string> peerArgs{BuildDir + "/tessaro-modbus-peer", "--link", Link, "--log-requests"};
    peerArgs.insert(peerArgs.end(), PeerExtra.begin(), PeerExtra.end());
    Peer = std::make_unique<TChildProcess>(peerArgs);
    ASSERT_TRUE(Peer->WaitForOutput("ready", 10s)) << Peer->Err();
    Ctx = std::make_unique<TContext>((Dir / "data").string() + "/", Clock);
    Ctx->Start();
    ConfigureProgramPort(Port);
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
    std::string error;
    ASSERT_TRUE(Engine->Start(&error)) << error;
    // Communicating, with the holding registers read once.
    ASSERT_TRUE(RunUntil([this] { return Ctx->UpsInfo[1].CommState == 0 && Ctx->UpsInfo[1].Params.BattCapAh == 100; },
                         20s))
        << Peer->Out();
  }
  void TearDown() override {
    if (Engine) {
      Engine->CloseCommPort();
      Engine->Shutdown();
    }
    Engine.reset();
    Peer.reset();
    Headless::TearDown();
  }

  // The program's loop: 100 ms ticks and the port's receive events.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
      if (std::chrono::steady_clock::now() >= NextTick) {
        Engine->Tick();
        NextTick += 100ms;
      }
      pollfd p{Port.NotifyFd(), POLLIN, 0};
      if (::poll(&p, 1, 2) > 0) Port.DispatchNotifications();
      Peer->WaitForOutput("\x01", 3ms);  // takes in what the slave printed (waits at most 2 ms)
      if (done()) return true;
    }
    return false;
  }

  std::vector<std::string> Frames() const {
    std::vector<std::string> frames;
    std::istringstream in(Peer->Out());
    for (std::string line; std::getline(in, line);)
      if (line.rfind("rx ", 0) == 0) frames.push_back(line);
    return frames;
  }

  // Runs `act` just after an answer was taken in (no request on the line),
  // then returns the frames the slave received from then on: `count` of them
  // and the regular request that follows.
  std::vector<std::string> FramesAfter(const std::function<void()>& act, size_t count) {
    const int32_t answers = Ctx->UpsInfo[1].SuccessCount;
    EXPECT_TRUE(RunUntil([&] { return Ctx->UpsInfo[1].SuccessCount != answers; }, 10s));
    const size_t sent = static_cast<size_t>(Ctx->Stats.TxCount);
    act();
    EXPECT_TRUE(RunUntil([&] { return Frames().size() >= sent + count + 1; }, 10s)) << Peer->Out();
    const std::vector<std::string> all = Frames();
    if (all.size() < sent + count + 1) return {};
    EXPECT_TRUE(IsRead(all[sent + count])) << "the regular cycle goes on: " << all[sent + count];
    return {all.begin() + static_cast<long>(sent), all.begin() + static_cast<long>(sent + count)};
  }

  TSetOutcome Set(int entry, TParamInput input) {
    return PressParamSet(*Ctx, 1, Engine->PortIsOpen(), entry, input).Outcome;
  }
  static TParamInput Choice(int value) {
    TParamInput in;
    in.ChoiceValue = value;
    return in;
  }
  static TParamInput Text(const char* text) {
    TParamInput in;
    in.Text = text;
    return in;
  }
  const TDeviceParams& Params() const { return Ctx->UpsInfo[1].Params; }
  // Queues a command to device 1 the way the windows do; its tracking id.
  uint32_t Send(TCommandKind kind, uint16_t value = 0) {
    const TCommandTicket ticket = QueueControlCommand(*Ctx, {1, kind, 0, value}, Engine->PortIsOpen());
    EXPECT_TRUE(ticket.Check == TCommandCheck::Ok || ticket.Check == TCommandCheck::NoCommands);
    return ticket.Id;
  }
  TCommandState State(uint32_t id) const { return Ctx->Commands.Find(id)->State; }

  std::vector<std::string> PeerExtra;  // more arguments for the peer
  std::unique_ptr<TChildProcess> Peer;
  TSystemClock Clock;
  TComm Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
  std::chrono::steady_clock::time_point NextTick = std::chrono::steady_clock::now();
};

TEST_F(DeviceControl, SetPressesWriteTheChosenValueOnceAndTheViewShowsItAfterTheNextRead) {
  Ctx->SelectedModel = "RXA410";
  struct {
    int Entry;
    TParamInput Input;
    std::string Frame;
    std::function<bool()> ReadBack;
    std::function<std::string()> Shown;
    std::string Expected;
  } const cases[] = {
      {2, Choice(60), Frame({0x01, 0x06, 0x9C, 0x45, 0x00, 0x3C}), [this] { return Params().FreqLevel == 60; },
       [this] { return UserSetTexts(Params(), 0).FreqLevel; }, "60"},
      {5, Choice(-30), Frame({0x01, 0x06, 0x9C, 0x4C, 0xFF, 0xE2}), [this] { return Params().BypassVoltMin == -30; },
       [this] { return UserSetTexts(Params(), 0).BypassVoltMin; }, "-30%"},
      {11, Text("1.80"), Frame({0x01, 0x06, 0x9C, 0x53, 0x00, 0xB4}), [this] { return Params().EodVolt == 180; },
       [this] { return UserSetTexts(Params(), 0).EodVolt; }, "1.80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Frame);
    const auto frames = FramesAfter([&] { EXPECT_EQ(Set(c.Entry, c.Input), TSetOutcome::Queued); }, 1);
    EXPECT_EQ(frames, std::vector<std::string>{c.Frame});
    EXPECT_TRUE(RunUntil(c.ReadBack, 15s));
    EXPECT_EQ(c.Shown(), c.Expected);
  }
}

TEST_F(DeviceControl, TheUnlockModelSendsRegister50000FirstThenTheParameter) {
  Ctx->SelectedModel = "GDS7100";
  TParamInput both;
  both.BuzzerDisable = both.BoostDisable = true;
  const auto frames = FramesAfter([&] { EXPECT_EQ(Set(15, both), TSetOutcome::Queued); }, 2);
  EXPECT_EQ(frames, (std::vector<std::string>{"rx 01 06 C3 4F 00 1E 04 51", Frame({0x01, 0x06, 0x9C, 0x5A, 0x30, 0x00})}));
  ASSERT_TRUE(RunUntil([this] { return Params().ConfigFlags == 12288; }, 15s));
  EXPECT_EQ(UserSetTexts(Params(), 0).Buzzer, "disable");
  EXPECT_EQ(UserSetTexts(Params(), 0).BoostCharge, "disable");
}

TEST_F(DeviceControl, BatteryTestAndRemoteOffAndOnGoOutOnceEachAndAreConfirmed) {
  struct {
    TCommandKind Kind;
    uint16_t Value;
    std::string Frame;
  } const cases[] = {
      {TCommandKind::BatteryTest, 60, "rx 01 06 4E 22 00 3C 3E F9"},
      {TCommandKind::CancelTest, 0, "rx 01 06 4E 22 00 00 3E E8"},
      {TCommandKind::LoadOff, 0, "rx 01 06 4E 21 00 01 0F 28"},
      {TCommandKind::LoadOn, 0, "rx 01 06 4E 20 00 01 5E E8"},
  };
  for (const auto& c : cases) {
    uint32_t id = 0;
    const auto frames = FramesAfter([&] { id = Send(c.Kind, c.Value); }, 1);
    EXPECT_EQ(frames, std::vector<std::string>{c.Frame});
    EXPECT_TRUE(RunUntil([&] { return State(id) != TCommandState::Pending; }, 10s));
    EXPECT_EQ(State(id), TCommandState::Confirmed) << c.Frame;
  }
  // Two presses before the next request: one command, the second value.
  uint32_t first = 0, second = 0;
  const auto frames = FramesAfter(
      [&] {
        first = Send(TCommandKind::BatteryTest, 30);
        second = Send(TCommandKind::BatteryTest, 60);
      },
      1);
  EXPECT_EQ(frames, std::vector<std::string>{"rx 01 06 4E 22 00 3C 3E F9"});
  EXPECT_EQ(State(first), TCommandState::Superseded);
  EXPECT_TRUE(RunUntil([&] { return State(second) == TCommandState::Confirmed; }, 10s));
}

// A device that refuses remote off with exception 4 (server device failure).
class RefusingDevice : public DeviceControl {
 protected:
  RefusingDevice() { PeerExtra = {"--refuse", "20002:4"}; }
};

TEST_F(RefusingDevice, ARefusedWriteIsReportedWithItsCodeAndNotSentAgain) {
  std::vector<TTrackedCommand> told;
  Ctx->Commands.Subscribe([&told](const TTrackedCommand& c) { told.push_back(c); });
  uint32_t id = 0;
  const auto frames = FramesAfter([&] { id = Send(TCommandKind::LoadOff); }, 1);
  EXPECT_EQ(frames, std::vector<std::string>{"rx 01 06 4E 21 00 01 0F 28"});
  ASSERT_TRUE(RunUntil([&] { return State(id) != TCommandState::Pending; }, 10s));
  EXPECT_EQ(State(id), TCommandState::Refused);
  EXPECT_EQ(Ctx->Commands.Find(id)->ExceptionCode, 4);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told.back().State, TCommandState::Refused);
  // The engine does not try again: one off request in the whole traffic, and
  // the cycle goes on (the device is still heard).
  const int32_t answers = Ctx->UpsInfo[1].SuccessCount;
  ASSERT_TRUE(RunUntil([&] { return Ctx->UpsInfo[1].SuccessCount >= answers + 4; }, 15s));
  const auto all = Frames();
  EXPECT_EQ(std::count(all.begin(), all.end(), "rx 01 06 4E 21 00 01 0F 28"), 1);
  // A write it takes is still confirmed.
  const uint32_t on = Send(TCommandKind::LoadOn);
  ASSERT_TRUE(RunUntil([&] { return State(on) != TCommandState::Pending; }, 10s));
  EXPECT_EQ(State(on), TCommandState::Confirmed);
}

TEST_F(DeviceControl, NothingGoesOutWithTheAsciiProtocolOrTheSetPortClosed) {
  Ctx->Settings.PortInfo.Protocol = ProtocolYdtV31;
  EXPECT_EQ(Set(2, Choice(60)), TSetOutcome::Stored);
  EXPECT_EQ(Send(TCommandKind::LoadOff), 0u);
  Ctx->Settings.PortInfo.Protocol = ProtocolModbus;
  Engine->CloseCommPort();
  EXPECT_EQ(Set(2, Choice(60)), TSetOutcome::PortOff);
  EXPECT_FALSE(Ctx->CommandQueue.TakeFirst().has_value());
}

}  // namespace
