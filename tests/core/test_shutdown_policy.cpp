#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ShutdownPolicy.h"

namespace tessaro {
namespace {

// A device's state at one moment: L on mains, l on mains with a low battery,
// B on battery, b on battery and low, T on battery for a battery test, S not
// answering, - not read.
TPowerReading Reading(char state, int runtime) {
  TPowerReading r;
  r.Fresh = state != 'S';
  r.OnBattery = state == 'B' || state == 'b' || state == 'T';
  r.LowBattery = state == 'b' || state == 'l';
  r.Testing = state == 'T';
  r.RuntimeSeconds = runtime;
  return r;
}

struct TStep {
  int Second;
  const char* States;  // devices 1, 2, 3
  int Runtime;         // of every device, -1 not reported
  const char* Trips;   // "1: why; 2: why", "" none
};

struct TTimeline {
  const char* Name;
  const char* Rules;
  const char* Group;
  std::vector<TStep> Steps;
};

std::string StepAt(TShutdownPolicy& policy, const TStep& step) {
  const auto trips = policy.Step(
      [&](int a) { return Reading(step.States[a - 1], step.Runtime); }, int64_t{step.Second} * 1000);
  std::string out;
  for (const TPolicyTrip& t : trips) out += (out.empty() ? "" : "; ") + std::to_string(t.Address) + ": " + t.Why;
  return out;
}

TEST(ShutdownPolicy, TripsOnceWhenItsRuleHoldsOnBattery) {
  const TTimeline timelines[] = {
      {"on battery for a while", "1:onbattery=300", "",
       {{0, "LLL", 900, ""}, {10, "BLL", 900, ""}, {309, "BLL", 900, ""}, {310, "BLL", 900, "1: on battery for 300 s"},
        {400, "BLL", 900, ""}}},
      {"mains back restarts the count", "1:onbattery=300", "",
       {{0, "BLL", 900, ""}, {200, "LLL", 900, ""}, {250, "BLL", 900, ""}, {549, "BLL", 900, ""},
        {550, "BLL", 900, "1: on battery for 300 s"}}},
      {"trips again after mains came back", "1:onbattery=60", "",
       {{0, "BLL", 900, ""}, {60, "BLL", 900, "1: on battery for 60 s"}, {61, "LLL", 900, ""},
        {62, "BLL", 900, ""}, {122, "BLL", 900, "1: on battery for 60 s"}}},
      {"runtime below", "1:runtime=180", "",
       {{0, "BLL", 600, ""}, {5, "BLL", 180, ""}, {6, "BLL", 179, "1: runtime 179 s, below 180 s"}}},
      {"runtime not reported", "1:runtime=180", "", {{0, "BLL", -1, ""}, {900, "BLL", -1, ""}}},
      {"runtime low on mains", "1:runtime=180", "", {{0, "LLL", 60, ""}}},
      {"low battery", "2:lowbattery", "",
       {{0, "LlL", 900, ""}, {1, "LBL", 900, ""}, {2, "LbL", 900, "2: low battery"}}},
      {"silent while on battery is the worst case", "1:runtime=60;2:onbattery=600", "",
       {{0, "BBL", 900, ""}, {1, "SSL", 900, "1: not answering while on battery; 2: not answering while on battery"}}},
      {"silent while on mains", "1:lowbattery", "", {{0, "LLL", 900, ""}, {1, "SLL", 900, ""}, {600, "SLL", 900, ""}}},
      {"silent from the start", "1:lowbattery", "", {{0, "SLL", 900, ""}}},
      {"a battery test is not a mains failure", "1:onbattery=60,runtime=600,lowbattery", "",
       {{0, "TLL", 100, ""}, {120, "TLL", 100, ""}, {121, "BLL", 900, ""},
        {181, "BLL", 900, "1: on battery for 60 s"}}},
      {"silent during a battery test", "1:lowbattery", "", {{0, "TLL", 900, ""}, {1, "SLL", 900, ""}}},
      {"group count reached", "", "1,2,3:2",
       {{0, "BLL", 900, ""}, {5, "BLL", 900, ""},
        {6, "BBL", 900, "1: 2 of the group's 3 devices on battery; 2: 2 of the group's 3 devices on battery; "
                        "3: 2 of the group's 3 devices on battery"},
        {7, "BBB", 900, ""}}},
      {"group member's own rule first", "2:lowbattery", "1,2:2",
       {{0, "BbL", 900, "2: low battery; 1: 2 of the group's 2 devices on battery"}}},
      {"group below its count", "", "1,2,3:3", {{0, "BBL", 900, ""}, {900, "BBL", 900, ""}}},
  };
  for (const TTimeline& tl : timelines) {
    std::string error;
    const auto rules = ParseShutdownRules(tl.Rules, error);
    const auto group = ParseShutdownGroup(tl.Group, error);
    ASSERT_TRUE(rules && group) << tl.Name << ": " << error;
    TShutdownPolicy policy(*rules, *group);
    for (const TStep& step : tl.Steps) EXPECT_EQ(StepAt(policy, step), step.Trips) << tl.Name << " at " << step.Second;
  }
}

TEST(ShutdownPolicy, GroupWithASilentDeviceCountsItsLastState) {
  std::string error;
  TShutdownPolicy policy({}, *ParseShutdownGroup("1,2:2", error));
  EXPECT_EQ(StepAt(policy, {0, "BLL", 900, ""}), "");
  // Device 1 silent, last seen on battery; device 2 now on battery too.
  EXPECT_EQ(StepAt(policy, {1, "SBL", 900, ""}),
            "1: 2 of the group's 2 devices on battery; 2: 2 of the group's 2 devices on battery");
}

TEST(ShutdownPolicy, SettingsAreCheckedAsTheyAreWritten) {
  struct TRow {
    const char* Text;
    bool Group;
    const char* Error;  // null: accepted
  } const rows[] = {
      {"", false, nullptr},
      {"1:onbattery=300,runtime=180,lowbattery;2:lowbattery", false, nullptr},
      {" 1 : onbattery = 300 ; 252:runtime=86400", false, nullptr},
      {"1", false, "is not ADDRESS:RULE"},
      {"0:lowbattery", false, "address 1 to 252"},
      {"253:lowbattery", false, "address 1 to 252"},
      {"1:lowbattery;1:onbattery=5", false, "device 1 is given twice"},
      {"1:onbattery=0", false, "1 to 86400"},
      {"1:onbattery=86401", false, "1 to 86400"},
      {"1:onbattery", false, "is not onbattery=SECONDS"},
      {"1:lowbattery=1", false, "is not onbattery=SECONDS"},
      {"1:", false, "is not onbattery=SECONDS"},
      {"1:shutdown", false, "is not onbattery=SECONDS"},
      {"1:onbattery=5x", false, "1 to 86400"},
      {"", true, nullptr},
      {"1,2,3:2", true, nullptr},
      {"1,2:2", true, nullptr},
      {"1:1", true, "two devices or more"},
      {"1,2:3", true, "is 1 to 2"},
      {"1,2:0", true, "is 1 to 2"},
      {"1,1:1", true, "given twice"},
      {"1,2", true, "is not ADDRESS,ADDRESS"},
      {"1,x:1", true, "not a device address"},
  };
  for (const TRow& r : rows) {
    std::string error;
    const bool ok =
        r.Group ? ParseShutdownGroup(r.Text, error).has_value() : ParseShutdownRules(r.Text, error).has_value();
    EXPECT_EQ(ok, r.Error == nullptr) << r.Text << ": " << error;
    if (r.Error) {
      EXPECT_NE(error.find(r.Error), std::string::npos) << r.Text << ": " << error;
    }
  }
  std::string error;
  const auto rules = ParseShutdownRules("1:onbattery=300,runtime=180,lowbattery;2:lowbattery", error);
  ASSERT_TRUE(rules);
  ASSERT_EQ(rules->size(), 2u);
  EXPECT_EQ((*rules)[0].OnBatterySeconds, 300);
  EXPECT_EQ((*rules)[0].RuntimeBelowSeconds, 180);
  EXPECT_TRUE((*rules)[0].LowBattery);
  EXPECT_EQ((*rules)[1].OnBatterySeconds, 0);
  EXPECT_TRUE((*rules)[1].LowBattery);
}

}  // namespace
}  // namespace tessaro
