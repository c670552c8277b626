#include "protocols/MModbus.h"

#include <algorithm>

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

int TMModbus::CycleSteps() const { return FSelectedModel == ModelRxa410Lt ? 5 : 4; }

TRequest TMModbus::CycleRequest(uint16_t addr, int step) const {
  step = std::clamp(step, 1, 5);
  const TCycleStep& s = CycleTable[step - 1];
  TRequest r = BuildRequest(addr, s.Func, s.Reg, s.Count);
  r.Step = static_cast<uint8_t>(step);
  return r;
}

// Steps 4 and 5 read settings, which the user-settings view shows; a device
// that refuses them still has every live value served and logged.
uint32_t TMModbus::RequiredSteps() const { return StepBit(1) | StepBit(2) | StepBit(3); }

// Voltages and frequency; loads, battery values, capacity and backup time.
uint32_t TMModbus::MeasureSteps() const { return StepBit(1) | StepBit(2); }

TRequest TMModbus::SearchRequest(uint16_t addr) const {
  TRequest r = BuildRequest(addr, SearchProbe.Func, SearchProbe.Reg, SearchProbe.Count);
  r.Probe = true;
  return r;
}

TRequest TMModbus::CommandRequest(const TWriteCommand& command) const {
  return BuildRequest(command.Addr, command.Func, command.Reg, command.Count, command);
}

TRequest TMModbus::BuildRequest(uint16_t addr, uint8_t func, int32_t reg, int32_t count,
                                const TWriteCommand& values) {
  TRequest r;
  r.Addr = addr;
  r.Func = func;
  r.Reg = reg;
  r.Count = count;
  uint8_t* tx = r.Frame.data();
  const uint8_t slave = static_cast<uint8_t>(addr);
  const uint16_t wireReg = WireAddress(reg);

  switch (func) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6: {
      const uint16_t word = func == 6 ? WriteValueOf(values, reg) : static_cast<uint16_t>(count);
      tx[0] = slave;
      tx[1] = func;
      tx[2] = Hi(wireReg);
      tx[3] = Lo(wireReg);
      tx[4] = Hi(word);
      tx[5] = Lo(word);
      const uint16_t crc = Crc16(tx, 6);
      tx[6] = Lo(crc);
      tx[7] = Hi(crc);
      r.FrameLen = 8;
      // Read answers: address, function, byte count, data, CRC; a write is echoed.
      if (func == 6)
        r.AnswerLen = 8;
      else if (func <= 2)
        r.AnswerLen = 5 + (static_cast<uint16_t>(count) + 7) / 8;
      else
        r.AnswerLen = 5 + 2 * static_cast<uint16_t>(count);
      // A byte count above 255 cannot be answered in one frame.
      if (r.AnswerLen > 5 + 255) r.AnswerLen = 0;
      return r;
    }
    case 16: {
      const uint16_t n = static_cast<uint16_t>(count);
      const int length = 9 + 2 * static_cast<int>(n);
      // Nothing queues function 16 today; a frame too long for the transmit
      // buffer is refused rather than written past its end.
      if (length > TxBufSize) return r;
      tx[0] = slave;
      tx[1] = 16;
      tx[2] = Hi(wireReg);
      tx[3] = Lo(wireReg);
      tx[4] = Hi(n);
      tx[5] = Lo(n);
      tx[6] = static_cast<uint8_t>(2 * n);
      for (int i = 0; i < n; ++i) {
        const uint16_t value = WriteValueOf(values, static_cast<int64_t>(reg) + i);
        tx[7 + 2 * i] = Hi(value);
        tx[8 + 2 * i] = Lo(value);
      }
      const uint16_t crc = Crc16(tx, length - 2);
      tx[length - 2] = Lo(crc);
      tx[length - 1] = Hi(crc);
      r.FrameLen = length;
      r.AnswerLen = 8;
      return r;
    }
    default:
      return r;  // unsupported function: nothing to send
  }
}

uint16_t TMModbus::WriteValueOf(const TWriteCommand& values, int64_t reg) {
  const TDeviceParams& p = values.ParamImage;
  switch (reg) {
    case 20001:
    case 20002:
    case 20003: return values.CommandValue;
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

void TMModbus::StoreRegister(TUpsInfo& u, int64_t reg, uint16_t value) {
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

TModbusCheck CheckModbusAnswer(const TRequest& request, std::span<const uint8_t> answer) {
  const int length = static_cast<int>(answer.size());
  if (request.FrameLen == 0) return TModbusCheck::NoRequest;
  if (length < MinFrameLen) return TModbusCheck::TooShort;
  const uint8_t* bytes = answer.data();
  if (bytes[0] != static_cast<uint8_t>(request.Addr)) return TModbusCheck::WrongAddress;
  // One frame with a good CRC: this also refuses two frames or trailing bytes.
  if (TMModbus::Crc16(bytes, length) != 0) return TModbusCheck::BadCrc;
  const uint8_t func = bytes[1];
  if (func == (request.Func | 0x80)) return length == 5 ? TModbusCheck::Accepted : TModbusCheck::BadLength;
  if (func != request.Func) return TModbusCheck::WrongFunction;
  if (length != request.AnswerLen) return TModbusCheck::BadLength;
  switch (func) {
    case 6:   // the echo is the request itself
    case 16:  // address, function, register, count
      return std::equal(bytes, bytes + 6, request.Frame.begin()) ? TModbusCheck::Accepted : TModbusCheck::WrongEcho;
    default:  // reads: the byte count asked for
      return bytes[2] == request.AnswerLen - 5 ? TModbusCheck::Accepted : TModbusCheck::BadByteCount;
  }
}

bool TMModbus::Matches(const TRequest& request, std::span<const uint8_t> answer, TPollStats&) const {
  return CheckModbusAnswer(request, answer) == TModbusCheck::Accepted;
}

bool TMModbus::Decode(const TRequest& request, std::span<const uint8_t> answer, TUpsInfo& record) {
  const uint8_t func = answer[1];
  // During a device search any answer of the probed address counts as found.
  if (request.Probe) return true;
  if (func & 0x80) return false;
  if (func == 3 || func == 4) {
    const int n = answer[2] / 2;
    for (int i = 0; i < n; ++i) {
      StoreRegister(record, static_cast<int64_t>(request.Reg) + i,
                    static_cast<uint16_t>(answer[3 + 2 * i] << 8 | answer[4 + 2 * i]));
    }
    DeriveSwitches(record);
    BuildAlarmList(record);
    MarkStepDecoded(record, request.Step);
  }
  return true;
}

std::optional<uint8_t> TMModbus::RefusalCode(std::span<const uint8_t> answer) const {
  // address, function | 0x80, exception code, CRC (2)
  if (answer.size() != 5 || !(answer[1] & 0x80)) return std::nullopt;
  return answer[2];
}

}  // namespace tessaro
