#pragma once
// TMModbus: the Modbus RTU master handler for the protocol choices 2 (Modbus)
// and 3 (RXA). It never looks at the protocol number.
//
// The register cycle of a device:
//   1  fn 4  30001..30014 (14)     01 04 75 30 00 0E 6B CD  (device 1)
//   2  fn 4  30021..30038 (18)     01 04 75 44 00 12 2A 1E
//   3  fn 4  30081..30091 (11)     01 04 75 80 00 0B AA 29
//   4  fn 3  40001..40028 (28)     01 03 9C 40 00 1C 6B 87
//   5  fn 3  40029        (1)      01 03 9C 5C 00 01 6A 48  (only with SelectedModel "RXA410LT")
// Steps 1 to 3 carry the live values (RequiredSteps), 1 and 2 the measurements
// (MeasureSteps); 4 and 5 the settings.
// The search probe reads 30001..30014 of the probed address; write commands
// come from the engine's command queue.
//
// Frames (multi-byte numbers high byte first, CRC low byte first; the wire
// register address is the table number minus 1):
//   read (fn 1..4)  addr fn reg(2) count(2) crc(2)                 8 bytes
//   write (fn 6)    addr 06 reg(2) value(2) crc(2)                 8 bytes
//   write (fn 16)   addr 10 reg(2) n(2) 2n(1) values(2n) crc(2)    9 + 2n bytes
//
// An answer matches its request when it is one frame with a good CRC from the
// addressed device and is either
//   - a read answer of the request's function whose byte count is the one the
//     request asked for (2 x count registers, count/8 rounded up for bits),
//   - the echo of a write request (function 6: the request's first 6 bytes;
//     function 16: address, function, register and count), or
//   - the exception form of the request's function (function | 0x80), 5 bytes.
// Read answers are decoded register by register from the request's first
// register; echoes are accepted without effect; exceptions are not accepted,
// except that during a device search any matching answer counts as found.

#include <cstdint>
#include <span>
#include <string>

#include "protocols/Handler.h"

namespace tessaro {

// Why a received chunk is not the answer to a request, in the order the
// checks run; Accepted when it is.
enum class TModbusCheck : uint8_t {
  Accepted,
  NoRequest,      // the request has no frame: nothing was sent
  TooShort,       // fewer bytes than address, function and CRC
  WrongAddress,   // not from the addressed device
  BadCrc,         // the CRC over the whole chunk fails: corrupted, or bytes around the frame
  WrongFunction,  // neither the request's function nor its exception form
  BadLength,      // not the length of the answer asked for (an exception: not 5 bytes)
  WrongEcho,      // a write echo that is not the request's address, register and value or count
  BadByteCount,   // a read answer whose byte count is not the one asked for
};

// Runs the checks on one received chunk against the request in flight.
TModbusCheck CheckModbusAnswer(const TRequest& request, std::span<const uint8_t> answer);

// SelectedModel value that gives the register cycle its fifth step.
inline constexpr const char* ModelRxa410Lt = "RXA410LT";

class TMModbus final : public TProtocolHandler {
 public:
  struct TCycleStep {
    uint8_t Func;
    int32_t Reg;
    int32_t Count;
  };
  // The register cycle, steps 1..5 at indexes 0..4.
  static constexpr TCycleStep CycleTable[5] = {
      {4, 30001, 14}, {4, 30021, 18}, {4, 30081, 11}, {3, 40001, 28}, {3, 40029, 1},
  };
  // The search probe: read input registers 30001..30014.
  static constexpr TCycleStep SearchProbe = {4, 30001, 14};

  // selectedModel must outlive the handler; it is read at every cycle decision.
  explicit TMModbus(const std::string& selectedModel) : FSelectedModel(selectedModel) {}

  int CycleSteps() const override;
  TRequest CycleRequest(uint16_t addr, int step) const override;
  uint32_t RequiredSteps() const override;
  uint32_t MeasureSteps() const override;
  TRequest SearchRequest(uint16_t addr) const override;
  bool TakesCommands() const override { return true; }
  TRequest CommandRequest(const TWriteCommand& command) const override;
  bool Matches(const TRequest& request, std::span<const uint8_t> answer, TPollStats& stats) const override;
  bool Decode(const TRequest& request, std::span<const uint8_t> answer, TUpsInfo& record) override;
  std::optional<uint8_t> RefusalCode(std::span<const uint8_t> answer) const override;

  // The frame of a request to addr (FrameLen 0 for an unsupported function
  // code, and for a function-16 frame that would not fit the 256-byte buffer).
  // Write values come from `values`.
  static TRequest BuildRequest(uint16_t addr, uint8_t func, int32_t reg, int32_t count,
                               const TWriteCommand& values = {});
  // Stores one register value into a record; unknown registers are ignored.
  static void StoreRegister(TUpsInfo& record, int64_t reg, uint16_t value);
  // The value a write request sends for a register.
  static uint16_t WriteValueOf(const TWriteCommand& values, int64_t reg);
  // Modbus CRC-16 (poly 0xA001 reflected, start 0xFFFF, no final inversion).
  static uint16_t Crc16(const uint8_t* bytes, int count);

 private:
  const std::string& FSelectedModel;
};

}  // namespace tessaro
