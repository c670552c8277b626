#pragma once
// The device table: one TUpsInfo record per bus address 0..252, and the link
// bookkeeping that the poll engine runs on it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace tessaro {

constexpr int MaxAddress = 252;
constexpr int SlotCount = MaxAddress + 1;
constexpr int MaxAlarms = 80;

// Copied byte for byte into bytes 16..127 of every data log record.
struct TMeasureBlock {
  double InputVoltA;
  double InputVoltB;
  double InputVoltC;
  double OutputVoltA;
  double OutputVoltB;
  double OutputVoltC;
  double LoadA;
  double LoadB;
  double LoadC;
  double OutputFreq;
  double DcInputVolt;
  int32_t BattCapacity;
  uint16_t BattBackupTime;
  uint8_t Pad94[2];
  double BattChargeCurr;
  double BattDischargeCurr;
};
static_assert(std::is_standard_layout_v<TMeasureBlock> && std::is_trivially_copyable_v<TMeasureBlock>);
static_assert(sizeof(TMeasureBlock) == 112);
static_assert(offsetof(TMeasureBlock, OutputVoltA) == 24);
static_assert(offsetof(TMeasureBlock, LoadA) == 48);
static_assert(offsetof(TMeasureBlock, OutputFreq) == 72);
static_assert(offsetof(TMeasureBlock, DcInputVolt) == 80);
static_assert(offsetof(TMeasureBlock, BattCapacity) == 88);
static_assert(offsetof(TMeasureBlock, BattBackupTime) == 92);
static_assert(offsetof(TMeasureBlock, BattChargeCurr) == 96);
static_assert(offsetof(TMeasureBlock, BattDischargeCurr) == 104);

// Copied byte for byte into bytes 18..43 of every device event record.
#pragma pack(push, 1)
struct TStatusBlock {
  uint16_t CmmState1;
  uint16_t CmmState2;
  uint16_t CmmAlarm1;
  uint16_t CmmAlarm2;
  uint16_t InvState1;
  uint16_t InvState2;
  uint16_t InvAlarm1;
  uint16_t InvAlarm2;
  uint16_t SysState;
  uint16_t SysAlarm;
  uint8_t UpsState;
  uint8_t Reserved[4];
  uint8_t StateValid;
};
#pragma pack(pop)
static_assert(std::is_standard_layout_v<TStatusBlock> && std::is_trivially_copyable_v<TStatusBlock>);
static_assert(sizeof(TStatusBlock) == 26);
static_assert(offsetof(TStatusBlock, SysState) == 16);
static_assert(offsetof(TStatusBlock, UpsState) == 20);
static_assert(offsetof(TStatusBlock, StateValid) == 25);

// The device parameters as last read from holding registers 40002..40029; the
// Modbus write requests send the same block (TParamImage).
struct TDeviceParams {
  uint8_t SysId = 0;
  uint8_t ParamReg40003 = 0;
  int32_t WorkMode = 0;
  uint8_t VoltLevel = 0;
  uint8_t FreqLevel = 0;
  uint8_t ParallelNum = 0;
  uint8_t RedundancyNum = 0;
  uint8_t ParamReg40009 = 0;
  uint8_t BypassFreqRange = 0;
  uint8_t BypassVoltMax = 0;
  int16_t BypassVoltMin = 0;
  uint16_t OutputVoltFine = 0;
  uint16_t BattNum = 0;
  uint16_t ParamReg40016 = 0;
  uint16_t BattGroup = 0;
  uint16_t BoostVolt = 0;
  uint16_t FloatVolt = 0;
  uint16_t EodVolt = 0;
  uint16_t BattCapAh = 0;
  uint16_t PreAlarmTime = 0;
  uint16_t MaxChargeCurr = 0;
  uint16_t BoostLastTime = 0;
  uint16_t ConfigFlags = 0;
  uint16_t ParamReg40028 = 0;
  uint8_t OperationMode = 0;
};

struct TUpsInfo {
  // Link bookkeeping
  uint8_t Address = 0;
  uint8_t CommState = 2;  // 0 communicating, 1 error, 2 lost
  int32_t FailStreak = 0;
  int32_t TotalCount = 0;
  int32_t ReceiveCount = 0;
  int32_t SuccessCount = 0;
  int32_t SuccessRate = 0;

  TMeasureBlock Measure{};

  // Switches and supply path
  uint8_t InputSwitch = 0;
  uint8_t OutputSwitch = 0;
  uint8_t BypassSwitch = 0;
  uint8_t MaintSwitch = 0;
  uint8_t BattTestFlag = 0;
  uint8_t InputSupply = 0;  // 0 none, 1 mains, 2 battery
  uint8_t UpsSupply = 0;    // 0 none, 1 inverter, 2 bypass

  int32_t StateCode = -1;
  int32_t LastStateCode = -1;
  // Current and previous alarm lists; each code array goes with its count as
  // one unit and is replaced as a whole.
  std::array<int32_t, MaxAlarms> AlarmCodes{};
  uint8_t AlarmCount = 0;
  std::array<int32_t, MaxAlarms> PrevAlarmCodes{};
  uint8_t PrevAlarmCount = 0;

  // Device parameters from holding registers 40002..40029
  TDeviceParams Params;

  // Battery group values
  double BattVoltPos = 0;
  double BattVoltNeg = 0;
  double ChargeCurrPos = 0;
  double ChargeCurrNeg = 0;
  double DischargeCurrPos = 0;
  double DischargeCurrNeg = 0;

  TStatusBlock Status{};

  // In memory only, for the freshness rule (core/Freshness.h): the request
  // cycle steps whose values have been decoded since the link was last reset
  // (bit n-1 = step n), and the monotonic time of the last accepted answer.
  uint32_t DecodedSteps = 0;
  std::optional<int64_t> LastAnswerMs;
};

using TUpsInfoTable = std::array<TUpsInfo, SlotCount>;

// Device event types understood by the event log (LogDeviceEvent).
enum TDeviceEventType : uint8_t {
  DevEventEstablished = 2,  // code 22
  DevEventLost = 3,         // code 18
  DevEventRecovered = 4,    // code 23
  DevEventError = 5,        // code 19
  DevEventStateChange = 6,  // kind 1, the device's StateCode
};

// Where the link bookkeeping sends its device events (the event log in the
// program, a recorder in tests).
class TDeviceEventSink {
 public:
  virtual ~TDeviceEventSink() = default;
  virtual bool LogDeviceEvent(uint8_t type, uint8_t address) = 0;
};

// The bit of a cycle step (1..32) in DecodedSteps; 0 for any other step.
constexpr uint32_t StepBit(int step) { return step >= 1 && step <= 32 ? uint32_t{1} << (step - 1) : 0; }
// Called by a handler once the answer to cycle step `step` is decoded.
inline void MarkStepDecoded(TUpsInfo& info, int step) { info.DecodedSteps |= StepBit(step); }

void InitDeviceTable(TUpsInfoTable& table);
void LinkFailed(TUpsInfo& info, TDeviceEventSink& events);
void LinkSucceeded(TUpsInfo& info, TDeviceEventSink& events);
void CountReceive(TUpsInfo& info);
void LinkReset(TUpsInfo& info);
void ResetAllLinks(TUpsInfoTable& table);
void ClearLiveValues(TUpsInfo& info);

}  // namespace tessaro
