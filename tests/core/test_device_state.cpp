#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "core/ChargeFlow.h"
#include "core/DeviceState.h"
#include "core/ProtocolTraits.h"

using namespace tessaro;

namespace {

constexpr int Chinese = 1;
constexpr int English = 0;

TEST(DeviceStateTable, EveryDeviceStateHasOneNameACaptionInBothLanguagesAndAPicture) {
  std::set<std::string> names;
  for (int32_t code = StateStandby; code <= StateFault; ++code) {
    const TStateRow& row = StateRow(code);
    ASSERT_EQ(row.Code, code);
    ASSERT_NE(row.Name, nullptr) << code;
    EXPECT_TRUE(names.insert(row.Name).second) << row.Name;
    EXPECT_FALSE(StateCaption(code, English).empty()) << code;
    EXPECT_FALSE(StateCaption(code, Chinese).empty()) << code;
    EXPECT_NE(row.Picture, TSketchPicture::None) << code;
  }
  // Display-only rows are no device state of the metrics.
  EXPECT_EQ(StateRow(-1).Name, nullptr);
  EXPECT_EQ(StateRow(StateCommLost).Name, nullptr);
  EXPECT_EQ(StateCaption(StateCommLost, English), "Communication lost");
}

TEST(DeviceStateTable, PictureOfEachState) {
  const struct {
    int32_t Code;
    TSketchPicture Picture;
  } cases[] = {
      {-1, TSketchPicture::None},           {StateNone, TSketchPicture::Standby},
      {StateStandby, TSketchPicture::Standby}, {StateNoOutput, TSketchPicture::Standby},
      {StateBypass, TSketchPicture::Bypass},   {StateOnline, TSketchPicture::Online},
      {StateBattery, TSketchPicture::Battery}, {StateBattSelfTest, TSketchPicture::Test},
      {StateInvStarting, TSketchPicture::Standby}, {StateEco, TSketchPicture::Economy},
      {StateEpo, TSketchPicture::Standby},     {StateMaintBypass, TSketchPicture::Standby},
      {StateFault, TSketchPicture::Fault},     {StateCommLost, TSketchPicture::Standby},
      {12, TSketchPicture::Standby},           {-7, TSketchPicture::Standby},
  };
  for (const auto& c : cases) EXPECT_EQ(StateRow(c.Code).Picture, c.Picture) << c.Code;
  // A code outside the table has no caption.
  EXPECT_EQ(StateCaption(12, English), "");
  EXPECT_EQ(StateCaption(-1, English), "");
}

TEST(DeviceStateTable, SketchShowsCommunicationLostWhileTheLinkIsNotUp) {
  TUpsInfo u;
  u.StateCode = StateOnline;
  for (const uint8_t comm : {1, 2}) {
    u.CommState = comm;
    EXPECT_EQ(ShownSketchState(u), StateCommLost);
  }
  u.CommState = 0;
  EXPECT_EQ(ShownSketchState(u), StateOnline);
}

TEST(DeviceTreeLook, TheSameForTheDesktopAndTheWeb) {
  struct {
    bool PortOpen;
    uint8_t CommState;
    int32_t State;
    uint8_t Alarms;
    TTreeIcon Icon;
    const char* Caption;
  } const cases[] = {
      {true, 0, 4, 0, TTreeIcon::Ok, "Online"},
      {true, 0, 4, 1, TTreeIcon::Alarm, "Online"},
      {true, 0, 10, 0, TTreeIcon::Alarm, "Maintain Bypass Status"},
      {true, 0, -1, 0, TTreeIcon::Ok, ""},
      {true, 0, 0, 0, TTreeIcon::Ok, ""},
      {true, 1, 4, 0, TTreeIcon::Alarm, "Communication Error"},
      {true, 2, -1, 0, TTreeIcon::Lost, "Communication lost"},
      {false, 0, 4, 0, TTreeIcon::Lost, "Communication lost"},
  };
  for (const auto& c : cases) {
    TUpsInfo u;
    u.CommState = c.CommState;
    u.StateCode = c.State;
    u.AlarmCount = c.Alarms;
    const TTreeLook look = TreeLook(u, c.PortOpen, 0);
    EXPECT_EQ(look.Icon, c.Icon) << c.Caption;
    EXPECT_EQ(look.Caption, c.Caption);
    EXPECT_EQ(look.Bracketed, c.State >= 0 || c.CommState != 0 || !c.PortOpen) << c.Caption;
  }
}

TEST(DeviceTreeLook, IconNamesAreTheWebPagesClasses) {
  EXPECT_STREQ(TreeIconName(TTreeIcon::Ok), "ok");
  EXPECT_STREQ(TreeIconName(TTreeIcon::Alarm), "alarm");
  EXPECT_STREQ(TreeIconName(TTreeIcon::Lost), "lost");
}

TEST(SupplyTexts, OneTextPerCodeAndNoneForAnUnknownCode) {
  TUpsInfo u;
  const struct {
    uint8_t Input, Ups;
    int32_t WorkMode;
    std::optional<TTextId> InputText, UpsText;
  } cases[] = {
      {0, 0, 0, TTextId::SupplyNone, TTextId::SupplyNone},
      {1, 1, 0, TTextId::SupplyMains, TTextId::SupplyInverter},
      {2, 2, 0, TTextId::SupplyBattery, TTextId::SupplyBypass},
      {2, 2, 1, TTextId::SupplyBattery, TTextId::SupplyEco},
      {3, 7, 1, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    u.InputSupply = c.Input;
    u.UpsSupply = c.Ups;
    u.Params.WorkMode = c.WorkMode;
    EXPECT_EQ(InputSupplyText(u), c.InputText) << int{c.Input};
    EXPECT_EQ(UpsSupplyText(u), c.UpsText) << int{c.Ups};
  }
}

TEST(StatusWordTexts, UpperCaseHexInPairs) {
  TStatusBlock s{};
  s.CmmState1 = 0x0a1f;
  s.CmmState2 = 1;
  s.InvAlarm1 = 0xffff;
  s.SysState = 0xbeef;
  const TStatusWordTexts t = StatusWordTexts(s);
  EXPECT_EQ(t.CmmState, "0A1F-0001");
  EXPECT_EQ(t.InvState, "0000-0000");
  EXPECT_EQ(t.InvAlarm, "FFFF-0000");
  EXPECT_EQ(t.SysState, "BEEF");
  EXPECT_EQ(t.SysAlarm, "0000");
}

TEST(ProtocolTraits, WhatEachProtocolGivesAndTakes) {
  const struct {
    uint8_t Protocol;
    bool Known, SystemWords, BatteryGroup, Sketch, ChargeFlow, TakesCommands, BinaryFrames;
    int32_t FirstAlarm;
  } cases[] = {
      {ProtocolYdtV31, true, true, true, true, true, false, false, 0},
      {ProtocolQuorvan, true, false, false, false, false, false, false, 100},
      {ProtocolModbus, true, true, true, true, true, true, true, 0},
      {ProtocolRxa, true, false, true, true, true, true, true, 0},
      {4, false, false, true, false, false, false, false, 0},
      {255, false, false, true, false, false, false, false, 0},
  };
  for (const auto& c : cases) {
    const TProtocolTraits& t = ProtocolTraits(c.Protocol);
    SCOPED_TRACE(int{c.Protocol});
    EXPECT_EQ(t.Known, c.Known);
    EXPECT_EQ(t.SystemWords, c.SystemWords);
    EXPECT_EQ(t.BatteryGroup, c.BatteryGroup);
    EXPECT_EQ(t.Sketch, c.Sketch);
    EXPECT_EQ(t.ChargeFlow, c.ChargeFlow);
    EXPECT_EQ(t.TakesCommands, c.TakesCommands);
    EXPECT_EQ(t.BinaryFrames, c.BinaryFrames);
    // Either the codes below 100 or those from 100 up.
    for (const int32_t code : {0, 99}) EXPECT_EQ(RaisesAlarm(t, code), c.FirstAlarm == 0) << code;
    for (const int32_t code : {100, 206}) EXPECT_EQ(RaisesAlarm(t, code), c.FirstAlarm == 100) << code;
  }
}

TEST(ChargeFlow, ShownSteeredAndPacedByTheBatteryCurrent) {
  constexpr uint16_t DischargingBit = 1u << 8;
  const struct {
    const char* What;
    uint8_t CommState;
    uint8_t Protocol;
    int32_t State;
    uint16_t CmmState1, CmmAlarm2;
    double Charge, Discharge;
    TChargeFlow Flow;
  } cases[] = {
      {"link not up", 1, ProtocolModbus, StateOnline, 0, 0, 10, 0, {false, false, false, false, 500}},
      {"no flow in the protocol", 0, ProtocolQuorvan, StateOnline, 0, 0, 10, 0, {false, false, false, false, 500}},
      {"battery fault bit 13", 0, ProtocolModbus, StateOnline, 0, 1u << 13, 10, 0, {true, false, false, false, 500}},
      {"battery fault bit 14", 0, ProtocolYdtV31, StateOnline, 0, 1u << 14, 10, 0, {true, false, false, false, 500}},
      {"EPO", 0, ProtocolModbus, StateEpo, 0, 0, 10, 0, {true, false, false, false, 500}},
      {"fault", 0, ProtocolRxa, StateFault, 0, 0, 10, 0, {true, false, false, false, 500}},
      {"charging, no current", 0, ProtocolModbus, StateOnline, 0, 0, 0, 0, {true, false, true, false, 500}},
      {"charging 30 A", 0, ProtocolModbus, StateOnline, 0, 0, 30, 0, {true, true, true, false, 380}},
      {"charging rounds", 0, ProtocolModbus, StateOnline, 0, 0, 0.4, 0, {true, true, true, false, 500}},
      {"charging capped", 0, ProtocolModbus, StateOnline, 0, 0, 500, 0, {true, true, true, false, 20}},
      {"discharging, no current", 0, ProtocolModbus, StateBattery, DischargingBit, 0, 10, 0,
       {true, false, true, true, 500}},
      {"discharging 10 A", 0, ProtocolModbus, StateBattery, DischargingBit, 0, 0, 10, {true, true, true, true, 280}},
      {"discharging capped", 0, ProtocolModbus, StateBattery, DischargingBit, 0, 0, 90, {true, true, true, true, 60}},
  };
  for (const auto& c : cases) {
    TUpsInfo u;
    u.CommState = c.CommState;
    u.StateCode = c.State;
    u.Status.CmmState1 = c.CmmState1;
    u.Status.CmmAlarm2 = c.CmmAlarm2;
    u.Measure.BattChargeCurr = c.Charge;
    u.Measure.BattDischargeCurr = c.Discharge;
    const TChargeFlow f = ChargeFlowOf(u, ShownSketchState(u), ProtocolTraits(c.Protocol));
    SCOPED_TRACE(c.What);
    EXPECT_EQ(f.Shown, c.Flow.Shown);
    EXPECT_EQ(f.Flowing, c.Flow.Flowing);
    EXPECT_EQ(f.Steered, c.Flow.Steered);
    EXPECT_EQ(f.Reverse, c.Flow.Reverse);
    EXPECT_EQ(f.IntervalMs, c.Flow.IntervalMs);
  }
}

}  // namespace
