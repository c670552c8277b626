#include "core/ShutdownPolicy.h"

#include <algorithm>
#include <charconv>

namespace tessaro {

namespace {

constexpr int MaxPolicyAddress = 252;
constexpr int MaxPolicySeconds = 86400;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// "1,2,3": addresses 1..252, each once.
std::optional<std::vector<int>> ParseAddresses(std::string_view text, std::string& error) {
  std::vector<int> out;
  for (const std::string_view item : SplitSetting(text, ',')) {
    const std::optional<int> a = SettingWhole(item, 1, MaxPolicyAddress);
    if (!a) {
      error = Quoted(item) + " is not a device address (1 to 252)";
      return std::nullopt;
    }
    if (std::find(out.begin(), out.end(), *a) != out.end()) {
      error = "device " + std::to_string(*a) + " is given twice";
      return std::nullopt;
    }
    out.push_back(*a);
  }
  return out;
}

}  // namespace

std::vector<std::string_view> SplitSetting(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  for (size_t at = 0;;) {
    const size_t end = text.find(sep, at);
    out.push_back(Trim(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at)));
    if (end == std::string_view::npos) return out;
    at = end + 1;
  }
}

std::optional<int> SettingWhole(std::string_view s, int low, int high) {
  int v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || v < low || v > high) return std::nullopt;
  return v;
}

std::optional<std::vector<TDeviceRule>> ParseShutdownRules(std::string_view text, std::string& error) {
  std::vector<TDeviceRule> rules;
  if (Trim(text).empty()) return rules;
  for (const std::string_view part : SplitSetting(text, ';')) {
    const size_t colon = part.find(':');
    const std::optional<int> address =
        colon == std::string_view::npos ? std::nullopt : SettingWhole(Trim(part.substr(0, colon)), 1, MaxPolicyAddress);
    if (!address) {
      error = Quoted(part) + " is not ADDRESS:RULE[,RULE...] with an address 1 to 252";
      return std::nullopt;
    }
    TDeviceRule rule;
    rule.Address = *address;
    if (std::any_of(rules.begin(), rules.end(), [&](const TDeviceRule& r) { return r.Address == rule.Address; })) {
      error = "device " + std::to_string(rule.Address) + " is given twice";
      return std::nullopt;
    }
    for (const std::string_view word : SplitSetting(part.substr(colon + 1), ',')) {
      const size_t eq = word.find('=');
      const std::string_view name = Trim(word.substr(0, eq));
      const std::optional<int> seconds =
          eq == std::string_view::npos ? std::nullopt : SettingWhole(Trim(word.substr(eq + 1)), 1, MaxPolicySeconds);
      if (name == "lowbattery" && eq == std::string_view::npos) {
        rule.LowBattery = true;
      } else if ((name == "onbattery" || name == "runtime") && seconds) {
        (name == "onbattery" ? rule.OnBatterySeconds : rule.RuntimeBelowSeconds) = *seconds;
      } else {
        error = "device " + std::to_string(rule.Address) + ": " + Quoted(word) +
                " is not onbattery=SECONDS, runtime=SECONDS (1 to 86400) or lowbattery";
        return std::nullopt;
      }
    }
    rules.push_back(rule);
  }
  return rules;
}

std::optional<TGroupRule> ParseShutdownGroup(std::string_view text, std::string& error) {
  TGroupRule group;
  if (Trim(text).empty()) return group;
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    error = Quoted(text) + " is not ADDRESS,ADDRESS[,...]:COUNT";
    return std::nullopt;
  }
  const std::optional<std::vector<int>> addresses = ParseAddresses(text.substr(0, colon), error);
  if (!addresses) return std::nullopt;
  if (addresses->size() < 2) {
    error = "a group is two devices or more";
    return std::nullopt;
  }
  const std::optional<int> count = SettingWhole(Trim(text.substr(colon + 1)), 1, static_cast<int>(addresses->size()));
  if (!count) {
    error = "the count of a group of " + std::to_string(addresses->size()) + " is 1 to " +
            std::to_string(addresses->size()) + ", not " + Quoted(Trim(text.substr(colon + 1)));
    return std::nullopt;
  }
  group.Addresses = *addresses;
  group.Count = *count;
  return group;
}

TShutdownPolicy::TShutdownPolicy(std::vector<TDeviceRule> rules, TGroupRule group)
    : FRules(std::move(rules)), FGroup(std::move(group)) {}

std::vector<int> TShutdownPolicy::Addresses() const {
  std::vector<int> out = FGroup.Addresses;
  for (const TDeviceRule& r : FRules)
    if (std::find(out.begin(), out.end(), r.Address) == out.end()) out.push_back(r.Address);
  return out;
}

std::vector<TPolicyTrip> TShutdownPolicy::Step(const std::function<TPowerReading(int)>& read, int64_t nowMs) {
  std::map<int, TPowerReading> readings;
  for (const int a : Addresses()) {
    const TPowerReading r = read(a);
    readings[a] = r;
    TTrack& t = FTrack[a];
    if (!r.Fresh) continue;  // what it last told stands
    t.OnBattery = r.OnBattery && !r.Testing;
    if (!t.OnBattery) {
      t.SinceMs = -1;
      t.Tripped = false;
    } else if (t.SinceMs < 0) {
      t.SinceMs = nowMs;
    }
  }
  std::vector<TPolicyTrip> trips;
  for (const TDeviceRule& rule : FRules) {
    TTrack& t = FTrack[rule.Address];
    const TPowerReading& r = readings[rule.Address];
    if (t.Tripped || !t.OnBattery) continue;
    std::string why;
    if (!r.Fresh)
      why = "not answering while on battery";
    else if (rule.OnBatterySeconds > 0 && nowMs - t.SinceMs >= int64_t{rule.OnBatterySeconds} * 1000)
      why = "on battery for " + std::to_string(rule.OnBatterySeconds) + " s";
    else if (rule.RuntimeBelowSeconds > 0 && r.RuntimeSeconds >= 0 && r.RuntimeSeconds < rule.RuntimeBelowSeconds)
      why = "runtime " + std::to_string(r.RuntimeSeconds) + " s, below " + std::to_string(rule.RuntimeBelowSeconds) +
            " s";
    else if (rule.LowBattery && r.LowBattery)
      why = "low battery";
    if (why.empty()) continue;
    t.Tripped = true;
    trips.push_back({rule.Address, why});
  }
  if (FGroup.Count > 0) {
    const auto onBattery = std::count_if(FGroup.Addresses.begin(), FGroup.Addresses.end(),
                                         [&](int a) { return FTrack[a].OnBattery; });
    if (onBattery == 0) FGroupTripped = false;
    if (!FGroupTripped && onBattery >= FGroup.Count) {
      FGroupTripped = true;
      const std::string why = std::to_string(onBattery) + " of the group's " + std::to_string(FGroup.Addresses.size()) +
                              " devices on battery";
      for (const int a : FGroup.Addresses)
        if (std::none_of(trips.begin(), trips.end(), [a](const TPolicyTrip& t) { return t.Address == a; }))
          trips.push_back({a, why});
    }
  }
  return trips;
}

}  // namespace tessaro
