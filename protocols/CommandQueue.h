#pragma once
// Pending write commands for the Modbus handler. The parameter dialog and the
// battery-test and remote on/off windows fill entries and set CommandValue /
// ParamImage; only TMModbus consumes them, in index order, before its next
// regular request. With the ASCII protocols the entries simply stay pending.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaro {

constexpr int CommandQueueSize = 10;
constexpr uint8_t CommandPending = 255;  // TCommandEntry::Pending: waiting
constexpr uint8_t CommandFree = 0;       // TCommandEntry::Pending: free

struct TCommandEntry {
  uint8_t Pending = CommandFree;  // 255 = waiting, 0 = free (any nonzero value counts as waiting)
  uint8_t Addr = 0;               // device address
  uint8_t Func = 0;               // Modbus function code (1..4, 6, 16 are built; others are dropped)
  int32_t Reg = 0;                // register in register-table numbering (20001, 40005, 50000 ...)
  int32_t Count = 0;              // register count, used by function 16 only
};

// The values that write requests send for holding registers 40002..40029: the
// layout of the device record's parameter block (TUpsInfo::SysId ..
// TUpsInfo::OperationMode), field for field with the same types.
struct TParamImage {
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

// The program-wide CommandQueue with the CommandValue and ParamImage that its
// write requests carry. Entries are addressed by index: the parameter dialog
// uses entry 0 (and 1 for "GDS7100"), the test and on/off windows entry 1.
struct TCommandQueue {
  std::array<TCommandEntry, CommandQueueSize> Entries{};
  uint16_t CommandValue = 0;  // value written to the command registers 20001..20003
  TParamImage ParamImage{};

  TCommandEntry& operator[](int index) { return Entries[static_cast<std::size_t>(index)]; }
  const TCommandEntry& operator[](int index) const { return Entries[static_cast<std::size_t>(index)]; }
};

}  // namespace tessaro
