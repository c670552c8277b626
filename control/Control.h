#pragma once
// Writes to a device (parameters, battery test, remote on/off): the checks,
// the question, the queueing and the texts of their outcomes; and the user
// settings view's texts for a device's parameters.

#include <cstdint>
#include <optional>
#include <string>

#include "core/UpsInfo.h"
#include "engine/CommandTracker.h"

namespace tessaro {

class TContext;

// The test time entry in seconds: none when it is empty, not a whole number or
// above 65535 (the register holds 16 bits; a wrapped time is not what was typed).
std::optional<uint16_t> TestTimeValue(const std::string& text);
// The test time the battery test window starts with, and a network command's
// when it gives none (seconds).
constexpr uint16_t DefaultTestSeconds = 60;

// The protocol writes to devices (Modbus and the protocol served by its handler).
bool ProtocolTakesCommands(uint8_t protocol);

// ---- the one way a write reaches a device
// Windows and network commands alike: check the request, ask the operator the
// question (windows), queue it, and follow its outcome by the returned id in
// TContext::Commands.

enum class TCommandCheck : uint8_t {
  Ok,
  NoCommands,        // the protocol cannot write to devices
  NoDevice,          // address 0: no device selected, and a broadcast would reach every device
  NotConfigured,     // not in the device list
  NotLinked,         // not communicating: nothing it answers could be heard
  PortClosed,
  UnknownParameter,  // a parameter write to a register that is not in the parameter table
  Busy,              // the same parameter waits to be written to another device
  QueueFull,
};

// The request against the settings, the device list and table, and the queue.
TCommandCheck CheckCommand(const TContext& ctx, const TCommandRequest& request, bool portOpen);

struct TCommandTicket {
  TCommandCheck Check = TCommandCheck::Ok;
  uint32_t Id = 0;  // with Ok: the command's entry in ctx.Commands
};

// Checks and queues; a parameter write also stores its value in ParamImage.
// A waiting command it takes the place of is reported superseded.
TCommandTicket QueueControlCommand(TContext& ctx, const TCommandRequest& request, bool portOpen);

// ---- texts, UTF-8, Chinese with language 1 and English otherwise
// Why a request was not queued.
std::string CheckText(TCommandCheck check, uint8_t language);
// The question to ask before a request is queued: the device by name and
// address, and what the command will do.
std::string ConfirmQuestion(const TContext& ctx, const TCommandRequest& request, uint8_t language);
// The device as the texts name it: UPS "name" (address 5).
std::string DeviceText(const TContext& ctx, uint8_t addr, uint8_t language);
// The command alone: "switch off", "battery test (60 s)" ...
std::string CommandText(const TCommandRequest& request, uint8_t language);
// The state alone: "queued", "confirmed by the device", "refused by the device (exception 2: ...)" ...
std::string OutcomeText(const TTrackedCommand& command, uint8_t language);
// One line for the status bar and stderr: command, device and state.
std::string OutcomeLine(const TContext& ctx, const TTrackedCommand& command, uint8_t language);

struct TUserSetTexts {
  std::string WorkMode, VoltLevel, FreqLevel, ParallelNum, RedundancyNum, BypassFreqRange, BypassVoltMax,
      BypassVoltMin, OutputVoltFine, SysId, Buzzer, OperationMode;
  std::string BattNum, BattCapAh, BattGroup, BoostVolt, FloatVolt, EodVolt, PreAlarmTime, BoostLastTime,
      MaxChargeCurr, BoostCharge;
};

TUserSetTexts UserSetTexts(const TDeviceParams& p, uint8_t language);

}  // namespace tessaro
