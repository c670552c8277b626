#pragma once
// Battery tests the monitor starts on its own, per device: every so many days
// at a set time of day. Off unless the settings name a device.
//
// The settings, [BatteryTest] in the settings file:
//   Schedule=1:every=30,at=03:00;2:every=7,at=04:30
//
// And the outcome of each test, one line of Record/BatteryTest.log:
//   ups1 start 2026-12-11 03:00:00 end 2026-12-11 03:01:30 confirmed
//     before 54.2V 100% 1800s after 52.9V 96% 1620s      (one line)

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"

namespace tessaro {

struct TTestSlot {
  int Address = 0;
  int EveryDays = 0;
  int Minute = 0;  // of the day
};

// Empty text: no tests. Otherwise refused, with the reason, unless every
// device is an address 1..252 given once, with every=1..366 and at=HH:MM.
std::optional<std::vector<TTestSlot>> ParseTestSchedule(std::string_view text, std::string& error);

// Why a due test waits.
enum class TTestBlock : uint8_t {
  None,
  OnBattery,  // a device on the bus runs on battery
  LinkDown,   // the port is closed or the device does not answer
};

class TTestSchedule {
 public:
  // `lastRun`: when each device's last test started, as the record keeps it;
  // its next test is then `every` days after that day, and otherwise the
  // first slot from `now` on.
  TTestSchedule(std::vector<TTestSlot> slots, TDateTime now, const std::map<int, TDateTime>& lastRun);
  bool Empty() const { return FNext.empty(); }

  struct TStep {
    std::vector<int> Start;  // run these now
    std::vector<std::pair<int, TTestBlock>> Skipped;  // a slot given up: its day is over
  };
  // A due test that is blocked waits until it is not, for the rest of its
  // slot's day; each slot runs at most once.
  TStep Step(TDateTime now, const std::function<TTestBlock(int address)>& block);
  // When the device's next test is due.
  std::optional<TDateTime> NextAt(int address) const;

 private:
  struct TNext {
    TTestSlot Slot;
    TDateTime At = 0;
    TTestBlock Last = TTestBlock::None;  // why it waits now
  };
  std::map<int, TNext> FNext;
};

// ---- the outcome record
struct TTestBattery {
  double Volts = 0;
  int Percent = 0;
  int RuntimeSeconds = 0;
};

struct TTestOutcome {
  int Address = 0;
  TDateTime Start = 0;
  TDateTime End = 0;
  std::string Confirmation;  // confirmed, refused, not-answered, not-sent
  TTestBattery Before, After;
};

inline constexpr char TestLogName[] = "BatteryTest.log";

std::string TestOutcomeLine(const TTestOutcome& outcome);
// None for a line that is not one (a torn last line after a crash).
std::optional<TTestOutcome> ParseTestOutcome(std::string_view line);
// The last outcome of each device in the record's text.
std::map<int, TTestOutcome> LastTestOutcomes(std::string_view text);

// What is served of each device's tests.
struct TTestResults {
  std::map<int, TTestOutcome> Last;
  std::map<int, TDateTime> Running;  // started, its outcome not known yet

  // The network variables: "Done", "In progress", "Refused by the device" ...;
  // empty for a device never tested since the record began.
  std::string ResultText(int address) const;
  std::string DateText(int address) const;  // when the last or running test started
};

}  // namespace tessaro
