#pragma once
// When the monitor itself forces the shutdown of a device's hosts: per
// device, after so long on battery, below so much runtime, or on low battery;
// and for a group of devices feeding the same hosts, when so many of them are
// on battery. Only on battery: a device on mains trips nothing, and neither
// does the battery supply a battery test causes. A device that stops
// answering while on battery is the worst case: every rule it has trips.
//
// The settings, [Shutdown] in the settings file:
//   Rules=1:onbattery=300,runtime=180,lowbattery;2:lowbattery
//   Group=1,2,3:2
// Empty (the default): the monitor forces nothing; upsmon still acts on LB.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

struct TDeviceRule {
  int Address = 0;
  int OnBatterySeconds = 0;     // 0: not a rule
  int RuntimeBelowSeconds = 0;  // 0: not a rule
  bool LowBattery = false;
};

struct TGroupRule {
  std::vector<int> Addresses;
  int Count = 0;  // this many on battery trips every device of the group; 0: no group
};

// The settings' lists: `text` cut at `sep`, each piece without its spaces;
// and a whole number from low to high, none for anything else.
std::vector<std::string_view> SplitSetting(std::string_view text, char sep);
std::optional<int> SettingWhole(std::string_view s, int low, int high);

// Empty text: no rules. Otherwise refused, with the reason, unless every
// device is an address 1..252 given once with at least one rule, and every
// time a whole number of seconds 1..86400.
std::optional<std::vector<TDeviceRule>> ParseShutdownRules(std::string_view text, std::string& error);
// Empty text: no group. Otherwise two or more addresses, each once, and a
// count from 1 to their number.
std::optional<TGroupRule> ParseShutdownGroup(std::string_view text, std::string& error);

// What a device tells now.
struct TPowerReading {
  bool Fresh = false;  // its values may be served: the rest holds
  bool OnBattery = false;
  bool LowBattery = false;
  bool Testing = false;      // a battery test runs: the battery supply is its own doing
  int RuntimeSeconds = -1;   // -1: not reported
};

struct TPolicyTrip {
  int Address = 0;
  std::string Why;  // "on battery for 300 s"
};

class TShutdownPolicy {
 public:
  TShutdownPolicy(std::vector<TDeviceRule> rules, TGroupRule group);
  bool Empty() const { return FRules.empty() && FGroup.Count == 0; }
  // Every address a rule names.
  std::vector<int> Addresses() const;
  // The devices whose shutdown is due at monotonic time nowMs, each once:
  // a device trips again only after it was seen on mains.
  std::vector<TPolicyTrip> Step(const std::function<TPowerReading(int address)>& read, int64_t nowMs);

 private:
  struct TTrack {
    bool OnBattery = false;  // as last seen fresh
    int64_t SinceMs = -1;    // on battery since
    bool Tripped = false;
  };
  std::vector<TDeviceRule> FRules;
  TGroupRule FGroup;
  bool FGroupTripped = false;
  std::map<int, TTrack> FTrack;
};

}  // namespace tessaro
