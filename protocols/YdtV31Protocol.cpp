#include "protocols/YdtV31Protocol.h"

#include <cstddef>

#include "core/Catalogue.h"
#include "protocols/FuncUnit.h"

namespace tessaro {

// Status words are written through member pointers into the packed block; the
// block sits at an even offset, so every 16-bit field is aligned.
static_assert(offsetof(TUpsInfo, Status) % alignof(uint16_t) == 0);

namespace {

// "word ÷ divisor": four characters with Hex4ToWord (non-hex skipped).
template <class TRec>
struct TWordRow {
  int Pos;
  double TRec::*Field;
  double Divisor;
};

template <class TRec, std::size_t N>
void StoreWords(std::string_view frame, TRec& rec, const TWordRow<TRec> (&rows)[N]) {
  for (const auto& row : rows) {
    if (AsciiFieldWithin(frame, row.Pos, 4))
      rec.*row.Field = Hex4ToWord(frame, static_cast<std::size_t>(row.Pos)) / row.Divisor;
  }
}

// "hex 2" / "hex 4": HexToInt of Width characters (stops at a non-hex one).
struct THexRow {
  int Pos;
  int Width;
  uint16_t TStatusBlock::*Field;
};

template <std::size_t N>
void StoreHex(std::string_view frame, TStatusBlock& status, const THexRow (&rows)[N]) {
  for (const auto& row : rows) {
    if (AsciiFieldWithin(frame, row.Pos, row.Width))
      status.*row.Field = static_cast<uint16_t>(HexToInt(AsciiChars(frame, row.Pos, row.Width), row.Width));
  }
}

// Answer to 42, analog values (a, b, c input phases; A, B, C output phases;
// D DC input voltage; F output frequency; all word ÷ 100):
//   0         1         2         3         4         5
//   0123456789012345678901234567890123456789012345678901234567890
//   ~VVAAC1RTLLLL..aaaabbbbccccAAAABBBBCCCC............DDDDFFFF
constexpr TWordRow<TMeasureBlock> Step1Rows[] = {
    {.Pos = 15, .Field = &TMeasureBlock::InputVoltA, .Divisor = 100},
    {.Pos = 19, .Field = &TMeasureBlock::InputVoltB, .Divisor = 100},
    {.Pos = 23, .Field = &TMeasureBlock::InputVoltC, .Divisor = 100},
    {.Pos = 27, .Field = &TMeasureBlock::OutputVoltA, .Divisor = 100},
    {.Pos = 31, .Field = &TMeasureBlock::OutputVoltB, .Divisor = 100},
    {.Pos = 35, .Field = &TMeasureBlock::OutputVoltC, .Divisor = 100},
    {.Pos = 51, .Field = &TMeasureBlock::DcInputVolt, .Divisor = 100},
    {.Pos = 55, .Field = &TMeasureBlock::OutputFreq, .Divisor = 100},
};

// Answer to 43, status words (U UpsState hex 2, C CmmState1, I InvState1,
// J InvState2 hex 4, S SysState hex 2):
//   0         1         2         3
//   01234567890123456789012345678901234
//   ~VVAAC1RTLLLL......UUCCCCIIIIJJJJSS
constexpr int Step2UpsStatePos = 19;
constexpr THexRow Step2Rows[] = {
    {.Pos = 21, .Width = 4, .Field = &TStatusBlock::CmmState1},
    {.Pos = 25, .Width = 4, .Field = &TStatusBlock::InvState1},
    {.Pos = 29, .Width = 4, .Field = &TStatusBlock::InvState2},
    {.Pos = 33, .Width = 2, .Field = &TStatusBlock::SysState},
};

// Answer to 44, alarm words (R CmmAlarm1, Q CmmAlarm2, I InvAlarm1,
// J InvAlarm2 hex 4, S SysAlarm hex 2):
//   0         1         2         3         4         5
//   012345678901234567890123456789012345678901234567890
//   ~VVAAC1RTLLLL....................RRRRQQQQIIIIJJJJSS
constexpr THexRow Step3Rows[] = {
    {.Pos = 33, .Width = 4, .Field = &TStatusBlock::CmmAlarm1},
    {.Pos = 37, .Width = 4, .Field = &TStatusBlock::CmmAlarm2},
    {.Pos = 41, .Width = 4, .Field = &TStatusBlock::InvAlarm1},
    {.Pos = 45, .Width = 4, .Field = &TStatusBlock::InvAlarm2},
    {.Pos = 49, .Width = 2, .Field = &TStatusBlock::SysAlarm},
};

// Answer to 80: loads (a, b, c; word, %) and battery currents (P/N charge,
// p/n discharge; word ÷ 100, A); characters 95 to 158:
//        1         1         1         1         1         1
//        0         1         2         3         4         5
//   5678901234567890123456789012345678901234567890123456789012345678
//   aaaabbbbcccc....................................PPPPNNNNppppnnnn
constexpr TWordRow<TMeasureBlock> Step4LoadRows[] = {
    {.Pos = 95, .Field = &TMeasureBlock::LoadA, .Divisor = 1},
    {.Pos = 99, .Field = &TMeasureBlock::LoadB, .Divisor = 1},
    {.Pos = 103, .Field = &TMeasureBlock::LoadC, .Divisor = 1},
};
constexpr TWordRow<TUpsInfo> Step4CurrentRows[] = {
    {.Pos = 143, .Field = &TUpsInfo::ChargeCurrPos, .Divisor = 100},
    {.Pos = 147, .Field = &TUpsInfo::ChargeCurrNeg, .Divisor = 100},
    {.Pos = 151, .Field = &TUpsInfo::DischargeCurrPos, .Divisor = 100},
    {.Pos = 155, .Field = &TUpsInfo::DischargeCurrNeg, .Divisor = 100},
};

// Answer to 82 (T backup time, minutes; P capacity, %; both word):
//   0         1         2         3         4
//   0123456789012345678901234567890123456789012
//   ~VVAAC1RTLLLL......................TTTTPPPP
constexpr int Step5BackupTimePos = 35;
constexpr int Step5CapacityPos = 39;

}  // namespace

// ---- TYdtV31Protocol ----------------------------------------------------------

bool TYdtV31Protocol::DecodeStep(int step, std::string_view frame, TUpsInfo& record) {
  switch (step) {
    case 1: DecodeStep1(frame, record); return true;
    case 2: DecodeStep2(frame, record); return true;
    case 3: DecodeStep3(frame, record); return true;
    case 4: DecodeStep4(frame, record); return true;
    case 5: DecodeStep5(frame, record); return true;
    default: return false;
  }
}

void TYdtV31Protocol::DecodeStep1(std::string_view frame, TUpsInfo& rec) { StoreWords(frame, rec.Measure, Step1Rows); }

void TYdtV31Protocol::DecodeStep2(std::string_view frame, TUpsInfo& rec) {
  if (AsciiFieldWithin(frame, Step2UpsStatePos, 2))
    rec.Status.UpsState = static_cast<uint8_t>(HexToInt(AsciiChars(frame, Step2UpsStatePos, 2), 2));
  StoreHex(frame, rec.Status, Step2Rows);
  rec.StateCode = ComputeStateCode(rec.Status);
  rec.Status.StateValid = 1;
  DeriveSwitches(rec);
}

void TYdtV31Protocol::DecodeStep3(std::string_view frame, TUpsInfo& rec) {
  StoreHex(frame, rec.Status, Step3Rows);
  BuildAlarmList(rec);
}

void TYdtV31Protocol::DecodeStep4(std::string_view frame, TUpsInfo& rec) {
  StoreWords(frame, rec.Measure, Step4LoadRows);
  StoreWords(frame, rec, Step4CurrentRows);
  rec.Measure.BattChargeCurr = rec.ChargeCurrPos + rec.ChargeCurrNeg;
  rec.Measure.BattDischargeCurr = rec.DischargeCurrPos + rec.DischargeCurrNeg;
}

void TYdtV31Protocol::DecodeStep5(std::string_view frame, TUpsInfo& rec) {
  TMeasureBlock& m = rec.Measure;
  if (AsciiFieldWithin(frame, Step5BackupTimePos, 4)) m.BattBackupTime = Hex4ToWord(frame, Step5BackupTimePos);
  if (AsciiFieldWithin(frame, Step5CapacityPos, 4)) m.BattCapacity = Hex4ToWord(frame, Step5CapacityPos);
}

}  // namespace tessaro
