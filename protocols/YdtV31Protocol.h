#pragma once
// TYdtV31Protocol: the modular-UPS ASCII protocol (`Protocol` 0): VER 0x31,
// commands 42, 43, 44, 80 and 82, measured values as 16-bit words in hex.

#include <cstdint>
#include <string_view>

#include "protocols/AsciiFrame.h"

namespace tessaro {

class TYdtV31Protocol final : public TAsciiHandler {
 public:
  static constexpr std::string_view VerText = "31";
  static constexpr int Ver = 0x31;
  // CID2 of each command step 1..5 and the INFO length of its answer.
  static constexpr TCommands Commands = {{{"", 0}, {"42", 46}, {"43", 22}, {"44", 38}, {"80", 146}, {"82", 30}}};

  TYdtV31Protocol() : TAsciiHandler(VerText, Ver, Commands) {}

 protected:
  bool DecodeStep(int step, std::string_view frame, TUpsInfo& record) override;

 private:
  static void DecodeStep1(std::string_view frame, TUpsInfo& rec);  // 42: analog values
  static void DecodeStep2(std::string_view frame, TUpsInfo& rec);  // 43: status words
  static void DecodeStep3(std::string_view frame, TUpsInfo& rec);  // 44: alarm words
  static void DecodeStep4(std::string_view frame, TUpsInfo& rec);  // 80: loads and battery currents
  static void DecodeStep5(std::string_view frame, TUpsInfo& rec);  // 82: backup time and capacity
};

}  // namespace tessaro
