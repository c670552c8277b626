#pragma once
// Battery test and remote on/off: the command each button queues, and the
// user settings view's texts for a device's parameters.

#include <cstdint>
#include <optional>
#include <string>

#include "core/UpsInfo.h"

namespace tessaro {

class TContext;

// The test time entry in seconds: none when it is empty, not a whole number or
// above 65535 (the register holds 16 bits; a wrapped time is not what was typed).
std::optional<uint16_t> TestTimeValue(const std::string& text);

enum class TCommandOutcome : uint8_t {
  Ignored,    // a protocol without commands: nothing queued, nothing said
  NoDevice,   // no device selected: address 0 would reach every device on the bus
  QueueFull,
  Queued,
};

TCommandOutcome SendControlCommand(TContext& ctx, uint8_t addr, int reg, uint16_t value);

struct TUserSetTexts {
  std::string WorkMode, VoltLevel, FreqLevel, ParallelNum, RedundancyNum, BypassFreqRange, BypassVoltMax,
      BypassVoltMin, OutputVoltFine, SysId, Buzzer, OperationMode;
  std::string BattNum, BattCapAh, BattGroup, BoostVolt, FloatVolt, EodVolt, PreAlarmTime, BoostLastTime,
      MaxChargeCurr, BoostCharge;
};

TUserSetTexts UserSetTexts(const TDeviceParams& p, uint8_t language);

}  // namespace tessaro
