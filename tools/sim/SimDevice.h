#pragma once
// One simulated UPS: its live values, status and alarm words, holding
// registers and scenario behaviour. Protocol encodings live in SimBus.cpp.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/sim/SimOptions.h"

namespace tessaro::sim {

// Status words as reads them.
namespace bits {
// CmmState1
constexpr uint16_t InputSwitchClosed = 1u << 15;
constexpr uint16_t RectifierOn = 1u << 14;
constexpr uint16_t InputPresent = 1u << 11;  // with bit 10: mains, without: battery
constexpr uint16_t MainsSupply = 1u << 10;
constexpr uint16_t BatteryTest = 1u << 9;
// InvState1
constexpr uint16_t BypassSwitchClosed = 1u << 15;
constexpr uint16_t OutputSwitchClosed = 1u << 14;
constexpr uint16_t InverterOn = (1u << 10) | (1u << 9);  // b = 0x0600
constexpr uint16_t InverterOff = 1u << 10;                // b = 0x0400, "no output"
constexpr uint16_t InverterSupplies = 1u << 8;            // m = 0x0100
// CmmAlarm2
constexpr uint16_t MainsVoltAbnormal = 1u << 6;  // alarm code 25
}  // namespace bits

struct TLiveValues {
  double InputVolt[3]{};   // phase voltage, V
  double InputFreq = 0;    // Hz
  double OutputVolt[3]{};  // V
  double OutputCurr[3]{};  // A
  double OutputFreq = 0;   // Hz
  double Load[3]{};        // %
  double BattVoltPos = 0, BattVoltNeg = 0;
  double ChargeCurrPos = 0, ChargeCurrNeg = 0;
  double DischargeCurrPos = 0, DischargeCurrNeg = 0;
  double BattTemp = 25;
  int Capacity = 100;      // %
  double BackupMin = 0;    // minutes
  uint8_t UpsState = 4;    // the state code the device believes it is in
  uint16_t CmmState1 = 0, CmmState2 = 0, InvState1 = 0, InvState2 = 0;
  uint16_t CmmAlarm1 = 0, CmmAlarm2 = 0, InvAlarm1 = 0, InvAlarm2 = 0;
  uint16_t SysState = 0, SysAlarm = 0;
  bool OnBattery = false, MainsAlarm = false, BattTest = false, OutputOff = false;
};

class TSimDevice {
 public:
  static constexpr int InputFirst = 30001, InputLast = 30100;
  static constexpr int HoldingFirst = 40001, HoldingLast = 40050;

  TSimDevice(int address, uint64_t seed, const TSimOptions& options);

  int Address() const { return FAddress; }
  bool Silent(double now) const;
  // Live values at `now` (seconds since start); draws the small variation
  // from the device's own generator and advances the battery model.
  TLiveValues Sample(double now);

  // Modbus register space, in register-table numbering.
  static bool IsInputRegister(int reg) { return reg >= InputFirst && reg <= InputLast; }
  static bool IsHoldingRegister(int reg) { return reg >= HoldingFirst && reg <= HoldingLast; }
  static bool IsWritable(int reg);
  static uint16_t InputRegister(const TLiveValues& live, int reg);
  uint16_t HoldingRegister(int reg) const { return FHolding[static_cast<size_t>(reg - HoldingFirst)]; }
  void Write(int reg, uint16_t value, double now);

  // Fault to apply to the answer now being sent, if any (counts answers).
  std::optional<TFaultKind> NextFault();
  bool Late() const { return FLate; }

 private:
  double Noise(double amplitude);  // uniform in [-amplitude, amplitude]
  uint64_t NextRandom();

  int FAddress;
  const TSimOptions& FOptions;
  uint64_t FRandom;
  double FBaseLoad[3];
  std::array<uint16_t, HoldingLast - HoldingFirst + 1> FHolding{};
  bool FOutputOff = false;
  double FBattTestUntil = -1;
  double FCapacity = 100;
  double FLastSample = 0;
  bool FAlarmScenario, FDrop, FLate;
  std::vector<TFaultKind> FFaults;
  int FFaultEvery = 0;
  uint64_t FAnswers = 0;
  size_t FFaultIndex = 0;
};

}  // namespace tessaro::sim
