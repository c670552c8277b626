#pragma once
// The seam between the poll engine and the three protocol handlers.
//
// The engine owns the schedule (when a request goes out, how often it is
// repeated), the cycle cursor (PollStep, StepCount, the device list) and the
// link accounting. A handler only says what a request looks like, whether an
// answer belongs to a request, and what the answer means:
//   - the next request is a value (TRequest) built from the cycle position;
//   - an answer is held against the request it would answer (Matches);
//   - only then is it decoded into its device's record (Decode).
// A handler never sends, never counts link failures and never logs events.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "core/PollState.h"
#include "core/UpsInfo.h"

namespace tessaro {

// One request, as built and as it stays in flight until the next is built.
struct TRequest {
  uint16_t Addr = 0;      // the device addressed (the handler's DevAddr)
  uint8_t Func = 0;       // Modbus function code, or the ASCII command step 1..5
  uint8_t Step = 0;       // the cycle step 1..n of a cycle request; 0 for probes and commands
  int32_t Reg = 0;        // Modbus: first register, register-table numbering (30001 ...)
  int32_t Count = 0;      // Modbus: register count (reads, function 16)
  int32_t AnswerLen = 0;  // bytes of an answer that matches (0: no answer can match)
  bool Probe = false;     // a device search probe
  uint32_t Answers = 0;   // answers accepted so far; counted by the engine
  int32_t FrameLen = 0;   // bytes of Frame to send; 0 = nothing to send
  std::array<uint8_t, TxBufSize> Frame{};

  std::span<const uint8_t> Bytes() const { return {Frame.data(), static_cast<size_t>(FrameLen)}; }
};

// A write command taken off the command queue, with the values it writes.
struct TWriteCommand {
  uint8_t Addr = 0;
  uint8_t Func = 0;  // 6 and 16 write; 1..4 read
  int32_t Reg = 0;
  int32_t Count = 0;
  uint16_t CommandValue = 0;   // value of the command registers 20001..20003
  TDeviceParams ParamImage{};  // values of the holding registers 40002..40029
  uint32_t Id = 0;             // the engine's tracking id; handlers ignore it
};

class TProtocolHandler {
 public:
  virtual ~TProtocolHandler() = default;

  // The address a fresh handler talks to before its cycle first moves on.
  virtual uint16_t FirstAddress() const { return 0; }
  // Steps in the cycle of a device that communicates (a lost device gets step 1 only).
  virtual int CycleSteps() const = 0;
  // Step 1..CycleSteps() of the cycle for a device.
  virtual TRequest CycleRequest(uint16_t addr, int step) const = 0;
  // The steps (bit n-1 = step n) whose answers carry the values that are
  // served and logged: measurements, state and alarms. A device's values
  // count as complete once all of them have been decoded since its link was
  // reset (Decode marks them in TUpsInfo::DecodedSteps).
  virtual uint32_t RequiredSteps() const = 0;
  // Those of them that carry the measurement block, all a data log record
  // holds: a device is recorded once these are in, whether or not its state
  // and alarms are yet.
  virtual uint32_t MeasureSteps() const = 0;
  // The fixed probe of a device search.
  virtual TRequest SearchRequest(uint16_t addr) const = 0;
  // Handlers that cannot write leave the command queue alone.
  virtual bool TakesCommands() const { return false; }
  virtual TRequest CommandRequest(const TWriteCommand& command) const {
    TRequest none;
    none.Addr = command.Addr;
    return none;
  }

  // True when `answer` is one whole answer to `request`: its address, kind and
  // length. Stores nothing; a handler may count why it refused into `stats`.
  virtual bool Matches(const TRequest& request, std::span<const uint8_t> answer, TPollStats& stats) const = 0;
  // Decodes an answer that matched into the record of request.Addr and marks
  // its cycle step decoded. False when the answer is well formed but not an
  // accepted one (a Modbus exception).
  virtual bool Decode(const TRequest& request, std::span<const uint8_t> answer, TUpsInfo& record) = 0;
  // The device's reason for refusing a request, for an answer that matched
  // and was not accepted: the Modbus exception code. None for anything else.
  virtual std::optional<uint8_t> RefusalCode(std::span<const uint8_t> /*answer*/) const { return std::nullopt; }
};

}  // namespace tessaro
