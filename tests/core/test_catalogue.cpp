#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <set>
#include <vector>

#include "core/Catalogue.h"

using namespace tessaro;

namespace {

constexpr int Chinese = 1;
constexpr int English = 0;

std::vector<int32_t> Alarms(const TUpsInfo& info) {
  return {info.AlarmCodes.begin(), info.AlarmCodes.begin() + info.AlarmCount};
}

// ---------------------------------------------------------------- state code

struct TStateRow {
  uint16_t CmmState1, CmmAlarm1, CmmAlarm2, InvState1, InvState2, InvAlarm1;
  int32_t State;
};

TStatusBlock StatusOf(const TStateRow& r) {
  TStatusBlock s{};
  s.CmmState1 = r.CmmState1;
  s.CmmAlarm1 = r.CmmAlarm1;
  s.CmmAlarm2 = r.CmmAlarm2;
  s.InvState1 = r.InvState1;
  s.InvState2 = r.InvState2;
  s.InvAlarm1 = r.InvAlarm1;
  return s;
}

TEST(ComputeStateCode, DecodesStatusWordsByFirstMatchingRule) {
  //  CmmSt1  CmmAl1  CmmAl2  InvSt1  InvSt2  InvAl1  state
  const TStateRow rows[] = {
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, StateStandby},      // all words 0
      // EPO
      {0x2000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, StateEpo},
      {0x0000, 0x0000, 0x0000, 0x0008, 0x0000, 0x0000, StateEpo},
      {0x2000, 0xFFFF, 0xFFFF, 0x0780, 0x0000, 0xFFFF, StateEpo},          // EPO wins over fault
      {0x0000, 0x0000, 0x0000, 0x2008, 0x0000, 0x0000, StateEpo},          // and over maintenance
      // fault
      {0x0000, 0x0001, 0x0000, 0x0000, 0x0000, 0x0000, StateFault},
      {0x0000, 0x0000, 0x8000, 0x0000, 0x0000, 0x0000, StateFault},
      {0x0000, 0x0000, 0x4000, 0x0000, 0x0000, 0x0000, StateStandby},      // CmmAlarm2 bit 14: no fault
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0004, StateFault},        // InvAlarm1 bit 2
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0001, StateStandby},      // InvAlarm1 bit 0: no fault
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0373, StateStandby},      // every non-fault bit of InvAlarm1
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0080, StateFault},        // bit 7
      {0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0400, StateFault},        // bit 10
      {0x0000, 0x0000, 0x0000, 0x2780, 0x0000, 0x8000, StateFault},        // fault wins over maintenance
      // maintenance bypass
      {0x0000, 0x0000, 0x0000, 0x2000, 0x0000, 0x0000, StateMaintBypass},
      {0x4400, 0x0000, 0x0000, 0x2780, 0x0000, 0x0000, StateMaintBypass},
      // m = 0
      {0x0000, 0x0000, 0x0000, 0x0200, 0x0000, 0x0000, StateInvStarting},
      {0x0000, 0x0000, 0x0000, 0x0400, 0x0000, 0x0000, StateNoOutput},
      {0x0000, 0x0000, 0x0000, 0x0600, 0x0000, 0x0000, StateNoOutput},
      // m = 0x0080: bypass or ECO
      {0x0000, 0x0000, 0x0000, 0x0480, 0x0800, 0x0000, StateEco},
      {0x0000, 0x0000, 0x0000, 0x0080, 0x0800, 0x0000, StateBypass},
      {0x0000, 0x0000, 0x0000, 0x0480, 0x0000, 0x0000, StateBypass},
      {0x0000, 0x0000, 0x0000, 0x0680, 0x0800, 0x0000, StateEco},
      {0x0000, 0x0000, 0x0000, 0x0280, 0x0800, 0x0000, StateBypass},
      // m = 0x0100 / 0x0180
      {0x4400, 0x0000, 0x0000, 0x0100, 0x0000, 0x0000, StateStandby},
      {0x4400, 0x0000, 0x0000, 0x0500, 0x0000, 0x0000, StateStandby},
      {0x4400, 0x0000, 0x0000, 0x0580, 0x0000, 0x0000, StateStandby},
      {0x4400, 0x0000, 0x0000, 0x0300, 0x0000, 0x0000, StateInvStarting},
      {0x4400, 0x0000, 0x0000, 0x0380, 0x0000, 0x0000, StateInvStarting},
      {0x4400, 0x0000, 0x0000, 0x0780, 0x0000, 0x0000, StateOnline},
      {0x4200, 0x0000, 0x0000, 0x0780, 0x0000, 0x0000, StateBattSelfTest},
      {0x4000, 0x0000, 0x0000, 0x0780, 0x0000, 0x0000, StateBattery},
      {0x0000, 0x0000, 0x0000, 0x0780, 0x0000, 0x0000, StateNoOutput},
      {0x0400, 0x0000, 0x0000, 0x0700, 0x0000, 0x0000, StateNoOutput},     // bit 14 clear wins over bit 10
      {0x4600, 0x0000, 0x0000, 0x0700, 0x0000, 0x0000, StateOnline},       // bit 10 wins over bit 9
      {0x4000, 0x0000, 0x0000, 0x0700, 0x0800, 0x0000, StateBattery},      // InvState2 only matters for ECO
  };
  for (const TStateRow& r : rows) {
    EXPECT_EQ(ComputeStateCode(StatusOf(r)), r.State)
        << std::hex << "CmmState1 " << r.CmmState1 << " CmmAlarm1 " << r.CmmAlarm1 << " CmmAlarm2 " << r.CmmAlarm2
        << " InvState1 " << r.InvState1 << " InvState2 " << r.InvState2 << " InvAlarm1 " << r.InvAlarm1;
  }
}

TEST(ComputeStateCode, IgnoresCmmState2InvAlarm2SysStateAndSysAlarm) {
  TStatusBlock s{};
  s.InvState1 = 0x0780;
  s.CmmState1 = 0x4400;
  s.CmmState2 = 0xFFFF;
  s.InvAlarm2 = 0xFFFF;
  s.SysState = 0xFFFF;
  s.SysAlarm = 0xFFFF;
  s.UpsState = 0xFF;
  EXPECT_EQ(ComputeStateCode(s), StateOnline);
}

TEST(ComputeStateCode, AlwaysGivesACodeFrom1To11) {
  // Every InvState1 against each combination of the other bits the rules read.
  const uint16_t cmmBits[] = {0x0000, 0x0200, 0x0400, 0x4000, 0x4200, 0x4400, 0x4600};
  for (uint16_t cmm : cmmBits) {
    for (unsigned inv = 0; inv < 0x10000; ++inv) {
      for (uint16_t inv2 : {uint16_t{0}, uint16_t{0x0800}}) {
        TStatusBlock s{};
        s.CmmState1 = cmm;
        s.InvState1 = static_cast<uint16_t>(inv);
        s.InvState2 = inv2;
        const int32_t code = ComputeStateCode(s);
        ASSERT_GE(code, 1);
        ASSERT_LE(code, 11);
      }
    }
  }
}

// ------------------------------------------------------------------ switches

TEST(DeriveSwitches, AllWordsZeroOpensEverySwitchAndGivesNoSupply) {
  TUpsInfo info;
  info.InputSwitch = info.OutputSwitch = info.BypassSwitch = info.MaintSwitch = 1;
  info.InputSupply = info.UpsSupply = 2;
  DeriveSwitches(info);
  EXPECT_EQ(info.InputSwitch, 0);
  EXPECT_EQ(info.OutputSwitch, 0);
  EXPECT_EQ(info.BypassSwitch, 0);
  EXPECT_EQ(info.MaintSwitch, 0);
  EXPECT_EQ(info.InputSupply, 0);
  EXPECT_EQ(info.UpsSupply, 0);
}

TEST(DeriveSwitches, ReadsSwitchAndSupplyBits) {
  const struct {
    uint16_t CmmState1, InvState1;
    uint8_t Input, Output, Bypass, Maint, InputSupply, UpsSupply;
  } rows[] = {
      // CmmSt1  InvSt1   in out byp mnt  inSup upsSup
      {0x8000, 0x0000, 1, 0, 0, 0, 0, 0},
      {0x0000, 0x8000, 0, 0, 1, 0, 0, 0},
      {0x0000, 0x4000, 0, 1, 0, 0, 0, 0},
      {0x0000, 0x2000, 0, 0, 0, 1, 0, 0},
      {0x0400, 0x0000, 0, 0, 0, 0, 0, 0},  // bit 10 alone: no supply
      {0x0C00, 0x0000, 0, 0, 0, 0, 1, 0},  // mains
      {0x0800, 0x0000, 0, 0, 0, 0, 2, 0},  // battery
      {0x0000, 0x0100, 0, 0, 0, 0, 0, 1},  // inverter
      {0x0000, 0x0180, 0, 0, 0, 0, 0, 1},  // inverter wins over bypass
      {0x0000, 0x0080, 0, 0, 0, 0, 0, 2},  // bypass
      {0xFFFF, 0xFFFF, 1, 1, 1, 1, 1, 1},
      {0x7FFF, 0x1E7F, 0, 0, 0, 0, 1, 0},
  };
  for (const auto& r : rows) {
    TUpsInfo info;
    info.Status.CmmState1 = r.CmmState1;
    info.Status.InvState1 = r.InvState1;
    DeriveSwitches(info);
    SCOPED_TRACE(::testing::Message() << std::hex << r.CmmState1 << "/" << r.InvState1);
    EXPECT_EQ(info.InputSwitch, r.Input);
    EXPECT_EQ(info.OutputSwitch, r.Output);
    EXPECT_EQ(info.BypassSwitch, r.Bypass);
    EXPECT_EQ(info.MaintSwitch, r.Maint);
    EXPECT_EQ(info.InputSupply, r.InputSupply);
    EXPECT_EQ(info.UpsSupply, r.UpsSupply);
  }
}

TEST(DeriveSwitches, LeavesBatteryTestFlagAlone) {
  TUpsInfo info;
  info.BattTestFlag = 1;
  info.Status.CmmState1 = 0xFFFF;
  DeriveSwitches(info);
  EXPECT_EQ(info.BattTestFlag, 1);
}

// ---------------------------------------------------------------- alarm list

TEST(BuildAlarmList, AllWordsZeroGivesNoAlarms) {
  TUpsInfo info;
  info.AlarmCount = 3;
  info.AlarmCodes[0] = 7;
  BuildAlarmList(info);
  EXPECT_EQ(info.AlarmCount, 0);
  EXPECT_EQ(info.AlarmCodes[0], 0);  // the whole list is replaced
}

TEST(BuildAlarmList, MapsEachWordBitToItsCode) {
  const struct {
    uint16_t TStatusBlock::*Word;
    uint16_t Value;
    std::vector<int32_t> Codes;
  } rows[] = {
      {&TStatusBlock::CmmAlarm1, 0x0001, {15}},
      {&TStatusBlock::CmmAlarm1, 0x8000, {0}},
      {&TStatusBlock::CmmAlarm1, 0x8001, {0, 15}},
      {&TStatusBlock::CmmAlarm2, 0x8000, {16}},
      {&TStatusBlock::CmmAlarm2, 0x4000, {17}},
      {&TStatusBlock::CmmAlarm2, 0x0040, {25}},
      {&TStatusBlock::CmmAlarm2, 0x003F, {}},  // below bit 6: no alarm
      {&TStatusBlock::InvAlarm1, 0x0001, {47}},
      {&TStatusBlock::InvAlarm1, 0x0004, {45}},
      {&TStatusBlock::InvAlarm1, 0x8000, {32}},
      {&TStatusBlock::InvAlarm2, 0x8000, {48}},
      {&TStatusBlock::InvAlarm2, 0x0080, {56}},
      {&TStatusBlock::InvAlarm2, 0x007F, {}},  // below bit 7
      {&TStatusBlock::SysAlarm, 0x8000, {64}},
      {&TStatusBlock::SysAlarm, 0x0100, {71}},
      {&TStatusBlock::SysAlarm, 0x00FF, {}},   // below bit 8
      // status words carry no alarms
      {&TStatusBlock::CmmState1, 0xFFFF, {}},
      {&TStatusBlock::CmmState2, 0xFFFF, {}},
      {&TStatusBlock::InvState1, 0xFFFF, {}},
      {&TStatusBlock::InvState2, 0xFFFF, {}},
      {&TStatusBlock::SysState, 0xFFFF, {}},
  };
  for (const auto& r : rows) {
    TUpsInfo info;
    info.Status.*r.Word = r.Value;
    BuildAlarmList(info);
    EXPECT_EQ(Alarms(info), r.Codes) << std::hex << r.Value;
  }
}

TEST(BuildAlarmList, EveryAlarmBitSetGives59AscendingCodes) {
  TUpsInfo info;
  info.Status.CmmAlarm1 = info.Status.CmmAlarm2 = info.Status.InvAlarm1 = 0xFFFF;
  info.Status.InvAlarm2 = info.Status.SysAlarm = 0xFFFF;
  BuildAlarmList(info);
  std::vector<int32_t> expected;
  for (int c = 0; c <= 25; ++c) expected.push_back(c);
  for (int c = 32; c <= 56; ++c) expected.push_back(c);
  for (int c = 64; c <= 71; ++c) expected.push_back(c);
  ASSERT_EQ(expected.size(), 59u);
  EXPECT_EQ(Alarms(info), expected);
}

TEST(BuildAlarmList, ReplacesTheCurrentListAndLeavesThePreviousOne) {
  TUpsInfo info;
  info.Status.CmmAlarm1 = 0xFFFF;
  BuildAlarmList(info);
  ASSERT_EQ(info.AlarmCount, 16);
  info.PrevAlarmCodes[0] = 99;
  info.PrevAlarmCount = 1;
  info.Status.CmmAlarm1 = 0;
  info.Status.SysAlarm = 0x0200;
  BuildAlarmList(info);
  EXPECT_EQ(Alarms(info), (std::vector<int32_t>{70}));
  EXPECT_EQ(info.AlarmCodes[1], 0);
  EXPECT_EQ(info.PrevAlarmCount, 1);
  EXPECT_EQ(info.PrevAlarmCodes[0], 99);
}

TEST(BuildAlarmList, EveryProducedCodeHasAChineseText) {
  TUpsInfo info;
  info.Status.CmmAlarm1 = info.Status.CmmAlarm2 = info.Status.InvAlarm1 = 0xFFFF;
  info.Status.InvAlarm2 = info.Status.SysAlarm = 0xFFFF;
  BuildAlarmList(info);
  for (int32_t code : Alarms(info)) {
    EXPECT_FALSE(AlarmText(code, Chinese).empty()) << code;
    if (code != 70 && code != 71) {
      EXPECT_FALSE(AlarmText(code, English).empty()) << code;
    }
  }
}

// ------------------------------------------------------ power-frequency state

TEST(PowerFreqStateCode, FollowsMaintenanceThenSupplyPath) {
  const struct {
    uint8_t Maint, UpsSupply, InputSupply, BattTest;
    int32_t State;
  } rows[] = {
      {1, 1, 1, 0, StateMaintBypass},
      {1, 0, 0, 0, StateMaintBypass},
      {0, 1, 1, 0, StateOnline},
      {0, 1, 1, 1, StateOnline},
      {0, 1, 2, 0, StateBattery},
      {0, 1, 2, 1, StateBattSelfTest},
      {0, 1, 0, 0, StateStandby},
      {0, 1, 3, 1, StateStandby},
      {0, 2, 1, 0, StateBypass},
      {0, 2, 2, 1, StateBypass},
      {0, 0, 1, 0, StateStandby},
      {0, 5, 1, 0, StateStandby},
      {2, 2, 0, 0, StateBypass},  // only MaintSwitch = 1 means maintenance
  };
  for (const auto& r : rows) {
    TUpsInfo info;
    info.MaintSwitch = r.Maint;
    info.UpsSupply = r.UpsSupply;
    info.InputSupply = r.InputSupply;
    info.BattTestFlag = r.BattTest;
    EXPECT_EQ(PowerFreqStateCode(info), r.State)
        << int(r.Maint) << "," << int(r.UpsSupply) << "," << int(r.InputSupply) << "," << int(r.BattTest);
  }
}

// --------------------------------------------------------------------- texts

TEST(StateText, GivesBothLanguages) {
  EXPECT_EQ(StateText(1, Chinese), "待机状态");
  EXPECT_EQ(StateText(1, English), "Standby Status");
  EXPECT_EQ(StateText(4, English), "Online");
  EXPECT_EQ(StateText(7, English), "Inverter In Soft Starting");
  EXPECT_EQ(StateText(9, Chinese), "EPO状态");
  EXPECT_EQ(StateText(11, Chinese), "故障模式");
  EXPECT_EQ(StateText(11, English), "Fault Status");
  EXPECT_EQ(StateText(18, Chinese), "通讯中断");
  EXPECT_EQ(StateText(18, English), "Communication lost");
}

TEST(StateText, AnyLanguageOtherThan1IsEnglish) {
  for (int language : {0, 2, -1, 255, INT_MIN, INT_MAX}) EXPECT_EQ(StateText(10, language), "Maintain Bypass Status");
}

TEST(StateText, IsEmptyForNoStateAndUnknownCodes) {
  for (int code : {-1, 0, 12, 17, 19, 100, INT_MIN, INT_MAX}) {
    EXPECT_EQ(StateText(code, Chinese), "") << code;
    EXPECT_EQ(StateText(code, English), "") << code;
  }
}

TEST(EventText, GivesBothLanguagesFor18To23) {
  const struct {
    int code;
    const char* chinese;
    const char* english;
  } rows[] = {
      {18, "通讯中断", "Communication lost"},
      {19, "通讯异常", "Communication Error"},
      {20, "监控软件开启", "Monitor software is open"},
      {21, "监控软件关闭", "Monitor software is closed"},
      {22, "通讯建立", "Communication upbuilt"},
      {23, "通讯恢复", "Communication recovered"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(EventText(r.code, Chinese), r.chinese);
    EXPECT_EQ(EventText(r.code, English), r.english);
  }
}

TEST(EventText, IsEmptyForUnknownCodes) {
  for (int code : {-1, 0, 1, 11, 17, 24, 100, INT_MIN, INT_MAX}) {
    EXPECT_EQ(EventText(code, Chinese), "") << code;
    EXPECT_EQ(EventText(code, English), "") << code;
  }
}

TEST(AlarmText, GivesRepresentativeTextsInBothLanguages) {
  const struct {
    int code;
    const char* chinese;
    const char* english;
  } rows[] = {
      {0, "整流器故障", "Rectifier fault"},
      {15, "软启动失败", "Soft start failed"},
      {16, "输入缺零", "Input Neutral line missing"},
      {25, "市电电压异常", "Mains volt. abnormal"},
      {32, "逆变器故障", "Inverter fault"},
      {45, "熔丝断", "Fuse broken"},
      {47, "并机继电器故障", "Parallel relay fault"},
      {49, "上电初始化故障", "Initializtion fault"},
      {56, "BUS电压异常", "DC BUS volt. abnormal"},
      {64, "电池损坏", "Battery Fault"},
      {69, "烟雾报警", "Fog Alarm"},
      {70, "机型错误", ""},
      {71, "预防性维护时间到", ""},
      {100, "主路频率异常", "Main frequency abnormal"},
      {122, "旁路异常关机", "Bypass abnormal,shutdown"},
      {148, "BCB未接入", "BCB disconnected"},
      {150, "母线电容过压", "Over-voltage on BUS capacitor"},
      {155, "滤波器切换次数到", "Transfer times to filter is out of range"},
      {160, "BCB断开", "BCB Break"},
      {201, "逆变器不同步", "Inverter not sync"},
      {210, "电池接反", "Battery Reverse"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(AlarmText(r.code, Chinese), r.chinese) << r.code;
    EXPECT_EQ(AlarmText(r.code, English), r.english) << r.code;
  }
}

TEST(AlarmText, IsEmptyForCodesWithoutAnEntry) {
  for (int code : {-1, 26, 31, 57, 63, 72, 99, 149, 152, 156, 159, 161, 200, 211, INT_MIN, INT_MAX}) {
    EXPECT_EQ(AlarmText(code, Chinese), "") << code;
    EXPECT_EQ(AlarmText(code, English), "") << code;
  }
}

TEST(AlarmText, Codes70And71HaveNoEnglishText) {
  EXPECT_EQ(AlarmText(70, 0), "");
  EXPECT_EQ(AlarmText(71, 0), "");
}

TEST(Catalogue, TablesHoldEveryCodeOnceInAscendingOrder) {
  auto codes = [](std::span<const TCatalogueEntry> table) {
    std::vector<int32_t> out;
    for (const auto& e : table) out.push_back(e.Code);
    return out;
  };
  EXPECT_EQ(codes(StateCatalogue()), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 18}));
  EXPECT_EQ(codes(EventCatalogue()), (std::vector<int32_t>{18, 19, 20, 21, 22, 23}));

  std::vector<int32_t> alarms;
  for (int c = 0; c <= 25; ++c) alarms.push_back(c);
  for (int c = 32; c <= 56; ++c) alarms.push_back(c);
  for (int c = 64; c <= 71; ++c) alarms.push_back(c);
  for (int c = 100; c <= 155; ++c)
    if (c != 149 && c != 152) alarms.push_back(c);
  alarms.push_back(160);
  for (int c = 201; c <= 210; ++c) alarms.push_back(c);
  EXPECT_EQ(codes(AlarmCatalogue()), alarms);

  for (const auto& e : AlarmCatalogue()) {
    EXPECT_NE(std::string(e.Chinese), "") << e.Code;
    EXPECT_EQ(AlarmText(e.Code, Chinese), e.Chinese);
    EXPECT_EQ(AlarmText(e.Code, English), e.English);
  }
}

}  // namespace
