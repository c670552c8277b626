#pragma once
// The sketch's battery branch: whether it shows, and which way and how fast
// its current flows.

#include <cstdint>

#include "core/ProtocolTraits.h"
#include "core/UpsInfo.h"

namespace tessaro {

// The battery fault bits of the rectifier's second alarm word.
bool BatteryFault(const TStatusBlock& status);
// The rectifier reports the battery discharging.
bool Discharging(const TStatusBlock& status);

struct TChargeFlow {
  bool Shown = false;
  bool Flowing = false;
  // Direction and pace are set only while the battery branch works; otherwise
  // the pipe keeps the last ones.
  bool Steered = false;
  bool Reverse = false;   // discharging: from the battery
  int IntervalMs = 500;   // between two steps of the flow: faster with more current
};

// `shownState` is the state the sketch shows (ShownSketchState).
TChargeFlow ChargeFlowOf(const TUpsInfo& info, int32_t shownState, const TProtocolTraits& traits);

}  // namespace tessaro
