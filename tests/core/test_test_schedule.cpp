#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/TestSchedule.h"

namespace tessaro {
namespace {

TDateTime At(int day, int hour, int minute) { return EncodeDateTime({2026, 12, day, hour, minute, 0, 0}); }

TEST(TestScheduleText, ParsesAndRefuses) {
  std::string error;
  const auto slots = ParseTestSchedule(" 1:every=30,at=03:00 ; 12: at=23:59 , every=1", error);
  ASSERT_TRUE(slots) << error;
  ASSERT_EQ(slots->size(), 2u);
  EXPECT_EQ((*slots)[0].Address, 1);
  EXPECT_EQ((*slots)[0].EveryDays, 30);
  EXPECT_EQ((*slots)[0].Minute, 180);
  EXPECT_EQ((*slots)[1].Minute, 23 * 60 + 59);
  EXPECT_TRUE(ParseTestSchedule("", error)->empty());

  const struct {
    const char* Text;
    const char* Why;
  } bad[] = {
      {"1:every=30", "needs both"},
      {"1:at=03:00", "needs both"},
      {"0:every=1,at=03:00", "device address"},
      {"253:every=1,at=03:00", "device address"},
      {"every=1,at=03:00", "device address"},
      {"1:every=0,at=03:00", "every=0"},
      {"1:every=367,at=03:00", "every=367"},
      {"1:every=1,at=24:00", "at=24:00"},
      {"1:every=1,at=03:60", "at=03:60"},
      {"1:every=1,at=03:00,lowbattery", "lowbattery"},
      {"1:every=1,at=03:00;1:every=2,at=04:00", "given twice"},
      {"1:every=1,at=03:00;", "device address"},
  };
  for (const auto& b : bad) {
    error.clear();
    EXPECT_FALSE(ParseTestSchedule(b.Text, error)) << b.Text;
    EXPECT_NE(error.find(b.Why), std::string::npos) << b.Text << ": " << error;
  }
}

// One device tested every 2 days at 03:00; the schedule starts on the 10th
// at 12:00, so its first slot is the 11th at 03:00.
struct TMoment {
  int Day, Hour, Minute;
  char Bus;              // o ok, b a device on battery, l the link down
  const char* Expected;  // "start", "skip battery", "skip link", "" nothing
};

struct TTimeline {
  const char* Name;
  std::vector<TMoment> Moments;
};

TEST(TestSchedule, Timelines) {
  const TTimeline timelines[] = {
      {"due at its slot, once",
       {{11, 2, 59, 'o', ""}, {11, 3, 0, 'o', "start"}, {11, 3, 1, 'o', ""}, {12, 3, 0, 'o', ""},
        {13, 3, 0, 'o', "start"}}},
      {"a device on battery holds it for the rest of the day",
       {{11, 3, 0, 'b', ""}, {11, 9, 0, 'b', ""}, {11, 9, 1, 'o', "start"}, {11, 9, 2, 'o', ""}}},
      {"the link down all day gives up the slot, not the next",
       {{11, 3, 0, 'l', ""}, {11, 23, 59, 'l', ""}, {12, 0, 0, 'o', "skip link"}, {12, 3, 0, 'o', ""},
        {13, 3, 0, 'o', "start"}}},
      {"on battery all day",
       {{11, 3, 0, 'b', ""}, {12, 10, 0, 'b', "skip battery"}, {13, 3, 0, 'o', "start"}}},
      {"a monitor asleep for days gives up the slots it missed and keeps the period",
       {{15, 4, 0, 'o', "skip none"}, {17, 3, 0, 'o', "start"}, {19, 2, 0, 'o', ""}, {19, 3, 0, 'o', "start"}}},
  };
  for (const TTimeline& t : timelines) {
    TTestSchedule schedule({{1, 2, 180}}, At(10, 12, 0), {});
    for (const TMoment& m : t.Moments) {
      const auto step = schedule.Step(At(m.Day, m.Hour, m.Minute), [&](int address) {
        EXPECT_EQ(address, 1);
        return m.Bus == 'b' ? TTestBlock::OnBattery : m.Bus == 'l' ? TTestBlock::LinkDown : TTestBlock::None;
      });
      std::string got;
      for (const int a : step.Start) got += (a == 1 ? "start" : "start?");
      for (const auto& [a, why] : step.Skipped)
        got += std::string("skip ") + (why == TTestBlock::OnBattery ? "battery" : why == TTestBlock::LinkDown ? "link" : "none");
      EXPECT_EQ(got, m.Expected) << t.Name << " at " << m.Day << " " << m.Hour << ":" << m.Minute;
    }
  }
}

TEST(TestSchedule, FirstSlotFollowsTheLastTest) {
  const std::vector<TTestSlot> slots{{1, 30, 180}, {2, 30, 180}, {3, 1, 180}};
  // Device 1 was tested 10 days ago: 20 days to go. Device 2 long ago: today's
  // slot, passed at 12:00, so now. Device 3 never: tomorrow.
  const TTestSchedule s(slots, At(10, 12, 0), {{1, At(1, 3, 0)}, {2, EncodeDateTime({2026, 1, 1, 3, 0, 0, 0})}});
  EXPECT_EQ(*s.NextAt(1), EncodeDateTime({2026, 12, 31, 3, 0, 0, 0}));
  EXPECT_EQ(*s.NextAt(2), At(10, 3, 0));
  EXPECT_EQ(*s.NextAt(3), At(11, 3, 0));
  EXPECT_FALSE(s.NextAt(4));
}

TEST(TestOutcomeRecord, RoundTripsAndSkipsTornLines) {
  const TTestOutcome o{7, At(11, 3, 0), At(11, 3, 2), "confirmed", {54.2, 100, 1800}, {52.9, 96, 1620}};
  const std::string line = TestOutcomeLine(o);
  EXPECT_EQ(line,
            "ups7 start 2026-12-11 03:00:00 end 2026-12-11 03:02:00 confirmed before 54.2V 100% 1800s after 52.9V "
            "96% 1620s");
  TTestOutcome older = o;
  older.Confirmation = "refused";
  const auto last = LastTestOutcomes(TestOutcomeLine(older) + "\nnot a record\n" + line + "\n" + line.substr(0, 30));
  ASSERT_EQ(last.size(), 1u);
  const TTestOutcome& back = last.at(7);
  EXPECT_EQ(back.Confirmation, "confirmed");
  EXPECT_EQ(FormatDateTime(back.Start), "2026-12-11 03:00:00");
  EXPECT_EQ(FormatDateTime(back.End), "2026-12-11 03:02:00");
  EXPECT_DOUBLE_EQ(back.Before.Volts, 54.2);
  EXPECT_EQ(back.After.Percent, 96);
  EXPECT_EQ(back.After.RuntimeSeconds, 1620);
  EXPECT_FALSE(ParseTestOutcome(line + " extra"));
}

}  // namespace
}  // namespace tessaro
