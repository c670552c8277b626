#pragma once
// TQuorvanProtocol: the power-frequency UPS ASCII protocol (`Protocol` 1). Same frames, cycle and answer checks as the modular-UPS
// protocol (shared through YdtV31Protocol.h) with VER 0x11; measured
// values arrive as 32-bit floats (HexToSingle: four hex byte pairs, least
// significant first), status and alarms as coded bytes.
//
// Request, e.g. command 41 to device 1 (18 bytes):  ~11012A410000FDA5 \r

#include <cstdint>
#include <string_view>

#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/YdtV31Protocol.h"

namespace tessaro {

class TQuorvanProtocol {
 public:
  static constexpr std::string_view VerText = "11";
  static constexpr int Ver = 0x11;
  // Status (step 2) and alarms (step 3) are decoded only from a device whose
  // SuccessCount has reached this; earlier answers are accepted and ignored.
  static constexpr int32_t StatusGate = 4;

  explicit TQuorvanProtocol(const TProtocolEnv& env);

  // Chooses the next command and builds its frame into the engine's transmit
  // buffer; FrameLen is 18, or 0 when Paused (nothing built).
  void NextRequest();
  // True when the chunk is an accepted answer of DevAddr; the decoded values are
  // then in UpsInfo[DevAddr]. A rejected chunk counts into one of ErrA..ErrF.
  bool ParseAnswer(const uint8_t* bytes, int length);

  int32_t FrameLen = 0;
  uint16_t DevAddr = 1;
  // Command step (1..5) of the last built request; 0 at construction and once
  // its answer has been decoded.
  uint8_t CmdStep = 0;

  // CID2 of each command step 1..5 (index 0 unused).
  static constexpr std::string_view Cid2[AsciiCycleSteps + 1] = {"", "41", "43", "44", "E2", "E3"};

 private:
  void BuildFrame();
  void DecodeAnalog();   // 41
  void DecodeStatus();   // 43
  void DecodeAlarms();   // 44
  void DecodeLoads();    // E2
  void DecodeBackup();   // E3
  // The state rule (the same as PowerFreqStateCode).
  int32_t StateFromSwitches() const;

  TProtocolEnv FEnv;
  TUpsInfo* FRecord = nullptr;
  std::string_view FFrame;
};

}  // namespace tessaro
