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
    Ctx.UpsInfo[1].Params.VoltLevel = 220;
  }
  std::vector<std::pair<int, int>> Pending() const {  // (addr, reg) in serving order
    std::vector<std::pair<int, int>> out;
    TCommandQueue copy = Ctx.CommandQueue;
    while (auto cmd = copy.TakeFirst()) out.emplace_back(cmd->Addr, cmd->Reg);
    return out;
  }
  TParamInput Choice(int v) const { TParamInput in; in.ChoiceValue = v; return in; }
  std::filesystem::path Dir;
  TSystemClock Clock;
  TContext Ctx;
};

TEST_F(ControlContext, ASetPressStoresTheValueAndQueuesItsWrite) {
  EXPECT_EQ(PressParamSet(Ctx, 1, false, 1, Choice(230)).Outcome, TSetOutcome::PortOff);
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, TParamInput{}).Outcome, TSetOutcome::Invalid);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 0);

  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, Choice(230)).Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 230);
  EXPECT_EQ(Ctx.CommandQueue[0].Pending, CommandPending);
  EXPECT_EQ(Ctx.CommandQueue[0].Func, 6);
  EXPECT_EQ(Ctx.CommandQueue[0].Count, 1);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, 40005}}));

  // Pressed again before it went out: one write, the newer value.
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, Choice(240)).Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 240);
  // Another parameter does not push the first one out.
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 2, Choice(60)).Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, 40005}, {1, 40006}}));
  // The same register for another device waits until the first has gone.
  Ctx.UpsInfo[2].Params.VoltLevel = 220;
  EXPECT_EQ(PressParamSet(Ctx, 2, true, 1, Choice(220)).Outcome, TSetOutcome::Busy);
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
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 0, Choice(1)).Outcome, TSetOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, UnlockRegister}, {1, 40004}}));
  // A command that follows takes a free entry instead of the parameter's.
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegBatteryTest, 60), TCommandOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, UnlockRegister}, {1, 40004}, {1, RegBatteryTest}}));
}

TEST_F(ControlContext, OtherProtocolsStoreTheValueAndQueueNothing) {
  Ctx.Settings.PortInfo.Protocol = ProtocolYdtV31;
  EXPECT_EQ(PressParamSet(Ctx, 1, true, 1, Choice(230)).Outcome, TSetOutcome::Stored);
  EXPECT_EQ(Ctx.CommandQueue.ParamImage.VoltLevel, 230);
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegRemoteOff, 1), TCommandOutcome::Ignored);
  Ctx.Settings.PortInfo.Protocol = ProtocolQuorvan;
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegRemoteOff, 1), TCommandOutcome::Ignored);
  EXPECT_TRUE(Pending().empty());
}

TEST_F(ControlContext, CommandsUseEntryOneAndTheLastPressWins) {
  Ctx.Settings.PortInfo.Protocol = ProtocolRxa;
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegBatteryTest, 60), TCommandOutcome::Queued);
  EXPECT_EQ(Ctx.CommandQueue[1].Reg, RegBatteryTest);
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegBatteryTest, 120), TCommandOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, RegBatteryTest}}));
  EXPECT_EQ(Ctx.CommandQueue.CommandValue, 120);
  EXPECT_EQ(SendControlCommand(Ctx, 1, RegRemoteOff, 1), TCommandOutcome::Queued);
  EXPECT_EQ(Pending(), (std::vector<std::pair<int, int>>{{1, RegRemoteOff}}));
  EXPECT_EQ(SendControlCommand(Ctx, 0, RegRemoteOff, 1), TCommandOutcome::NoDevice);
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
