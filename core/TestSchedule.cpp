#include "core/TestSchedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/ShutdownPolicy.h"

namespace tessaro {

namespace {

constexpr int MaxTestAddress = 252;
constexpr int MaxEveryDays = 366;
constexpr double MinutesPerDay = 1440;

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// "HH:MM" (or "H:MM") as minutes of the day.
std::optional<int> TimeOfDay(std::string_view s) {
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos || s.size() - colon != 3) return std::nullopt;
  const auto h = SettingWhole(s.substr(0, colon), 0, 23);
  const auto m = SettingWhole(s.substr(colon + 1), 0, 59);
  if (!h || !m) return std::nullopt;
  return *h * 60 + *m;
}

double Day(TDateTime t) { return std::floor(t); }

TDateTime SlotOn(double day, const TTestSlot& slot) { return day + slot.Minute / MinutesPerDay; }

}  // namespace

std::optional<std::vector<TTestSlot>> ParseTestSchedule(std::string_view text, std::string& error) {
  std::vector<TTestSlot> out;
  if (text.find_first_not_of(' ') == std::string_view::npos) return out;
  for (const std::string_view part : SplitSetting(text, ';')) {
    const size_t colon = part.find(':');
    const auto address = colon == std::string_view::npos
                             ? std::nullopt
                             : SettingWhole(Trim(part.substr(0, colon)), 1, MaxTestAddress);
    if (!address) {
      error = Quoted(part) + " does not start with a device address (1 to 252) and a colon";
      return std::nullopt;
    }
    if (std::any_of(out.begin(), out.end(), [&](const TTestSlot& s) { return s.Address == *address; })) {
      error = "device " + std::to_string(*address) + " is given twice";
      return std::nullopt;
    }
    TTestSlot slot{*address, 0, -1};
    for (const std::string_view word : SplitSetting(part.substr(colon + 1), ',')) {
      const size_t eq = word.find('=');
      const std::string_view key = word.substr(0, eq);
      const std::string_view value = eq == std::string_view::npos ? std::string_view{} : Trim(word.substr(eq + 1));
      if (key == "every" && eq != std::string_view::npos) {
        const auto days = SettingWhole(value, 1, MaxEveryDays);
        if (!days) {
          error = "every=" + std::string(value) + ": the days between tests are a whole number from 1 to 366";
          return std::nullopt;
        }
        slot.EveryDays = *days;
      } else if (key == "at" && eq != std::string_view::npos) {
        const auto minute = TimeOfDay(value);
        if (!minute) {
          error = "at=" + std::string(value) + ": the time of day is HH:MM, 00:00 to 23:59";
          return std::nullopt;
        }
        slot.Minute = *minute;
      } else {
        error = Quoted(word) + " is not every=DAYS or at=HH:MM";
        return std::nullopt;
      }
    }
    if (slot.EveryDays == 0 || slot.Minute < 0) {
      error = "device " + std::to_string(*address) + " needs both every=DAYS and at=HH:MM";
      return std::nullopt;
    }
    out.push_back(slot);
  }
  return out;
}

TTestSchedule::TTestSchedule(std::vector<TTestSlot> slots, TDateTime now, const std::map<int, TDateTime>& lastRun) {
  for (const TTestSlot& slot : slots) {
    TNext next{slot, SlotOn(Day(now), slot)};
    if (const auto last = lastRun.find(slot.Address); last != lastRun.end())
      next.At = std::max(SlotOn(Day(last->second) + slot.EveryDays, slot), next.At);
    else if (next.At < now)
      next.At = SlotOn(Day(now) + 1, slot);
    FNext.emplace(slot.Address, next);
  }
}

TTestSchedule::TStep TTestSchedule::Step(TDateTime now, const std::function<TTestBlock(int address)>& block) {
  TStep step;
  for (auto& [address, next] : FNext) {
    if (now < next.At) continue;
    const double slotDay = Day(next.At);
    if (Day(now) > slotDay) {
      // The day went by without a moment the test could run.
      step.Skipped.emplace_back(address, next.Last);
    } else if ((next.Last = block(address)) == TTestBlock::None) {
      step.Start.push_back(address);
    } else {
      continue;
    }
    next.Last = TTestBlock::None;
    // The next slot from the one taken or given up, skipping whole periods
    // the monitor did not run through.
    double day = slotDay + next.Slot.EveryDays;
    while (SlotOn(day, next.Slot) <= now) day += next.Slot.EveryDays;
    next.At = SlotOn(day, next.Slot);
  }
  return step;
}

std::optional<TDateTime> TTestSchedule::NextAt(int address) const {
  const auto it = FNext.find(address);
  if (it == FNext.end()) return std::nullopt;
  return it->second.At;
}

std::string TestOutcomeLine(const TTestOutcome& o) {
  auto battery = [](const TTestBattery& b) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1fV %d%% %ds", b.Volts, b.Percent, b.RuntimeSeconds);
    return std::string(text);
  };
  return "ups" + std::to_string(o.Address) + " start " + FormatDateTime(o.Start) + " end " + FormatDateTime(o.End) +
         " " + o.Confirmation + " before " + battery(o.Before) + " after " + battery(o.After);
}

std::optional<TTestOutcome> ParseTestOutcome(std::string_view line) {
  const std::string text(line);
  TTestOutcome o;
  TDateParts s, e;
  char confirmation[32] = {};
  int used = 0;
  const int n = std::sscanf(text.c_str(),
                            "ups%d start %d-%d-%d %d:%d:%d end %d-%d-%d %d:%d:%d %31s before %lfV %d%% %ds after "
                            "%lfV %d%% %ds%n",
                            &o.Address, &s.Year, &s.Month, &s.Day, &s.Hour, &s.Minute, &s.Second, &e.Year, &e.Month,
                            &e.Day, &e.Hour, &e.Minute, &e.Second, confirmation, &o.Before.Volts, &o.Before.Percent,
                            &o.Before.RuntimeSeconds, &o.After.Volts, &o.After.Percent, &o.After.RuntimeSeconds, &used);
  if (n != 20 || static_cast<size_t>(used) != text.size() || o.Address < 1 || o.Address > MaxTestAddress)
    return std::nullopt;
  o.Start = EncodeDateTime(s);
  o.End = EncodeDateTime(e);
  o.Confirmation = confirmation;
  return o;
}

std::map<int, TTestOutcome> LastTestOutcomes(std::string_view text) {
  std::map<int, TTestOutcome> out;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    // A last line without its newline was cut short by a crash.
    if (end == std::string_view::npos) break;
    if (auto o = ParseTestOutcome(text.substr(at, end - at))) out[o->Address] = std::move(*o);
    at = end + 1;
  }
  return out;
}

std::string TTestResults::ResultText(int address) const {
  if (Running.count(address) != 0) return "In progress";
  const auto it = Last.find(address);
  if (it == Last.end()) return {};
  const std::string& c = it->second.Confirmation;
  if (c == "confirmed") return "Done";
  if (c == "refused") return "Refused by the device";
  if (c == "not-answered") return "Not answered by the device";
  return "Not started (" + c + ")";
}

std::string TTestResults::DateText(int address) const {
  if (const auto running = Running.find(address); running != Running.end()) return FormatDateTime(running->second);
  const auto it = Last.find(address);
  return it == Last.end() ? std::string() : FormatDateTime(it->second.Start);
}

}  // namespace tessaro
