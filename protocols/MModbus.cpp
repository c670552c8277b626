#include "protocols/MModbus.h"

#include "core/Catalogue.h"

namespace tessaro {

namespace {

uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }

// Register-table number to wire address: number - 1, low 16 bits (no signed overflow).
uint16_t WireAddress(int32_t reg) {
  return static_cast<uint16_t>(static_cast<uint32_t>(reg) - 1u);
}

constexpr int MinFrameLen = 4;  // address, function, CRC (2)

}  // namespace

TMModbus::TMModbus(const TProtocolEnv& env, TCommandQueue& queue, const std::string& selectedModel)
    : FEnv(env), FTxBuf(env.Vars.TxBuf.data()), FQueue(queue), FSelectedModel(selectedModel) {}

TUpsInfo* TMModbus::Record() {
  if (DevAddr > MaxAddress) return nullptr;
  return &FEnv.UpsInfo[DevAddr];
}

uint16_t TMModbus::Crc16(const uint8_t* bytes, int count) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      if (crc & 1u)
        crc = static_cast<uint16_t>((crc >> 1) ^ 0xA001u);
      else
        crc = static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

void TMModbus::NextRequest() {
  TPollVars& vars = FEnv.Vars;

  // 1. Device search: one fixed probe to SearchAddr (even when paused).
  if (vars.SearchMode != 0) {
    DevAddr = vars.SearchAddr;
    SlaveAddr = vars.SearchAddr;
    FuncCode = SearchProbe.Func;
    StartReg = SearchProbe.Reg;
    RegCount = SearchProbe.Count;
    BuildFrame();
    return;
  }

  // 2. Manual mode of the trace window: nothing is built.
  if (vars.Paused != 0) {
    FrameLen = 0;
    return;
  }

  // 3. The first pending write command, in index order; the cycle position stays.
  for (TCommandEntry& entry : FQueue.Entries) {
    if (entry.Pending == CommandFree) continue;
    entry.Pending = CommandFree;
    SlaveAddr = entry.Addr;
    FuncCode = entry.Func;
    StartReg = entry.Reg;
    RegCount = entry.Count;
    FEnv.DeviceList.CurAddr = entry.Addr;
    DevAddr = entry.Addr;
    BuildFrame();
    return;
  }

  // 4. Cycle length of the device of the previous request. An address without a
  //    slot in the device table (only reachable through a search or a queued
  //    command beyond 252) is treated as lost.
  const TUpsInfo* previous = Record();
  const bool lost = previous == nullptr || previous->CommState == 2;
  vars.StepCount = lost ? 1 : (FSelectedModel == ModelRxa410Lt ? 5 : 4);

  // 5. Advance; past the end of the cycle move to the next device.
  int step = vars.PollStep + 1;  // int: a PollStep of 255 does not wrap to 0
  if (step > vars.StepCount) {
    step = 1;
    FEnv.DeviceList.NextPollAddress();
    DevAddr = FEnv.DeviceList.CurAddr;
  }
  vars.PollStep = static_cast<uint8_t>(step);

  const TCycleStep& request = CycleSteps[step - 1];
  SlaveAddr = static_cast<uint8_t>(DevAddr);
  FuncCode = request.Func;
  StartReg = request.Reg;
  RegCount = request.Count;

  // 6.
  BuildFrame();
}

void TMModbus::BuildFrame() {
  FrameLen = 0;
  uint8_t* tx = FTxBuf;
  const uint16_t wireReg = WireAddress(StartReg);

  switch (FuncCode) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6: {
      const uint16_t word = FuncCode == 6 ? WriteValueOf(StartReg) : static_cast<uint16_t>(RegCount);
      tx[0] = SlaveAddr;
      tx[1] = FuncCode;
      tx[2] = Hi(wireReg);
      tx[3] = Lo(wireReg);
      tx[4] = Hi(word);
      tx[5] = Lo(word);
      const uint16_t crc = Crc16(tx, 6);
      tx[6] = Lo(crc);
      tx[7] = Hi(crc);
      FrameLen = 8;
      return;
    }
    case 16: {
      const uint16_t n = static_cast<uint16_t>(RegCount);
      const int length = 9 + 2 * static_cast<int>(n);
      // Nothing queues function 16 today; a frame too long for the transmit
      // buffer is refused rather than written past its end.
      if (length > TxBufSize) return;
      tx[0] = SlaveAddr;
      tx[1] = 16;
      tx[2] = Hi(wireReg);
      tx[3] = Lo(wireReg);
      tx[4] = Hi(n);
      tx[5] = Lo(n);
      tx[6] = static_cast<uint8_t>(2 * n);
      for (int i = 0; i < n; ++i) {
        const uint16_t value = WriteValueOf(static_cast<int64_t>(StartReg) + i);
        tx[7 + 2 * i] = Hi(value);
        tx[8 + 2 * i] = Lo(value);
      }
      const uint16_t crc = Crc16(tx, length - 2);
      tx[length - 2] = Lo(crc);
      tx[length - 1] = Hi(crc);
      FrameLen = length;
      return;
    }
    default:
      return;  // unsupported function: nothing to send
  }
}

uint16_t TMModbus::WriteValueOf(int64_t reg) const {
  const TParamImage& p = FQueue.ParamImage;
  switch (reg) {
    case 20001:
    case 20002:
    case 20003: return FQueue.CommandValue;
    case 40002: return p.SysId;
    case 40003: return p.ParamReg40003;
    case 40004: return static_cast<uint16_t>(p.WorkMode);
    case 40005: return p.VoltLevel;
    case 40006: return p.FreqLevel;
    case 40007: return p.ParallelNum;
    case 40008: return p.RedundancyNum;
    case 40009: return p.ParamReg40009;
    case 40011: return p.BypassFreqRange;
    case 40012: return p.BypassVoltMax;
    case 40013: return static_cast<uint16_t>(p.BypassVoltMin);
    case 40014: return p.OutputVoltFine;
    case 40015: return p.BattNum;
    case 40016: return p.ParamReg40016;
    case 40017: return p.BattGroup;
    case 40018: return p.BoostVolt;
    case 40019: return p.FloatVolt;
    case 40020: return p.EodVolt;
    case 40021: return p.BattCapAh;
    case 40022: return p.PreAlarmTime;
    case 40023: return p.MaxChargeCurr;
    case 40025: return p.BoostLastTime;
    case 40027: return p.ConfigFlags;
    case 40029: return p.OperationMode;
    case 50000: return 30;
    default: return 0;  // including 40001, 40010, 40024, 40026, 40028
  }
}

void TMModbus::StoreRegister(int64_t reg, uint16_t value) {
  TUpsInfo* record = Record();
  if (record == nullptr) return;
  TUpsInfo& u = *record;
  TMeasureBlock& m = u.Measure;
  TStatusBlock& s = u.Status;
  const double scaled = value * 0.1;
  const uint8_t low8 = static_cast<uint8_t>(value & 0xFF);

  switch (reg) {
    case 30001: m.InputVoltA = scaled; break;
    case 30002: m.InputVoltB = scaled; break;
    case 30003: m.InputVoltC = scaled; break;
    case 30011: m.OutputVoltA = scaled; break;
    case 30012: m.OutputVoltB = scaled; break;
    case 30013: m.OutputVoltC = scaled; break;
    case 30014: m.OutputFreq = scaled; break;
    case 30021: m.LoadA = value; break;
    case 30022: m.LoadB = value; break;
    case 30023: m.LoadC = value; break;
    case 30031: u.BattVoltPos = scaled; break;
    case 30032:
      u.BattVoltNeg = scaled;
      m.DcInputVolt = u.BattVoltPos + u.BattVoltNeg;
      break;
    case 30033: u.ChargeCurrPos = scaled; break;
    case 30034:
      u.ChargeCurrNeg = scaled;
      m.BattChargeCurr = u.ChargeCurrPos + u.ChargeCurrNeg;
      break;
    case 30035: u.DischargeCurrPos = scaled; break;
    case 30036:
      u.DischargeCurrNeg = scaled;
      m.BattDischargeCurr = u.DischargeCurrPos + u.DischargeCurrNeg;
      break;
    case 30037: m.BattCapacity = value; break;
    case 30038: m.BattBackupTime = value; break;

    case 30081: s.UpsState = low8; break;
    case 30082: s.CmmState1 = value; break;
    case 30083: s.CmmState2 = value; break;
    case 30084: s.InvState1 = value; break;
    case 30085: s.InvState2 = value; break;
    case 30086: s.CmmAlarm1 = value; break;
    case 30087: s.CmmAlarm2 = value; break;
    case 30088: s.InvAlarm1 = value; break;
    case 30089: s.InvAlarm2 = value; break;
    case 30090: s.SysState = value; break;
    case 30091: s.SysAlarm = value; break;

    case 40002: u.Params.SysId = low8; break;
    case 40003: u.Params.ParamReg40003 = low8; break;
    case 40004: u.Params.WorkMode = value; break;
    case 40005: u.Params.VoltLevel = low8; break;
    case 40006: u.Params.FreqLevel = low8; break;
    case 40007: u.Params.ParallelNum = low8; break;
    case 40008: u.Params.RedundancyNum = low8; break;
    case 40009: u.Params.ParamReg40009 = low8; break;
    case 40011: u.Params.BypassFreqRange = low8; break;
    case 40012: u.Params.BypassVoltMax = low8; break;
    case 40013: u.Params.BypassVoltMin = static_cast<int16_t>(value); break;
    case 40014: u.Params.OutputVoltFine = value; break;
    case 40015: u.Params.BattNum = value; break;
    case 40016: u.Params.ParamReg40016 = value; break;
    case 40017: u.Params.BattGroup = value; break;
    case 40018: u.Params.BoostVolt = value; break;
    case 40019: u.Params.FloatVolt = value; break;
    case 40020: u.Params.EodVolt = value; break;
    case 40021: u.Params.BattCapAh = value; break;
    case 40022: u.Params.PreAlarmTime = value; break;
    case 40023: u.Params.MaxChargeCurr = value; break;
    case 40025: u.Params.BoostLastTime = value; break;
    case 40027: u.Params.ConfigFlags = value; break;
    case 40028: u.Params.ParamReg40028 = value; break;
    case 40029: u.Params.OperationMode = low8; break;
    default: return;  // not in the register map
  }

  if (reg >= 30081 && reg <= 30091) {
    u.StateCode = ComputeStateCode(s);
    s.StateValid = 1;
  }
}

bool TMModbus::ParseAnswer(const uint8_t* bytes, int length) {
  // One whole frame is at least address, function and CRC.
  if (bytes == nullptr || length < MinFrameLen) return false;
  // 1. Only the addressed device may answer.
  if (bytes[0] != DevAddr) return false;
  // 2. The chunk must be exactly one frame with a good CRC (this also rejects two
  //    frames or trailing bytes in one chunk) ...
  if (Crc16(bytes, length) != 0) return false;
  // ... but a complete frame followed by zero bytes still leaves the CRC at 0, so
  //    the length must also be the one the frame's own layout gives.
  if (!HasFrameLength(bytes, length)) return false;
  // An address without a slot in the device table cannot be accepted (the
  // engine would count the success on that slot).
  TUpsInfo* record = Record();
  if (record == nullptr) return false;

  // 3. Device search: any well-formed answer of the probed address counts as found.
  if (FEnv.Vars.SearchMode != 0) return true;

  // 4. Read answer: decode from StartReg (the function byte is not compared with
  //    the request's).
  const uint8_t func = bytes[1];
  if (func == 3 || func == 4) {
    const int n = bytes[2] / 2;  // whole registers; an odd last byte is ignored
    for (int i = 0; i < n; ++i) {
      StoreRegister(static_cast<int64_t>(StartReg) + i,
                    static_cast<uint16_t>(bytes[3 + 2 * i] << 8 | bytes[4 + 2 * i]));
    }
    DeriveSwitches(*record);
    BuildAlarmList(*record);
    return n == RegCount;  // the values are stored in either case
  }
  // 5. Write echo (bit 7 clear) or exception answer (bit 7 set).
  return (func & 0x80) == 0;
}

bool TMModbus::HasFrameLength(const uint8_t* bytes, int length) {
  const uint8_t func = bytes[1];
  if (func & 0x80) return length == 5;  // address, function, exception code, CRC
  switch (func) {
    case 1:
    case 2:
    case 3:
    case 4:  // address, function, byte count, data, CRC
      return length >= 5 && length == 5 + bytes[2];
    case 5:
    case 6:
    case 15:
    case 16:  // echo: address, function, register (2), value or count (2), CRC
      return length == 8;
    default:  // layout unknown: the CRC alone decides
      return true;
  }
}

}  // namespace tessaro
