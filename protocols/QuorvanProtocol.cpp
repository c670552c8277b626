#include "protocols/QuorvanProtocol.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "core/Catalogue.h"
#include "protocols/FuncUnit.h"

namespace tessaro {

namespace {

constexpr int FloatWidth = 8;

// The device reports line-to-line input voltages; dividing by √3 in extended
// precision stores phase voltages (380.0 → 219.39).
const long double Sqrt3 = std::sqrt(3.0L);

// A float field; PhaseOfLine divides it by √3.
struct TFloatRow {
  int Pos;
  double TMeasureBlock::*Field;
  bool PhaseOfLine;
};

template <std::size_t N>
void StoreFloats(std::string_view frame, TMeasureBlock& m, const TFloatRow (&rows)[N]) {
  for (const auto& row : rows) {
    if (!AsciiFieldWithin(frame, row.Pos, FloatWidth)) continue;
    const double value = HexToSingle(frame, static_cast<std::size_t>(row.Pos));
    m.*row.Field = row.PhaseOfLine ? static_cast<double>(static_cast<long double>(value) / Sqrt3) : value;
  }
}

// Answer to 41, analog values as floats (a, b, c input line voltages; A, B, C
// output voltages; D DC input voltage; F output frequency):
//                                                                                                       1
//   0         1         2         3         4         5         6         7         8         9         0
//   0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012
//   ~VVAAC1RTLLLL..aaaaaaaabbbbbbbbccccccccAAAAAAAABBBBBBBBCCCCCCCC........................DDDDDDDDFFFFFFFF
constexpr TFloatRow AnalogRows[] = {
    {.Pos = 15, .Field = &TMeasureBlock::InputVoltA, .PhaseOfLine = true},
    {.Pos = 23, .Field = &TMeasureBlock::InputVoltB, .PhaseOfLine = true},
    {.Pos = 31, .Field = &TMeasureBlock::InputVoltC, .PhaseOfLine = true},
    {.Pos = 39, .Field = &TMeasureBlock::OutputVoltA, .PhaseOfLine = false},
    {.Pos = 47, .Field = &TMeasureBlock::OutputVoltB, .PhaseOfLine = false},
    {.Pos = 55, .Field = &TMeasureBlock::OutputVoltC, .PhaseOfLine = false},
    {.Pos = 87, .Field = &TMeasureBlock::DcInputVolt, .PhaseOfLine = false},
    {.Pos = 95, .Field = &TMeasureBlock::OutputFreq, .PhaseOfLine = false},
};

// Answer to E2, loads in % (a, b, c), characters 113 to 136:
//          2         3
//   345678901234567890123456
//   aaaaaaaabbbbbbbbcccccccc
constexpr TFloatRow LoadRows[] = {
    {.Pos = 113, .Field = &TMeasureBlock::LoadA, .PhaseOfLine = false},
    {.Pos = 121, .Field = &TMeasureBlock::LoadB, .PhaseOfLine = false},
    {.Pos = 129, .Field = &TMeasureBlock::LoadC, .PhaseOfLine = false},
};

// Answer to E3: backup time in minutes as a float at 113..120.
constexpr int BackupTimePos = 113;

// Answer to 43, two-character codes compared as text (upper case only):
// U UpsSupply, T BattTestFlag, I InputSupply, S InputSwitch, M MaintSwitch,
// B BypassSwitch, O OutputSwitch.
//   0         1         2         3
//   0123456789012345678901234567890123456
//   ~VVAAC1RTLLLL..UU..TT....II..SSMMBBOO
struct TCode {
  std::string_view Text;  // empty = unused place
  uint8_t Value;
};
struct TCodeRow {
  int Pos;
  uint8_t TUpsInfo::*Field;
  std::array<TCode, 3> Codes;
  int Other;  // value for an unlisted code; -1 leaves the field unchanged
};
constexpr int Unchanged = -1;
constexpr std::array<TCode, 3> SwitchCodes = {{{"E0", 0}, {"E1", 1}, {}}};
constexpr TCodeRow StatusRows[] = {
    {.Pos = 15, .Field = &TUpsInfo::UpsSupply, .Codes = {{{"01", 1}, {"02", 2}, {"E9", 0}}}, .Other = Unchanged},
    {.Pos = 19, .Field = &TUpsInfo::BattTestFlag, .Codes = {{{"E0", 1}, {}, {}}}, .Other = 0},
    {.Pos = 25, .Field = &TUpsInfo::InputSupply, .Codes = {{{"E0", 1}, {"E1", 2}, {"E3", 0}}}, .Other = Unchanged},
    {.Pos = 29, .Field = &TUpsInfo::InputSwitch, .Codes = SwitchCodes, .Other = Unchanged},
    {.Pos = 31, .Field = &TUpsInfo::MaintSwitch, .Codes = SwitchCodes, .Other = Unchanged},
    {.Pos = 33, .Field = &TUpsInfo::BypassSwitch, .Codes = SwitchCodes, .Other = Unchanged},
    {.Pos = 35, .Field = &TUpsInfo::OutputSwitch, .Codes = SwitchCodes, .Other = Unchanged},
};

// Answer to 44: bytes b0..b6 at 15..28 (b6 unused), then 56 alarm bytes
// j = 0..55 at 31 + 2j (characters 31 to 142), each a hex pair.
constexpr int SummaryPos = 15;
constexpr int AlarmBytePos = 31;
constexpr int AlarmByteCount = 56;

// An alarm byte: HexToInt of the pair at pos, 0 when it lies beyond the frame.
int AlarmByte(std::string_view frame, int pos) {
  return AsciiFieldWithin(frame, pos, 2) ? HexToInt(AsciiChars(frame, pos, 2), 2) : 0;
}

// A float rounded to the nearest integer, halves to even, kept to 16 bits. A
// value outside the 64-bit range (or not a number) gives the integer
// indefinite 0x8000000000000000 of the x87 conversion, whose low 16 bits are 0.
uint16_t RoundToWord(double value) {
  const double r = std::nearbyint(value);  // default rounding mode: to nearest, ties to even
  if (!std::isfinite(r) || std::fabs(r) >= 9223372036854775808.0) return 0;
  return static_cast<uint16_t>(static_cast<uint64_t>(static_cast<int64_t>(r)));
}

}  // namespace

bool TQuorvanProtocol::DecodeStep(int step, std::string_view frame, TUpsInfo& record) {
  switch (step) {
    case 1: DecodeAnalog(frame, record); return true;
    case 2: return DecodeStatus(frame, record);
    case 3: return DecodeAlarms(frame, record);
    case 4: DecodeLoads(frame, record); return true;
    case 5: DecodeBackup(frame, record); return true;
    default: return false;
  }
}

void TQuorvanProtocol::DecodeAnalog(std::string_view frame, TUpsInfo& rec) { StoreFloats(frame, rec.Measure, AnalogRows); }

bool TQuorvanProtocol::DecodeStatus(std::string_view frame, TUpsInfo& rec) {
  if (rec.SuccessCount < StatusGate) return false;
  for (const TCodeRow& row : StatusRows) {
    if (!AsciiFieldWithin(frame, row.Pos, 2)) continue;
    const std::string_view code = AsciiChars(frame, row.Pos, 2);
    int value = row.Other;
    for (const TCode& c : row.Codes) {
      if (!c.Text.empty() && c.Text == code) {
        value = c.Value;
        break;
      }
    }
    if (value != Unchanged) rec.*row.Field = static_cast<uint8_t>(value);
  }
  rec.StateCode = PowerFreqStateCode(rec);
  rec.Status.StateValid = 1;
  return true;
}

bool TQuorvanProtocol::DecodeAlarms(std::string_view frame, TUpsInfo& rec) {
  if (rec.SuccessCount < StatusGate) return false;

  std::array<int32_t, MaxAlarms> codes{};
  uint8_t count = 0;
  for (int j = 0; j < AlarmByteCount; ++j) {
    const int byte = AlarmByte(frame, AlarmBytePos + 2 * j);
    if (j == 35) {
      if (byte == 0xF1) codes[count++] = 135;
    } else if (j == 48) {
      // BCB: absence (0) is the alarm 148; 0xF1 is "BCB Break".
      if (byte == 0) codes[count++] = 148;
      else if (byte == 0xF1) codes[count++] = 160;
    } else if (byte != 0) {
      codes[count++] = 100 + j;
    }
  }
  int b[6];
  for (int k = 0; k < 6; ++k) b[k] = AlarmByte(frame, SummaryPos + 2 * k);
  for (int k = 0; k < 5; ++k) {
    if (b[k] != 0) codes[count++] = 201 + k;
  }
  if (b[5] != 0) {
    switch (b[5]) {
      case 0x01: codes[count++] = 206; break;
      case 0x02: codes[count++] = 207; break;
      case 0xF0: codes[count++] = 208; break;
      case 0xE1: codes[count++] = 209; break;
      default: codes[count++] = 210; break;
    }
  }
  // At most 54 + 1 + 1 + 5 + 1 = 62 codes.
  rec.AlarmCodes = codes;
  rec.AlarmCount = count;
  return true;
}

void TQuorvanProtocol::DecodeLoads(std::string_view frame, TUpsInfo& rec) { StoreFloats(frame, rec.Measure, LoadRows); }

void TQuorvanProtocol::DecodeBackup(std::string_view frame, TUpsInfo& rec) {
  if (AsciiFieldWithin(frame, BackupTimePos, FloatWidth))
    rec.Measure.BattBackupTime = RoundToWord(HexToSingle(frame, BackupTimePos));
}

}  // namespace tessaro
