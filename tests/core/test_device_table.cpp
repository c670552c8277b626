#include <gtest/gtest.h>

#include <vector>

#include "core/UpsInfo.h"

using namespace tessaro;

namespace {
struct TRecordedEvents : TDeviceEventSink {
  std::vector<std::pair<int, int>> Events;  // (type, address)
  bool LogDeviceEvent(uint8_t type, uint8_t address) override {
    Events.emplace_back(type, address);
    return true;
  }
};

class DeviceTable : public ::testing::Test {
 protected:
  void SetUp() override { InitDeviceTable(Table); }
  TUpsInfoTable Table;
  TRecordedEvents Log;
};
}  // namespace

TEST_F(DeviceTable, InitSetsEverySlotLostWithNoState) {
  for (int n = 0; n < SlotCount; ++n) {
    EXPECT_EQ(Table[n].Address, n);
    EXPECT_EQ(Table[n].CommState, 2);
    EXPECT_EQ(Table[n].StateCode, -1);
    EXPECT_EQ(Table[n].LastStateCode, -1);
  }
}

TEST_F(DeviceTable, SilentDeviceGoesToErrorAtFourthAndLostAtTenthSendWithOneEvent) {
  TUpsInfo& d = Table[5];
  LinkSucceeded(d, Log);
  ASSERT_EQ(Log.Events, (std::vector<std::pair<int, int>>{{DevEventEstablished, 5}}));
  Log.Events.clear();
  for (int send = 1; send <= 30; ++send) {
    LinkFailed(d, Log);
    const int expected = send < 4 ? 0 : send < 10 ? 1 : 2;
    EXPECT_EQ(d.CommState, expected) << "after send " << send;
  }
  EXPECT_EQ(Log.Events, (std::vector<std::pair<int, int>>{{DevEventLost, 5}}));
  EXPECT_EQ(d.FailStreak, 30);
  EXPECT_EQ(d.StateCode, -1);
}

TEST_F(DeviceTable, NeverAnsweredDeviceLogsNothingAndStreakSaturates) {
  for (int i = 0; i < 150; ++i) LinkFailed(Table[7], Log);
  EXPECT_TRUE(Log.Events.empty());
  EXPECT_EQ(Table[7].FailStreak, 100);
}

TEST_F(DeviceTable, ErrorStateRecoversSilently) {
  TUpsInfo& d = Table[3];
  LinkSucceeded(d, Log);
  for (int i = 0; i < 5; ++i) LinkFailed(d, Log);
  ASSERT_EQ(d.CommState, 1);
  LinkSucceeded(d, Log);
  EXPECT_EQ(d.CommState, 0);
  EXPECT_EQ(d.FailStreak, 0);
  EXPECT_EQ(Log.Events.size(), 1u);
}

TEST_F(DeviceTable, AddressZeroNeverCountsOrLogs) {
  TUpsInfo& d = Table[0];
  LinkSucceeded(d, Log);
  for (int i = 0; i < 20; ++i) LinkFailed(d, Log);
  LinkSucceeded(d, Log);
  EXPECT_EQ(d.CommState, 2);
  EXPECT_EQ(d.SuccessCount, 0);
  EXPECT_TRUE(Log.Events.empty());
}

TEST_F(DeviceTable, TotalCountFoldsBackAndKeepsRate) {
  TUpsInfo& d = Table[9];
  d.CommState = 0;
  d.TotalCount = 9999;
  d.SuccessCount = 7500;
  LinkFailed(d, Log);
  EXPECT_EQ(d.TotalCount, 10000);
  EXPECT_EQ(d.SuccessRate, 75);  // 7500 * 100 / 9999 = 75.007...
  LinkFailed(d, Log);
  EXPECT_EQ(d.TotalCount, 100);
  EXPECT_EQ(d.SuccessCount, 75);
}

TEST_F(DeviceTable, SuccessRateRoundsHalvesToEven) {
  TUpsInfo& d = Table[9];
  d.CommState = 0;
  d.TotalCount = 8;
  d.SuccessCount = 1;  // 12.5 -> 12
  LinkFailed(d, Log);
  EXPECT_EQ(d.SuccessRate, 12);
  d.TotalCount = 8;
  d.SuccessCount = 3;  // 37.5 -> 38
  LinkFailed(d, Log);
  EXPECT_EQ(d.SuccessRate, 38);
}

TEST_F(DeviceTable, CountersSaturate) {
  TUpsInfo& d = Table[4];
  d.ReceiveCount = 9999;
  CountReceive(d);
  CountReceive(d);
  EXPECT_EQ(d.ReceiveCount, 10000);
  d.SuccessCount = 10000;
  LinkSucceeded(d, Log);
  EXPECT_EQ(d.SuccessCount, 10000);
}

TEST_F(DeviceTable, ClearLiveValuesKeepsCurrentsPrevAlarmsAndTestFlag) {
  TUpsInfo& d = Table[2];
  d.Measure.InputVoltA = 220;
  d.Measure.BattBackupTime = 30;
  d.Measure.BattChargeCurr = 1.5;
  d.Measure.BattDischargeCurr = 2.5;
  d.Status.SysState = 0x1234;
  d.Status.StateValid = 1;
  d.StateCode = 3;
  d.AlarmCount = 2;
  d.PrevAlarmCount = 2;
  d.BattTestFlag = 1;
  d.InputSwitch = d.UpsSupply = 1;
  ClearLiveValues(d);
  EXPECT_EQ(d.Measure.InputVoltA, 0);
  EXPECT_EQ(d.Measure.BattBackupTime, 0);
  EXPECT_EQ(d.Measure.BattChargeCurr, 1.5);
  EXPECT_EQ(d.Measure.BattDischargeCurr, 2.5);
  EXPECT_EQ(d.Status.SysState, 0);
  EXPECT_EQ(d.Status.StateValid, 0);
  EXPECT_EQ(d.StateCode, -1);
  EXPECT_EQ(d.LastStateCode, 0);
  EXPECT_EQ(d.AlarmCount, 0);
  EXPECT_EQ(d.PrevAlarmCount, 2);
  EXPECT_EQ(d.BattTestFlag, 1);
  EXPECT_EQ(d.InputSwitch + d.UpsSupply, 0);
}

TEST_F(DeviceTable, ResetAllLinksLeavesStateAndStreak) {
  Table[6].CommState = 0;
  Table[6].FailStreak = 3;
  Table[6].SuccessCount = 50;
  Table[6].StateCode = 4;
  ResetAllLinks(Table);
  EXPECT_EQ(Table[6].CommState, 0);
  EXPECT_EQ(Table[6].FailStreak, 3);
  EXPECT_EQ(Table[6].SuccessCount, 0);
  EXPECT_EQ(Table[6].StateCode, -1);
}
