#include "core/UpsInfo.h"

#include <cmath>

namespace tessaro {

void InitDeviceTable(TUpsInfoTable& table) {
  for (int n = 0; n < SlotCount; ++n) {
    TUpsInfo& info = table[n];
    info.Address = static_cast<uint8_t>(n);
    info.CommState = 2;
    info.FailStreak = 0;
    info.Measure.BattCapacity = 0;
    info.StateCode = -1;
    info.LastStateCode = -1;
    info.DecodedSteps = 0;
    info.LastAnswerMs.reset();
  }
}

void LinkReset(TUpsInfo& info) {
  info.TotalCount = 0;
  info.ReceiveCount = 0;
  info.SuccessCount = 0;
  info.Status.StateValid = 0;
  info.StateCode = -1;
  info.LastStateCode = -1;
  // Values kept from before the reset are not served or logged again until
  // the device has sent them anew.
  info.DecodedSteps = 0;
}

void LinkFailed(TUpsInfo& info, TDeviceEventSink& events) {
  if (info.FailStreak < 100) ++info.FailStreak;
  if (info.FailStreak >= 10) {
    if (info.CommState != 2) {
      info.CommState = 2;
      LinkReset(info);
      // Address 0 stays in state 2 from the start, so it never reaches here.
      events.LogDeviceEvent(DevEventLost, info.Address);
    }
  } else if (info.FailStreak >= 4 && info.CommState == 0) {
    info.CommState = 1;
  }
  if (info.TotalCount >= 10000) {
    info.TotalCount = 100;
    info.SuccessCount = info.SuccessRate;
  } else {
    // The first count after a reset has no history: call it 0 %.
    if (info.TotalCount > 0)
      info.SuccessRate = static_cast<int32_t>(
          std::nearbyint(static_cast<double>(info.SuccessCount) * 100.0 / info.TotalCount));
    else
      info.SuccessRate = 0;
    ++info.TotalCount;
  }
}

void LinkSucceeded(TUpsInfo& info, TDeviceEventSink& events) {
  info.FailStreak = 0;
  if (info.Address == 0) return;
  if (info.SuccessCount < 10000) ++info.SuccessCount;
  if (info.CommState == 2) events.LogDeviceEvent(DevEventEstablished, info.Address);
  info.CommState = 0;
}

void CountReceive(TUpsInfo& info) {
  if (info.ReceiveCount < 10000) ++info.ReceiveCount;
}

void ResetAllLinks(TUpsInfoTable& table) {
  for (TUpsInfo& info : table) LinkReset(info);
}

void ClearLiveValues(TUpsInfo& info) {
  info.StateCode = -1;
  const double chargeCurr = info.Measure.BattChargeCurr;
  const double dischargeCurr = info.Measure.BattDischargeCurr;
  info.Measure = TMeasureBlock{};
  info.Measure.BattChargeCurr = chargeCurr;
  info.Measure.BattDischargeCurr = dischargeCurr;
  info.Status = TStatusBlock{};
  // 0, not -1: the first state after the link returns is logged as a change.
  info.LastStateCode = 0;
  info.AlarmCount = 0;
  info.InputSwitch = info.OutputSwitch = info.BypassSwitch = info.MaintSwitch = 0;
  info.InputSupply = info.UpsSupply = 0;
  info.DecodedSteps = 0;
}

}  // namespace tessaro
