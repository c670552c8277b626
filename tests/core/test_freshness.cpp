// When a device's values may be served or logged: link up, every value
// decoded since the link came up, last answer younger than the poll round.

#include <gtest/gtest.h>

#include <memory>

#include "core/Freshness.h"

using namespace tessaro;

namespace {

constexpr uint32_t Required = 0b111;  // steps 1 to 3

struct TQuietEvents : TDeviceEventSink {
  bool LogDeviceEvent(uint8_t, uint8_t) override { return true; }
};

class Freshness : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDeviceTable(*Table);
    for (uint8_t a : {1, 2, 3}) List.Nodes[++List.Count].Address = a;
    Vars.CycleSteps = 4;
    Vars.RequiredSteps = Required;
    Settings.PortInfo.MaxReSend = 2;
    for (uint8_t a : {1, 2, 3}) Answer(a);
  }
  // An answer that completes the device's values, now.
  void Answer(uint8_t address) {
    TUpsInfo& u = (*Table)[address];
    u.CommState = 0;
    u.DecodedSteps = Required;
    u.LastAnswerMs = Clock.MonotonicMs();
  }
  TFreshnessRule Rule() const { return {*Table, List, Settings, Vars, Clock}; }

  std::unique_ptr<TUpsInfoTable> Table = std::make_unique<TUpsInfoTable>();
  TDeviceList List;
  TSettings Settings;
  TPollVars Vars;
  TManualClock Clock;
};

TEST_F(Freshness, EachReasonAgainstTheRule) {
  struct TCase {
    const char* Name;
    uint8_t CommState;
    uint32_t Decoded;
    int64_t AgeMs;  // -1: never answered
    TFreshness Expected;
  };
  const int64_t bound = 30000;
  const TCase cases[] = {
      {"complete and just answered", 0, Required, 0, TFreshness::Fresh},
      {"at the bound", 0, Required, bound, TFreshness::Fresh},
      {"older than the bound (polling paused)", 0, Required, bound + 1, TFreshness::TooOld},
      {"never answered", 0, Required, -1, TFreshness::TooOld},
      {"a settings step decoded in place of step 3", 0, 0b1011, 0, TFreshness::Incomplete},
      {"settings steps not decoded", 0, Required, 0, TFreshness::Fresh},
      {"re-established with one step decoded", 0, 0b001, 0, TFreshness::Incomplete},
      {"link in error", 1, Required, 0, TFreshness::LinkError},
      {"link lost", 2, Required, 0, TFreshness::LinkLost},
  };
  for (const TCase& c : cases) {
    TUpsInfo u;
    u.CommState = c.CommState;
    u.DecodedSteps = c.Decoded;
    if (c.AgeMs >= 0) u.LastAnswerMs = 100000 - c.AgeMs;
    EXPECT_EQ(CheckFreshness(u, Required, 100000, bound), c.Expected) << c.Name;
  }
}

TEST_F(Freshness, ALinkResetOrClearedValuesNeedEveryValueAgain) {
  TUpsInfo& u = (*Table)[1];
  ASSERT_TRUE(Rule().IsFresh(1));
  LinkReset(u);  // link lost, or the port closed
  EXPECT_EQ(Rule().Of(1), TFreshness::Incomplete);
  Answer(1);
  ClearLiveValues(u);
  EXPECT_EQ(Rule().Of(1), TFreshness::Incomplete);
  // The link lost by failures resets it as well.
  Answer(1);
  TQuietEvents quiet;
  for (int i = 0; i < 10; ++i) LinkFailed(u, quiet);
  EXPECT_EQ(Rule().Of(1), TFreshness::LinkLost);
  u.CommState = 0;
  EXPECT_EQ(Rule().Of(1), TFreshness::Incomplete);
}

TEST_F(Freshness, TheBoundCoversTheWorstRoundOfTheBusAsItStands) {
  // Three communicating devices of four steps, 1.3 s a request: a device's
  // answers are at most 13 requests apart.
  EXPECT_EQ(RequestHoldMs(2), 1300);
  EXPECT_EQ(RequestHoldMs(3), 2400);
  const int64_t worst = 13 * 1300;
  EXPECT_EQ(Rule().AllowedAgeMs(), worst + worst / 4 + 4 * 1300 + 5000);
  // A lost device is asked one step per visit.
  (*Table)[3].CommState = 2;
  EXPECT_EQ(Rule().AllowedAgeMs(), 10 * 1300 + 10 * 1300 / 4 + 4 * 1300 + 5000);
  // Every extra send of a request lengthens the round.
  Settings.PortInfo.MaxReSend = 3;
  EXPECT_EQ(Rule().AllowedAgeMs(), 10 * 2400 + 10 * 2400 / 4 + 4 * 2400 + 5000);
}

TEST_F(Freshness, AnAddressOutsideTheTableIsNeverFresh) {
  EXPECT_EQ(Rule().Of(-1), TFreshness::LinkLost);
  EXPECT_EQ(Rule().Of(253), TFreshness::LinkLost);
  EXPECT_STREQ(FreshnessText(TFreshness::TooOld), "no answer within a poll round");
}

}  // namespace
