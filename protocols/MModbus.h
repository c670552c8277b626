#pragma once
// TMModbus: the Modbus RTU master handler for the protocol choices 2 (Modbus)
// and 3 (RXA). It never looks at the protocol number.
//
// Each NextRequest() builds one of
//   - a search probe (SearchMode set): read input registers 30001..30014 of SearchAddr;
//   - nothing (Paused set): FrameLen = 0;
//   - the first pending CommandQueue entry (write commands from the dialogs);
//   - the next step of the current device's register cycle:
//       1  fn 4  30001..30014 (14)     01 04 75 30 00 0E 6B CD  (device 1)
//       2  fn 4  30021..30038 (18)     01 04 75 44 00 12 2A 1E
//       3  fn 4  30081..30091 (11)     01 04 75 80 00 0B AA 29
//       4  fn 3  40001..40028 (28)     01 03 9C 40 00 1C 6B 87
//       5  fn 3  40029        (1)      01 03 9C 5C 00 01 6A 48  (only with SelectedModel "RXA410LT")
//     A device whose CommState is 2 gets step 1 only.
// into the engine's transmit buffer, and sets FrameLen and DevAddr.
//
// Frames (multi-byte numbers high byte first, CRC low byte first; the wire
// register address is the table number minus 1):
//   read (fn 1..4)  addr fn reg(2) count(2) crc(2)                 8 bytes
//   write (fn 6)    addr 06 reg(2) value(2) crc(2)                 8 bytes
//   write (fn 16)   addr 10 reg(2) n(2) 2n(1) values(2n) crc(2)    9 + 2n bytes
//
// ParseAnswer accepts exactly one frame from DevAddr with a good CRC and the
// length its function's layout gives (read answers 5 + byte count, write echoes
// 8, exception answers 5; the length check catches trailing zero bytes, which
// leave the CRC at 0). Read answers (fn 3, 4) are decoded register by register
// from StartReg into UpsInfo[DevAddr], write echoes are accepted without
// effect, exception answers are rejected (except during a device search, where
// any well-formed answer counts as found).
//
// The handler never sends, never counts link failures and never logs events.

#include <cstdint>
#include <string>

#include "core/PollState.h"
#include "engine/CommandQueue.h"

namespace tessaro {

// SelectedModel value that gives the register cycle its fifth step.
inline constexpr const char* ModelRxa410Lt = "RXA410LT";

class TMModbus {
 public:
  struct TCycleStep {
    uint8_t Func;
    int32_t Reg;
    int32_t Count;
  };
  // The register cycle, steps 1..5 at indexes 0..4.
  static constexpr TCycleStep CycleSteps[5] = {
      {4, 30001, 14}, {4, 30021, 18}, {4, 30081, 11}, {3, 40001, 28}, {3, 40029, 1},
  };
  // The search probe: read input registers 30001..30014.
  static constexpr TCycleStep SearchProbe = {4, 30001, 14};

  // The transmit buffer is env.Vars.TxBuf; answers come through ParseAnswer.
  // queue and selectedModel must outlive the handler; selectedModel is read at
  // every NextRequest.
  TMModbus(const TProtocolEnv& env, TCommandQueue& queue, const std::string& selectedModel);

  // Address the last built request went to; answers must come from it.
  uint16_t DevAddr = 0;
  // Length of the built frame in bytes; 0 = nothing to send.
  int32_t FrameLen = 0;

  // The request to build (they always describe the last built request).
  uint8_t SlaveAddr = 0;
  uint8_t FuncCode = 0;
  int32_t StartReg = 0;  // register-table numbering (30001, 40001, 20003 ...)
  int32_t RegCount = 0;

  // Chooses the next request, sets DevAddr and the request fields and builds the frame.
  void NextRequest();
  // True when bytes[0..length) is one accepted answer of DevAddr.
  bool ParseAnswer(const uint8_t* bytes, int length);

  // Builds the frame for SlaveAddr, FuncCode, StartReg, RegCount into the
  // transmit buffer and sets FrameLen (0 for an unsupported function code, and
  // for a function-16 frame that would not fit into the 256-byte buffer).
  void BuildFrame();
  // Stores one register value into UpsInfo[DevAddr]; unknown registers are ignored.
  void StoreRegister(int64_t reg, uint16_t value);
  // The value a write request sends for a register.
  uint16_t WriteValueOf(int64_t reg) const;
  // Modbus CRC-16 (poly 0xA001 reflected, start 0xFFFF, no final inversion).
  static uint16_t Crc16(const uint8_t* bytes, int count);

 private:
  // False when a frame's length is not the one its function's layout gives
  // (read answers 5 + byte count, write echoes 8, exception answers 5).
  static bool HasFrameLength(const uint8_t* bytes, int length);
  TUpsInfo* Record();  // UpsInfo[DevAddr], or null when DevAddr has no slot (> 252)

  TProtocolEnv FEnv;
  uint8_t* FTxBuf;
  TCommandQueue& FQueue;
  const std::string& FSelectedModel;
};

}  // namespace tessaro
