#pragma once
// The one rule for when a device's values may be served (network server, web,
// metrics) or logged (data log): only what the device itself said recently.
// A device is fresh when
//   - its link is up (CommState 0: neither lost nor in error),
//   - every value that is served has been decoded since its link was last
//     reset (the active handler's RequiredSteps are all in
//     TUpsInfo::DecodedSteps); for a data log record, which holds only the
//     measurements, every measured value (MeasureSteps), and
//   - its last accepted answer is younger than the longest time a normally
//     polled device can go between two answers (AllowedAgeMs). While polling
//     is paused, or a search or the port holds the line, the age grows past
//     that bound and the device turns stale.

#include <cstdint>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"

namespace tessaro {

enum class TFreshness : uint8_t {
  Fresh,
  LinkLost,    // CommState 2
  LinkError,   // CommState 1: several requests in a row went unanswered
  Incomplete,  // not every value served (or logged) decoded since the link came up
  TooOld,      // the last accepted answer is older than the poll round allows
};

// A short English reason ("fresh", "link lost", ...), for logs and APIs.
const char* FreshnessText(TFreshness freshness);

// How long one request holds the line on the 100 ms tick schedule.
int64_t RequestHoldMs(int maxReSend);

// The largest age of a device's last accepted answer that is still fresh,
// for the devices of `list` in their present link states (formula in the
// source). Fast polling only ever shortens a round, so the bound holds there.
int64_t AllowedAgeMs(const TUpsInfoTable& table, const TDeviceList& list, int cycleSteps, int maxReSend);

// The rule for one device record.
TFreshness CheckFreshness(const TUpsInfo& info, uint32_t requiredSteps, int64_t nowMs, int64_t allowedAgeMs);

// The rule over the program's state, for the front ends: it reads the device
// table, the list, the settings, the engine's cycle figures and the clock when
// asked, and holds nothing of its own. Everything it refers to must outlive it.
class TFreshnessRule {
 public:
  TFreshnessRule(const TUpsInfoTable& table, const TDeviceList& list, const TSettings& settings,
                 const TPollVars& vars, const TClock& clock)
      : FTable(table), FList(list), FSettings(settings), FVars(vars), FClock(clock) {}

  int64_t AllowedAgeMs() const;
  // For an address outside the table: LinkLost.
  TFreshness Of(int address) const;
  bool IsFresh(int address) const { return Of(address) == TFreshness::Fresh; }
  // The same for the device's data log record.
  TFreshness OfRecord(int address) const;
  bool IsRecordFresh(int address) const { return OfRecord(address) == TFreshness::Fresh; }

 private:
  const TUpsInfoTable& FTable;
  const TDeviceList& FList;
  const TSettings& FSettings;
  const TPollVars& FVars;
  const TClock& FClock;

  TFreshness Check(int address, uint32_t steps) const;
};

}  // namespace tessaro
