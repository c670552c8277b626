// The model gate, the parameter table (choices, what a device's value shows,
// checks and corrections, values written), where writes land in the command
// queue, and the battery test / on-off commands.

#include <gtest/gtest.h>

#include <filesystem>

#include "control/CommandSlots.h"
#include "control/Control.h"
#include "control/ModelGate.h"
#include "control/ParamTable.h"
#include "core/Clock.h"
#include "engine/Context.h"

namespace tessaro {
namespace {

TEST(ModelGate, TrimsStoresEveryPressAndClosesAfterThreeRejections) {
  std::string model;
  int fails = 0;
  EXPECT_EQ(GateOkPressed("  GDS7100\t", model, fails), TGateOutcome::Accepted);
  EXPECT_EQ(model, "GDS7100");
  for (auto id : ModelIds) EXPECT_EQ(GateOkPressed(id, model, fails), TGateOutcome::Accepted) << id;
  EXPECT_EQ(fails, 0);

  EXPECT_EQ(GateOkPressed("rxa410", model, fails), TGateOutcome::Rejected);
  EXPECT_EQ(model, "rxa410") << "stored before it is checked";
  EXPECT_EQ(GateOkPressed("RXA 410", model, fails), TGateOutcome::Rejected);
  EXPECT_EQ(GateOkPressed("", model, fails), TGateOutcome::Closed);
  EXPECT_EQ(fails, 3);
}

struct TCheckCase {
  int Entry;
  TParamInput Input;
  bool Ok;
  uint16_t Value;
  std::string Correction;  // "" for none
};

TEST(ParamCheck, ValidatesCorrectsAndProducesTheValueWritten) {
  TDeviceParams dev;
  dev.BattCapAh = 100;
  dev.BattGroup = 2;
  dev.ParallelNum = 3;
  auto text = [](const char* t) { TParamInput in; in.Text = t; return in; };
  auto choice = [](std::optional<int> v) { TParamInput in; in.ChoiceValue = v; return in; };
  TParamInput both;
  both.BuzzerDisable = both.BoostDisable = true;
  const TCheckCase cases[] = {
      {0, choice(4), true, 4, ""},
      {0, choice(std::nullopt), false, 0, ""},
      {5, choice(-45), true, 65491, ""},
      {11, text("1.75"), true, 175, "1.75"},
      {11, text("1.2"), true, 120, "1.20"},
      {11, text("1.90"), true, 190, "1.90"},
      {11, text("1.901"), false, 0, "1.80"},
      {11, text("1.95"), false, 0, "1.80"},
      {11, text("1.19"), false, 0, "1.80"},
      {11, text(""), false, 0, "1.80"},
      {11, text("1.7.5"), false, 0, "1.80"},
      {11, text("1.759"), true, 175, "1.75"},
      {8, text("8"), true, 8, ""},
      {8, text("9"), false, 0, ""},
      {8, text("65537"), false, 0, ""},  // would be 1 in 16 bits
      {8, text("1.0"), false, 0, ""},
      {12, text("2000"), true, 2000, ""},
      {12, text("0"), false, 0, ""},
      {13, text("50"), true, 50, ""},
      {13, text("51"), false, 0, "50"},
      {13, text(""), false, 0, "50"},
      {14, text("600"), true, 600, ""},
      {14, text("601"), false, 0, "30"},
      {14, text("0.5"), false, 0, "30"},  // not 0
      {15, both, true, 12288, ""},
      {15, TParamInput{}, true, 0, ""},
      {16, text("4"), true, 4, ""},
      {16, text(""), false, 0, ""},
      {16, text("256"), false, 0, ""},  // an 8-bit field
      {17, text("0"), true, 0, ""},
      {17, text("2"), true, 2, ""},
      {17, text("3"), false, 0, "2"},
      {18, text("14"), true, 14, ""},
      {18, text("15"), false, 0, ""},
      {18, text("0"), false, 0, ""},
  };
  for (const TCheckCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "entry " << c.Entry << " text '" << c.Input.Text << "'");
    const TParamCheck check = CheckParam(c.Entry, c.Input, dev);
    EXPECT_EQ(check.Ok, c.Ok);
    if (c.Ok) {
      EXPECT_EQ(check.Value, c.Value);
    } else {
      EXPECT_EQ(check.Message, ParamDefs[static_cast<size_t>(c.Entry)].Message);
    }
    EXPECT_EQ(check.Correction.value_or(""), c.Correction);
  }

  dev.ParallelNum = 0;
  EXPECT_EQ(CheckParam(17, text("1"), dev).Correction.value_or(""), "0");
}

std::vector<std::string> Texts(const std::vector<TChoice>& list) {
  std::vector<std::string> out;
  for (const TChoice& c : list) out.push_back(c.Text);
  return out;
}

TEST(ParamChoices, FollowTheModelAndTheDevicesVoltageLevel) {
  TDeviceParams dev;
  dev.VoltLevel = 120;
  EXPECT_EQ(Texts(ParamChoices(1, "RXA205", dev, 0)), (std::vector<std::string>{"110V", "115V", "120V", "127V"}));
  EXPECT_EQ(ShownChoice(1, "RXA205", dev), 2);
  EXPECT_EQ(Texts(ParamChoices(5, "RXA205", dev, 0)).back(), "-10%");
  dev.VoltLevel = 220;
  EXPECT_EQ(Texts(ParamChoices(5, "RXA410", dev, 0)).size(), 3u);
  EXPECT_EQ(Texts(ParamChoices(5, "RXA205", dev, 0)).size(), 4u);
  EXPECT_EQ(Texts(ParamChoices(4, "RXA410", dev, 0)), (std::vector<std::string>{"10%", "15%", "20%", "25%"}));
  dev.VoltLevel = 230;
  EXPECT_EQ(Texts(ParamChoices(4, "RXA410", dev, 0)).size(), 3u);
  dev.VoltLevel = 240;
  EXPECT_EQ(Texts(ParamChoices(4, "RXA410", dev, 0)), (std::vector<std::string>{"10%", "15%"}));
  dev.BypassVoltMax = 25;
  EXPECT_EQ(ShownChoice(4, "RXA410", dev), -1);
  dev.BypassVoltMax = 18;
  EXPECT_EQ(ShownChoice(4, "RXA410", dev), -1) << "no third choice to show";

  EXPECT_EQ(Texts(ParamChoices(7, "TMV5800", dev, 0)), (std::vector<std::string>{"16", "18", "20"}));
  EXPECT_EQ(Texts(ParamChoices(7, "RXA205", dev, 0)), (std::vector<std::string>{"24"}));
  EXPECT_EQ(ParamChoices(7, "GDS7100", dev, 0).size(), 8u);
  EXPECT_EQ(ParamChoices(9, "RXA410", dev, 0).size(), 11u);
  EXPECT_EQ(ParamChoices(10, "RXA410", dev, 0).back().Text, "2.29");
  EXPECT_EQ(Texts(ParamChoices(EntryOperationMode, "RXA410LT", dev, 1)), (std::vector<std::string>{"普通模式", "变频模式"}));
  EXPECT_EQ(ParamListCount("RXA410LT"), 20);
  EXPECT_EQ(ParamListCount("RXA410"), 19);
}

TEST(ParamChoices, ShowTheDevicesCurrentValue) {
  struct {
    int Entry;
    const char* Model;
    void (*Set)(TDeviceParams&);
    int Shown;
  } const cases[] = {
      {0, "RXA410", [](TDeviceParams& d) { d.WorkMode = 4; }, 2},
      {0, "RXA410", [](TDeviceParams& d) { d.WorkMode = 2; }, -1},
      {5, "RXA410", [](TDeviceParams& d) { d.BypassVoltMin = -20; }, 2},
      {6, "RXA410", [](TDeviceParams& d) { d.OutputVoltFine = 25; }, 2},
      {6, "RXA410", [](TDeviceParams& d) { d.OutputVoltFine = 0xFFF6; }, 0},  // -10 taken as signed
      {6, "RXA410", [](TDeviceParams& d) { d.OutputVoltFine = 90; }, 5},
      {7, "RXA410", [](TDeviceParams& d) { d.BattNum = 32; }, 3},
      {7, "RXA410", [](TDeviceParams& d) { d.BattNum = 42; }, -1},
      {7, "RXA410", [](TDeviceParams& d) { d.BattNum = 33; }, -1},  // no list entry has it
      {7, "TMV5800", [](TDeviceParams& d) { d.BattNum = 20; }, 2},
      {7, "RXA205", [](TDeviceParams& d) { d.BattNum = 99; }, 0},
      {9, "RXA410", [](TDeviceParams& d) { d.BoostVolt = 235; }, 5},
      {10, "RXA410", [](TDeviceParams& d) { d.FloatVolt = 230; }, -1},
      {EntryOperationMode, "RXA410LT", [](TDeviceParams& d) { d.OperationMode = 2; }, 1},
  };
  for (const auto& c : cases) {
    TDeviceParams dev;
    c.Set(dev);
    EXPECT_EQ(ShownChoice(c.Entry, c.Model, dev), c.Shown) << "entry " << c.Entry << " " << c.Model;
  }
  TDeviceParams dev;
  dev.EodVolt = 175;
  EXPECT_EQ(ShownNumber(11, dev), "1.75");
}

class ControlContext : public ::testing::Test {
 protected:
  ControlContext() : Dir(std::filesystem::temp_directory_path() / "tessaro-control-test"), Ctx(Dir.string() + "/", Clock) {
    Ctx.Settings.PortInfo.Protocol = ProtocolModbus;
    for (uint8_t addr : {1, 2}) {
      TDeviceNode node;
      node.Address = addr;
      node.Name = PadDeviceName(addr == 1 ? "Server room" : "");
      Ctx.DeviceList.Nodes[addr] = node;
      Ctx.UpsInfo[addr].CommState = 0;
      Ctx.UpsInfo[addr].Params.VoltLevel = 220;
    }
    Ctx.DeviceList.Count = 2;
    Ctx.Commands.Subscribe([this](const TTrackedCommand& c) { Told.push_back(c); });
  }
  std::vector<std::pair<int, int>> Pending() const {  // (addr, reg) in serving order
    std::vector<std::pair<int, int>> out;
    TCommandQueue copy = Ctx.CommandQueue;
    while (auto cmd = copy.TakeFirst()) out.emplace_back(cmd->Addr, cmd->Reg);
    return out;
  }
  TParamInput Choice(int v) const { TParamInput in; in.ChoiceValue = v; return in; }
  TCommandTicket Send(uint8_t addr, TCommandKind kind, uint16_t value = 0, bool portOpen = true) {
    return QueueControlCommand(Ctx, TCommandRequest{addr, kind, 0, value}, portOpen);
  }
  TCommandState State(uint32_t id) const { return Ctx.Commands.Find(id)->State; }
  std::filesystem::path Dir;
  TManualClock Clock;
  TContext Ctx;
  std::vector<TTrackedCommand> Told;  // what the observers heard
};

TEST_F(ControlContext, ASetPressStoresTheValueAndQueuesItsWrite) {
  EXPECT_EQ(PressParamSet(Ctx, 1, false, 1, Choice(230)).Outcome, TSetOutcome::PortOff);
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, TParamInput{}).Outcome, TSetOutcome::Invalid);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 0);
  // The question is put with the write it would queue; No leaves everything as it was.
  TCommandRequest asked;
  const TSetResult declined = PressParamSet(Ctx, 1, true, 1, Choice(230), [&asked](const TCommandRequest& r) {
    asked = r;
    return false;
  });
  EXPECT_EQ(declined.Outcome, TSetOutcome::Declined);
  EXPECT_EQ(asked.Addr, 1);
  EXPECT_EQ(asked.Reg, 40005);
  EXPECT_EQ(asked.Value, 230);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 0);
  EXPECT_TRUE(Pending().empty());

  const TSetResult first = PressParamSet(Ctx, 1, true, 1, Choice(230));
  EXPECT_EQ(first.Outcome, TSetOutcome::Queued);
  EXPECT_EQ(State(first.Id), TCommandState::Pending);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 230);
  EXPECT_EQ(Ctx.CommandQueue[0].Pending, CommandPending);
  EXPECT_EQ(Ctx.CommandQueue[0].Func, 6);
  EXPECT_EQ(Ctx.CommandQueue[0].Count, 1);
  EXPECT_EQ(Ctx.CommandQueue[0].Id, first.Id);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, 40005}}));

  // Pressed again before it went out: one write, the newer value, and the
  // first press is told it was superseded.
  const TSetResult second = PressParamSet(Ctx, 1, true, 1, Choice(240));
  EXPECT_EQ(second.Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 240);
  EXPECT_EQ(State(first.Id), TCommandState::Superseded);
  EXPECT_EQ(Ctx.CommandQueue[0].Id, second.Id);
  // Another parameter does not push the first one out.
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 2, Choice(60)).Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, 40005}, {1, 40006}}));
  EXPECT_EQ(State(second.Id), TCommandState::Pending);
  // The same register for another device waits until the first has gone.
  const TSetResult busy = PressParamSet(Ctx, 2, true, 1, Choice(220));
  EXPECT_EQ(busy.Outcome, TSetOutcome::Refused);
  EXPECT_EQ(busy.Refusal, TCommandCheck::Busy);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 240);
}

TEST_F(ControlContext, SelectingAnEntryKeepsTheValueOfAWriteStillWaiting) {
  PressParamSet(Ctx, 1, true, 1, Choice(230));
  TDeviceParams dev;
  dev.VoltLevel = 220;
  dev.FreqLevel = 50;
  LoadParamImage(Ctx.CommandQueue, dev);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 230);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.FreqLevel, 50);
}

TEST_F(ControlContext, TheUnlockModelQueuesTwoWritesUnlockFirst) {
  Ctx.SelectedModel = "GDS7100";
  const TSetResult set = PressParamSet(Ctx, 1, true, 0, Choice(1));
  EXPECT_EQ(set.Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, UnlockRegister}, {1, 40004}}));
  // The parameter's echo is the outcome; the unlock write is not tracked.
  EXPECT_EQ(Ctx.CommandQueue[0].Id, 0u);
  EXPECT_EQ(Ctx.CommandQueue[1].Id, set.Id);
  // A command that follows takes a free entry instead of the parameter's.
  EXPECT_EQ(Send(1, TCommandKind::BatteryTest, 60).Check, TCommandCheck::Ok);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, UnlockRegister}, {1, 40004}, {1, RegBatteryTest}}));
}

TEST_F(ControlContext, OtherProtocolsStoreTheValueAndQueueNothing) {
  Ctx.Settings.PortInfo.Protocol = ProtocolYdtV31;
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, Choice(230)).Outcome, TSetOutcome::Stored);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 230);
  EXPECT_EQ(Send(1, TCommandKind::LoadOff).Check, TCommandCheck::NoCommands);
  Ctx.Settings.PortInfo.Protocol = ProtocolQuorvan;
  EXPECT_EQ(Send(1, TCommandKind::LoadOff).Check, TCommandCheck::NoCommands);
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(Told.empty());
}

TEST_F(ControlContext, CommandsUseEntryOneAndTheLastPressWins) {
  Ctx.Settings.PortInfo.Protocol = ProtocolRxa;
  const TCommandTicket test60 = Send(1, TCommandKind::BatteryTest, 60);
  EXPECT_EQ(Ctx.CommandQueue[1].Reg, RegBatteryTest);
  const TCommandTicket test120 = Send(1, TCommandKind::BatteryTest, 120);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, RegBatteryTest}}));
  EXPECT_EQ(Ctx.CommandQueue.CommandValue, 120);
  const TCommandTicket off = Send(1, TCommandKind::LoadOff);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, RegRemoteOff}}));
  EXPECT_EQ(Ctx.CommandQueue.CommandValue, 1);
  EXPECT_EQ(State(test60.Id), TCommandState::Superseded);
  EXPECT_EQ(State(test120.Id), TCommandState::Superseded);
  EXPECT_EQ(State(off.Id), TCommandState::Pending);
  // The observers heard each one queued and each replaced one superseded, in order.
  std::vector<std::pair<uint32_t, TCommandState>> heard;
  for (const TTrackedCommand& c : Told) heard.emplace_back(c.Id, c.State);
  using S = TCommandState;
  EXPECT_EQ(heard, (std::vector<std::pair<uint32_t, S>>{{test60.Id, S::Pending},
                                                         {test120.Id, S::Pending},
                                                         {test60.Id, S::Superseded},
                                                         {off.Id, S::Pending},
                                                         {test120.Id, S::Superseded}}));
  EXPECT_EQ(Send(1, TCommandKind::CancelTest).Check, TCommandCheck::Ok);
  EXPECT_EQ(Ctx.CommandQueue.CommandValue, 0);
  EXPECT_EQ(Send(1, TCommandKind::LoadOn).Check, TCommandCheck::Ok);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, RegRemoteOn}}));
}

TEST_F(ControlContext, ARequestIsCheckedBeforeAnythingIsQueued) {
  Ctx.UpsInfo[2].CommState = 2;
  struct {
    const char* Why;
    TCommandRequest Request;
    bool PortOpen;
    uint8_t Protocol;
    TCommandCheck Expected;
  } const cases[] = {
      {"ready", {1, TCommandKind::LoadOff, 0, 0}, true, ProtocolModbus, TCommandCheck::Ok},
      {"RXA takes commands too", {1, TCommandKind::LoadOn, 0, 0}, true, ProtocolRxa, TCommandCheck::Ok},
      {"an ASCII protocol", {1, TCommandKind::LoadOff, 0, 0}, true, ProtocolYdtV31, TCommandCheck::NoCommands},
      {"no protocol", {1, TCommandKind::LoadOff, 0, 0}, true, 7, TCommandCheck::NoCommands},
      {"the broadcast address", {0, TCommandKind::LoadOff, 0, 0}, true, ProtocolModbus, TCommandCheck::NoDevice},
      {"port closed", {1, TCommandKind::BatteryTest, 0, 60}, false, ProtocolModbus, TCommandCheck::PortClosed},
      {"not in the list", {9, TCommandKind::LoadOff, 0, 0}, true, ProtocolModbus, TCommandCheck::NotConfigured},
      {"beyond the table", {253, TCommandKind::LoadOff, 0, 0}, true, ProtocolModbus, TCommandCheck::NotConfigured},
      {"link lost", {2, TCommandKind::LoadOn, 0, 0}, true, ProtocolModbus, TCommandCheck::NotLinked},
      {"a parameter", {1, TCommandKind::ParamWrite, 40005, 230}, true, ProtocolModbus, TCommandCheck::Ok},
      {"not a parameter", {1, TCommandKind::ParamWrite, 20002, 1}, true, ProtocolModbus,
       TCommandCheck::UnknownParameter},
      {"the unlock register", {1, TCommandKind::ParamWrite, 50000, 30}, true, ProtocolModbus,
       TCommandCheck::UnknownParameter},
  };
  for (const auto& c : cases) {
    Ctx.Settings.PortInfo.Protocol = c.Protocol;
    EXPECT_EQ(CheckCommand(Ctx, c.Request, c.PortOpen), c.Expected) << c.Why;
    if (c.Expected == TCommandCheck::Ok) continue;
    EXPECT_EQ(QueueControlCommand(Ctx, c.Request, c.PortOpen).Id, 0u) << c.Why;
    EXPECT_FALSE(CheckText(c.Expected, 0).empty());
    EXPECT_FALSE(CheckText(c.Expected, 1).empty());
  }
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(Told.empty());

  // A full queue: nothing changes and no id is given out.
  Ctx.Settings.PortInfo.Protocol = ProtocolModbus;
  for (int i = 0; i < CommandQueueSize; ++i) {
    Ctx.CommandQueue[i].Pending = CommandPending;
    Ctx.CommandQueue[i].Reg = 40002 + i;
  }
  const TCommandTicket full = Send(1, TCommandKind::LoadOff);
  EXPECT_EQ(full.Check, TCommandCheck::QueueFull);
  EXPECT_EQ(full.Id, 0u);
  EXPECT_TRUE(Told.empty());
}

TEST_F(ControlContext, TheQuestionNamesTheDeviceAndWhatTheCommandDoes) {
  Ctx.UpsInfo[1].Params.BypassVoltMin = -20;
  using K = TCommandKind;
  struct {
    TCommandRequest Request;
    uint8_t Language;
    std::vector<std::string> Says;
  } const cases[] = {
      {{1, K::LoadOff, 0, 0}, 0, {"Switch off UPS \"Server room\" (address 1)?", "loses power"}},
      {{1, K::LoadOff, 0, 0}, 1, {"关闭UPS“Server room”(地址 1)", "断电"}},
      {{1, K::LoadOn, 0, 0}, 0, {"Switch on UPS \"Server room\" (address 1)?", "powered again"}},
      {{1, K::LoadOn, 0, 0}, 1, {"开启UPS“Server room”(地址 1)", "得电"}},
      {{1, K::BatteryTest, 0, 90}, 0, {"battery test of 90 seconds on UPS \"Server room\" (address 1)?", "on the battery"}},
      {{1, K::BatteryTest, 0, 90}, 1, {"UPS“Server room”(地址 1)进行90秒的电池自检", "电池"}},
      {{1, K::CancelTest, 0, 0}, 0, {"Cancel the battery test on UPS \"Server room\" (address 1)?", "normal supply"}},
      {{1, K::CancelTest, 0, 0}, 1, {"取消UPS“Server room”(地址 1)的电池自检", "恢复正常供电"}},
      // The old value is the device's last report (-20 %), signed as the new one.
      {{1, K::ParamWrite, 40013, 65491},
       0,
       {"Set \"Bypass Volt lower Limit(%)\" of UPS \"Server room\" (address 1) from -20 to -45?"}},
      {{1, K::ParamWrite, 40013, 65491}, 1, {"UPS“Server room”(地址 1)的“旁路电压保护范围下限(%)”从-20改为-45"}},
      // A device without a name is named by its address.
      {{2, K::LoadOff, 0, 0}, 0, {"Switch off the UPS at address 2?"}},
      {{2, K::LoadOff, 0, 0}, 1, {"关闭地址 2 的UPS吗"}},
  };
  for (const auto& c : cases) {
    const std::string question = ConfirmQuestion(Ctx, c.Request, c.Language);
    for (const std::string& part : c.Says) EXPECT_NE(question.find(part), std::string::npos) << question;
  }
  // A name that looks like a mark of the texts is shown as it is.
  Ctx.DeviceList.Nodes[2].Name = PadDeviceName("{n}{d}");
  EXPECT_EQ(DeviceText(Ctx, 2, 0), "UPS \"{n}{d}\" (address 2)");
}

TEST_F(ControlContext, OutcomesReadAsOneLineWithTheCommandTheDeviceAndTheResult) {
  TTrackedCommand c;
  c.Request = {1, TCommandKind::LoadOff, 0, 0};
  using S = TCommandState;
  struct {
    S State;
    uint8_t Code;
    std::string En, Zh;
  } const cases[] = {
      {S::Pending, 0, "queued", "已排队"},
      {S::Confirmed, 0, "confirmed by the device", "设备已确认"},
      {S::Refused, 2, "refused by the device (exception 2: illegal data address)", "设备拒绝(异常码 2:非法数据地址)"},
      {S::Refused, 99, "(exception 99: unknown exception)", "异常码 99"},
      {S::NotAnswered, 0, "no confirmation from the device; it may still act", "设备未确认,命令仍可能被执行"},
      {S::ConfirmedLate, 0, "confirmed late by the device", "确认迟到"},
      {S::Superseded, 0, "replaced by a newer command", "取代"},
      {S::NotSent, 0, "not sent", "未发送"},
  };
  for (const auto& k : cases) {
    c.State = k.State;
    c.ExceptionCode = k.Code;
    const std::string en = OutcomeLine(Ctx, c, 0);
    const std::string zh = OutcomeLine(Ctx, c, 1);
    EXPECT_EQ(en.rfind("Switch off, UPS \"Server room\" (address 1): ", 0), 0u) << en;
    EXPECT_NE(en.find(k.En), std::string::npos) << en;
    EXPECT_EQ(zh.rfind("关机,UPS“Server room”(地址 1):", 0), 0u) << zh;
    EXPECT_NE(zh.find(k.Zh), std::string::npos) << zh;
  }
}

TEST(CommandTracker, KeepsABoundedTableAndDropsFinishedEntriesFirst) {
  TCommandTracker tracker;
  const uint32_t first = tracker.Add({1, TCommandKind::LoadOff, 0, 0}, 0);
  std::vector<uint32_t> ids;
  for (size_t i = 1; i < TCommandTracker::Capacity; ++i) {
    ids.push_back(tracker.Add({1, TCommandKind::LoadOn, 0, 0}, 0));
    tracker.Resolve(ids.back(), TCommandState::Confirmed, 5);
  }
  // Full: the oldest finished entry goes, not the one still pending.
  const uint32_t next = tracker.Add({1, TCommandKind::LoadOn, 0, 0}, 10);
  ASSERT_NE(tracker.Find(first), nullptr);
  EXPECT_EQ(tracker.Find(ids.front()), nullptr);
  EXPECT_NE(tracker.Find(next), nullptr);
  // An outcome is given once; a later one is not heard.
  tracker.Resolve(first, TCommandState::Refused, 20, 4);
  tracker.Resolve(first, TCommandState::Confirmed, 30);
  EXPECT_EQ(tracker.Find(first)->State, TCommandState::Refused);
  EXPECT_EQ(tracker.Find(first)->ExceptionCode, 4);
  EXPECT_EQ(tracker.Find(first)->DoneMs, 20);
  // An observer may leave while it is being told.
  int heard = 0;
  int token = 0;
  token = tracker.Subscribe([&](const TTrackedCommand&) {
    ++heard;
    tracker.Unsubscribe(token);
  });
  tracker.Resolve(next, TCommandState::NotAnswered, 40);
  tracker.Add({1, TCommandKind::LoadOn, 0, 0}, 50);
  EXPECT_EQ(heard, 1);
}

TEST(TestTime, AcceptsOnlyWholeSecondsThatFitTheRegister) {
  EXPECT_EQ(TestTimeValue("60"), 60);
  EXPECT_EQ(TestTimeValue("0"), 0);
  EXPECT_EQ(TestTimeValue("65535"), 65535);
  EXPECT_EQ(TestTimeValue("70000"), std::nullopt);
  EXPECT_EQ(TestTimeValue(""), std::nullopt);
  EXPECT_EQ(TestTimeValue("6a"), std::nullopt);
}

TEST(UserSetTexts, FormatTheDevicesParameters) {
  TDeviceParams p;
  p.WorkMode = 3;
  p.BypassVoltMin = static_cast<int16_t>(65516);
  p.OutputVoltFine = 25;
  p.BoostVolt = 235;
  p.ConfigFlags = 4096;
  p.OperationMode = 7;
  TUserSetTexts t = UserSetTexts(p, 0);
  EXPECT_EQ(t.WorkMode, "Slave");
  EXPECT_EQ(t.BypassVoltMin, "-20%");
  EXPECT_EQ(t.OutputVoltFine, "2.5%");
  EXPECT_EQ(t.BoostVolt, "2.35");
  EXPECT_EQ(t.Buzzer, "disable");
  EXPECT_EQ(t.BoostCharge, "enable");
  EXPECT_EQ(t.OperationMode, "7");
  p.WorkMode = 5;
  p.OperationMode = 1;
  t = UserSetTexts(p, 1);
  EXPECT_EQ(t.WorkMode, "");
  EXPECT_EQ(t.OperationMode, "休眠模式");
}

}  // namespace
}  // namespace tessaro
