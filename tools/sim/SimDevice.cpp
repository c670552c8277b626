#include "tools/sim/SimDevice.h"

#include <algorithm>
#include <cmath>

namespace tessaro::sim {

namespace {
// Rated output of every simulated unit: 30 kVA, 220 V per phase.
constexpr double RatedPhaseCurrent = 30000.0 / 3.0 / 220.0;  // A at 100 % load
constexpr double BackupMinutesAtHalfLoad = 30.0;             // full battery, 50 % load

// Holding registers 40001.. as the device leaves the factory (the device
// table names the meaning of each).
constexpr uint16_t DefaultHolding[] = {
    0,      // 40001 reserved
    1,      // 40002 SysId
    0,      // 40003
    0,      // 40004 WorkMode: normal
    220,    // 40005 VoltLevel, V
    50,     // 40006 FreqLevel, Hz
    1,      // 40007 ParallelNum
    0,      // 40008 RedundancyNum
    0,      // 40009
    0,      // 40010 reserved
    10,     // 40011 BypassFreqRange, %
    15,     // 40012 BypassVoltMax, %
    65516,  // 40013 BypassVoltMin, -20 %
    0,      // 40014 OutputVoltFine, 0.1 %
    32,     // 40015 BattNum: 12 V blocks, half on each side of the bus
    0,      // 40016
    1,      // 40017 BattGroup
    235,    // 40018 BoostVolt, 0.01 V per cell
    225,    // 40019 FloatVolt, 0.01 V per cell
    175,    // 40020 EodVolt, 0.01 V per cell
    100,    // 40021 BattCapAh
    5,      // 40022 PreAlarmTime, min
    10,     // 40023 MaxChargeCurr, A
    0,      // 40024 reserved
    120,    // 40025 BoostLastTime, min
    0,      // 40026 reserved
    0,      // 40027 ConfigFlags
    0,      // 40028
    0,      // 40029 OperationMode: normal
};

uint16_t Scaled(double value, double factor) {
  const double v = std::round(value * factor);
  return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}
}  // namespace

TSimDevice::TSimDevice(int address, uint64_t seed, const TSimOptions& options)
    : FAddress(address),
      FOptions(options),
      FRandom(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(address) * 0xD1B54A32D192ED03ull + 1),
      FAlarmScenario(options.AlarmDevices.count(address) > 0),
      FDrop(options.DropDevices.count(address) > 0),
      FLate(options.LateDevices.count(address) > 0) {
  for (double& load : FBaseLoad) load = 38.0 + 14.0 * (0.5 + Noise(0.5));  // 38..52 %
  std::copy(std::begin(DefaultHolding), std::end(DefaultHolding), FHolding.begin());
  if (options.FaultDevices.count(address)) {
    FFaults = options.Faults;
    FFaultEvery = options.FaultEvery;
  } else if (options.GarbleDevices.count(address)) {
    FFaults = {TFaultKind::Checksum};
    FFaultEvery = options.GarbleEvery;
  }
}

uint64_t TSimDevice::NextRandom() {
  // splitmix64: the same sequence on every platform.
  uint64_t z = (FRandom += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double TSimDevice::Noise(double amplitude) {
  const double unit = static_cast<double>(NextRandom() >> 11) / 9007199254740992.0;  // [0, 1)
  return (2.0 * unit - 1.0) * amplitude;
}

bool TSimDevice::Silent(double now) const {
  if (!FDrop || now < FOptions.DropAfter) return false;
  return FOptions.ReturnAfter < 0 || now < FOptions.ReturnAfter;
}

TLiveValues TSimDevice::Sample(double now) {
  TLiveValues v;
  if (FAlarmScenario) {
    const double t = FOptions.AlarmCycle > 0 ? std::fmod(now, FOptions.AlarmCycle) : now;
    v.MainsAlarm = t >= FOptions.AlarmAt && t < FOptions.ClearAt;
    v.OnBattery = t >= FOptions.BatteryAt && t < FOptions.ClearAt;
  }
  v.BattTest = !v.OnBattery && now < FBattTestUntil;
  v.OutputOff = FOutputOff;
  const bool discharging = v.OnBattery || v.BattTest;

  const bool mainsPresent = !v.OnBattery;
  for (double& x : v.InputVolt) x = mainsPresent ? 220.0 + Noise(1.5) : 0.0;
  v.InputFreq = mainsPresent ? 50.0 + Noise(0.1) : 0.0;
  const double outScale = 1.0 + static_cast<int16_t>(FHolding[40014 - HoldingFirst]) / 1000.0;
  const double outNominal = FHolding[40005 - HoldingFirst] * outScale;
  double loadSum = 0;
  for (int i = 0; i < 3; ++i) {
    v.OutputVolt[i] = v.OutputOff ? 0.0 : outNominal + Noise(0.5);
    v.Load[i] = v.OutputOff ? 0.0 : std::round(std::clamp(FBaseLoad[i] + Noise(3.0), 30.0, 60.0));
    v.OutputCurr[i] = v.Load[i] / 100.0 * RatedPhaseCurrent;
    loadSum += v.Load[i];
  }
  v.OutputFreq = v.OutputOff ? 0.0 : FHolding[40006 - HoldingFirst] + Noise(0.04);
  const double load = loadSum / 3.0;

  // Battery: discharges in about 30 min at 50 % load, recharges in about 30 min.
  const double dt = std::max(0.0, now - FLastSample);
  FLastSample = now;
  if (discharging) {
    FCapacity -= dt * 100.0 / (BackupMinutesAtHalfLoad * 60.0) * std::max(load, 5.0) / 50.0;
  } else {
    FCapacity += dt * 100.0 / (30.0 * 60.0);
  }
  FCapacity = std::clamp(FCapacity, 0.0, 100.0);
  v.Capacity = static_cast<int>(std::lround(FCapacity));
  v.BackupMin = std::round(FCapacity / 100.0 * BackupMinutesAtHalfLoad * 50.0 / std::max(load, 5.0) * 10.0) / 10.0;

  const double blocksPerSide = FHolding[40015 - HoldingFirst] / 2.0;
  double cellVolt = FHolding[40019 - HoldingFirst] / 100.0;  // float charge
  if (discharging) {
    const double eod = FHolding[40020 - HoldingFirst] / 100.0;
    cellVolt = eod + (2.10 - eod) * FCapacity / 100.0;
  }
  v.BattVoltPos = blocksPerSide * 6.0 * cellVolt + Noise(0.2);
  v.BattVoltNeg = blocksPerSide * 6.0 * cellVolt + Noise(0.2);
  if (discharging) {
    const double power = load / 100.0 * 30000.0;
    const double each = power / std::max(v.BattVoltPos + v.BattVoltNeg, 1.0);
    v.DischargeCurrPos = each + Noise(0.2);
    v.DischargeCurrNeg = each + Noise(0.2);
  } else {
    const double maxCharge = FHolding[40023 - HoldingFirst] / 2.0;
    const double charge = FCapacity < 99.5 ? maxCharge : 0.5;
    v.ChargeCurrPos = charge + Noise(0.1);
    v.ChargeCurrNeg = charge + Noise(0.1);
  }
  v.BattTemp = 25.0 + Noise(0.5);

  // Status words: online = m 0x0100, b 0x0600, CmmState1 bits 14 and 10.
  v.CmmState1 = bits::InputSwitchClosed | bits::RectifierOn;
  if (mainsPresent) v.CmmState1 |= bits::InputPresent | bits::MainsSupply;
  else v.CmmState1 |= bits::InputPresent;
  if (v.BattTest) v.CmmState1 = static_cast<uint16_t>((v.CmmState1 & ~bits::MainsSupply) | bits::BatteryTest);
  v.InvState1 = bits::BypassSwitchClosed | bits::OutputSwitchClosed;
  v.InvState1 |= v.OutputOff ? bits::InverterOff : (bits::InverterOn | bits::InverterSupplies);
  if (v.MainsAlarm) v.CmmAlarm2 |= bits::MainsVoltAbnormal;
  v.UpsState = v.OutputOff ? 2 : v.BattTest ? 6 : v.OnBattery ? 5 : 4;
  return v;
}

uint16_t TSimDevice::InputRegister(const TLiveValues& v, int reg) {
  switch (reg) {
    case 30001: case 30002: case 30003: return Scaled(v.InputVolt[reg - 30001], 10);
    case 30004: case 30005: case 30006: return Scaled(v.OnBattery ? 0 : v.OutputCurr[reg - 30004] * 1.05, 10);
    case 30007: return Scaled(v.InputFreq, 10);
    case 30011: case 30012: case 30013: return Scaled(v.OutputVolt[reg - 30011], 10);
    case 30014: return Scaled(v.OutputFreq, 10);
    case 30015: case 30016: case 30017: return Scaled(v.OutputCurr[reg - 30015], 10);
    case 30021: case 30022: case 30023: return Scaled(v.Load[reg - 30021], 1);
    case 30031: return Scaled(v.BattVoltPos, 10);
    case 30032: return Scaled(v.BattVoltNeg, 10);
    case 30033: return Scaled(v.ChargeCurrPos, 10);
    case 30034: return Scaled(v.ChargeCurrNeg, 10);
    case 30035: return Scaled(v.DischargeCurrPos, 10);
    case 30036: return Scaled(v.DischargeCurrNeg, 10);
    case 30037: return static_cast<uint16_t>(v.Capacity);
    case 30038: return Scaled(v.BackupMin, 1);
    case 30039: return Scaled(v.BattTemp, 10);
    case 30081: return v.UpsState;
    case 30082: return v.CmmState1;
    case 30083: return v.CmmState2;
    case 30084: return v.InvState1;
    case 30085: return v.InvState2;
    case 30086: return v.CmmAlarm1;
    case 30087: return v.CmmAlarm2;
    case 30088: return v.InvAlarm1;
    case 30089: return v.InvAlarm2;
    case 30090: return v.SysState;
    case 30091: return v.SysAlarm;
    default: return 0;
  }
}

bool TSimDevice::IsWritable(int reg) {
  return IsHoldingRegister(reg) || (reg >= 20001 && reg <= 20003) || reg == 50000;
}

void TSimDevice::Write(int reg, uint16_t value, double now) {
  if (IsHoldingRegister(reg)) {
    FHolding[static_cast<size_t>(reg - HoldingFirst)] = value;
  } else {
    // 20001..20003 are commands; 50000 (model unlock) has no effect here.
    if (reg == 20001 && value == 1) FOutputOff = false;  // remote on
    if (reg == 20002 && value == 1) FOutputOff = true;   // remote off
    if (reg == 20003) FBattTestUntil = value > 0 ? now + value : -1;
  }
}

std::optional<TFaultKind> TSimDevice::NextFault() {
  ++FAnswers;
  if (FFaults.empty() || FAnswers % static_cast<uint64_t>(FFaultEvery) != 0) return std::nullopt;
  return FFaults[FFaultIndex++ % FFaults.size()];
}

}  // namespace tessaro::sim
