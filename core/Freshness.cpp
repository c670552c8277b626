#include "core/Freshness.h"

#include <algorithm>

namespace tessaro {

namespace {

constexpr int64_t TickMs = 100;
// Ticks a send holds the line: the send and the 10 ticks of waiting (1.1 s).
constexpr int64_t SendTicks = 11;
// Scheduling slack on top of the round: a busy machine runs ticks late.
constexpr int64_t SlackMs = 5000;

}  // namespace

const char* FreshnessText(TFreshness freshness) {
  switch (freshness) {
    case TFreshness::Fresh: return "fresh";
    case TFreshness::LinkLost: return "link lost";
    case TFreshness::LinkError: return "link in error";
    case TFreshness::Incomplete: return "not every value received since the link came up";
    case TFreshness::TooOld: return "no answer within a poll round";
  }
  return "";
}

// The tick that builds the request, MaxReSend - 1 sends of 11 ticks each, and
// the tick that releases it: 1.3 s with the default MaxReSend of 2.
int64_t RequestHoldMs(int maxReSend) { return TickMs * (2 + SendTicks * std::max(maxReSend - 1, 0)); }

// A device answering every request goes longest without an answer between
// the answer to the last step of one cycle and the answer to the first step
// of the next: at most the request of that last step, every request of the
// other devices and the request of that first step, so fewer than
// (S + 1) requests, where S counts the requests of one whole round (a full
// cycle for each list entry whose link is not lost, one step for a lost one,
// the device itself included). On top of that worst case:
//   - a quarter of it, for ticks that run late over a long round;
//   - one more full cycle, for a lost device that comes back during the round
//     (it is then asked a full cycle, not one step) or a few queued commands;
//   - 5 s of slack.
// Fast polling releases answered requests early and unanswered ones on the
// same schedule, so its rounds are never longer. A false stale verdict is a
// false alarm for the clients, hence the generous margins.
int64_t AllowedAgeMs(const TUpsInfoTable& table, const TDeviceList& list, int cycleSteps, int maxReSend) {
  const int64_t fullCycle = std::max(cycleSteps, 1);
  int64_t roundSteps = 0;
  for (int i = 1; i <= std::min<int>(list.Count, MaxDevices); ++i) {
    const uint8_t addr = list.Nodes[static_cast<size_t>(i)].Address;
    const bool lost = addr > MaxAddress || table[addr].CommState == 2;
    roundSteps += lost ? 1 : fullCycle;
  }
  const int64_t hold = RequestHoldMs(maxReSend);
  const int64_t worst = (roundSteps + 1) * hold;
  return worst + worst / 4 + fullCycle * hold + SlackMs;
}

TFreshness CheckFreshness(const TUpsInfo& info, uint32_t requiredSteps, int64_t nowMs, int64_t allowedAgeMs) {
  if (info.CommState == 2) return TFreshness::LinkLost;
  if (info.CommState != 0) return TFreshness::LinkError;
  if ((info.DecodedSteps & requiredSteps) != requiredSteps) return TFreshness::Incomplete;
  if (!info.LastAnswerMs || nowMs - *info.LastAnswerMs > allowedAgeMs) return TFreshness::TooOld;
  return TFreshness::Fresh;
}

int64_t TFreshnessRule::AllowedAgeMs() const {
  return tessaro::AllowedAgeMs(FTable, FList, FVars.CycleSteps, FSettings.PortInfo.MaxReSend);
}

TFreshness TFreshnessRule::Check(int address, uint32_t steps) const {
  if (address < 0 || address > MaxAddress) return TFreshness::LinkLost;
  return CheckFreshness(FTable[static_cast<size_t>(address)], steps, FClock.MonotonicMs(), AllowedAgeMs());
}

TFreshness TFreshnessRule::Of(int address) const { return Check(address, FVars.RequiredSteps); }

TFreshness TFreshnessRule::OfRecord(int address) const { return Check(address, FVars.MeasureSteps); }

}  // namespace tessaro
