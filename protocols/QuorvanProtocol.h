#pragma once
// TQuorvanProtocol: the power-frequency UPS ASCII protocol (`Protocol` 1). Same
// frames, cycle and answer checks as the modular-UPS protocol (AsciiFrame.h)
// with VER 0x11; measured values arrive as 32-bit floats (HexToSingle: four
// hex byte pairs, least significant first), status and alarms as coded bytes.
//
// Request, e.g. command 41 to device 1 (18 bytes):  ~11012A410000FDA5 \r

#include <cstdint>
#include <string_view>

#include "protocols/AsciiFrame.h"

namespace tessaro {

class TQuorvanProtocol final : public TAsciiHandler {
 public:
  static constexpr std::string_view VerText = "11";
  static constexpr int Ver = 0x11;
  // Status (step 2) and alarms (step 3) are decoded only from a device whose
  // SuccessCount has reached this; earlier answers are accepted and ignored.
  static constexpr int32_t StatusGate = 4;
  // CID2 of each command step 1..5 and the INFO length of its answer.
  static constexpr TCommands Commands = {{{"", 0}, {"41", 90}, {"43", 24}, {"44", 130}, {"E2", 124}, {"E3", 108}}};

  TQuorvanProtocol() : TAsciiHandler(VerText, Ver, Commands) {}

 protected:
  bool DecodeStep(int step, std::string_view frame, TUpsInfo& record) override;

 private:
  static void DecodeAnalog(std::string_view frame, TUpsInfo& rec);  // 41
  // False below the status gate.
  static bool DecodeStatus(std::string_view frame, TUpsInfo& rec);  // 43
  static bool DecodeAlarms(std::string_view frame, TUpsInfo& rec);  // 44
  static void DecodeLoads(std::string_view frame, TUpsInfo& rec);   // E2
  static void DecodeBackup(std::string_view frame, TUpsInfo& rec);  // E3
};

}  // namespace tessaro
