#include "core/ChargeFlow.h"

#include <cmath>

#include "core/Catalogue.h"

namespace tessaro {

namespace {

constexpr uint16_t BatteryFaultBits = (1u << 13) | (1u << 14);
constexpr uint16_t DischargingBit = 1u << 8;

// The slowest pace; each ampere, up to a cap, makes a step this much shorter.
constexpr int SlowestMs = 500;
constexpr int DischargeCapA = 20;
constexpr int DischargeStepMs = 22;
constexpr int ChargeCapA = 120;
constexpr int ChargeStepMs = 4;

int Amperes(double current, int cap) { return current > cap ? cap : static_cast<int>(std::nearbyint(current)); }

}  // namespace

bool BatteryFault(const TStatusBlock& status) { return (status.CmmAlarm2 & BatteryFaultBits) != 0; }

bool Discharging(const TStatusBlock& status) { return (status.CmmState1 & DischargingBit) != 0; }

TChargeFlow ChargeFlowOf(const TUpsInfo& info, int32_t shownState, const TProtocolTraits& traits) {
  TChargeFlow flow;
  if (info.CommState != 0 || !traits.ChargeFlow) return flow;
  flow.Shown = true;
  if (BatteryFault(info.Status) || shownState == StateEpo || shownState == StateFault) return flow;
  flow.Steered = true;
  const TMeasureBlock& m = info.Measure;
  if (Discharging(info.Status)) {
    flow.Reverse = true;
    if (m.BattDischargeCurr > 0) {
      flow.IntervalMs = SlowestMs - DischargeStepMs * Amperes(m.BattDischargeCurr, DischargeCapA);
      flow.Flowing = true;
    }
  } else if (m.BattChargeCurr > 0) {
    flow.IntervalMs = SlowestMs - ChargeStepMs * Amperes(m.BattChargeCurr, ChargeCapA);
    flow.Flowing = true;
  }
  return flow;
}

}  // namespace tessaro
