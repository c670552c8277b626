#include "protocols/YdtV31Protocol.h"

#include <climits>
#include <cstddef>
#include <string>

#include "core/Catalogue.h"
#include "protocols/FuncUnit.h"

namespace tessaro {

// Status words are written through member pointers into the packed block; the
// block sits at an even offset, so every 16-bit field is aligned.
static_assert(offsetof(TUpsInfo, Status) % alignof(uint16_t) == 0);

namespace {

void Bump(int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

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

// ---- Shared by both ASCII handlers ----------------------------------------

std::string_view AsciiChars(std::string_view frame, int pos, int count) {
  if (pos < 0 || count <= 0 || static_cast<std::size_t>(pos) >= frame.size()) return {};
  return frame.substr(static_cast<std::size_t>(pos), static_cast<std::size_t>(count));
}

bool AsciiFieldWithin(std::string_view frame, int pos, int width) {
  return pos >= 0 && width >= 0 &&
         static_cast<std::size_t>(pos) + static_cast<std::size_t>(width) <= frame.size();
}

TAsciiCheck CheckAsciiAnswer(std::string_view frame, int ver, int devAddr) {
  if (frame.empty() || frame[0] != '~') return TAsciiCheck::BadSoi;
  if (HexToInt(AsciiChars(frame, 1, 2), 2) != ver) return TAsciiCheck::BadVer;
  if (HexToInt(AsciiChars(frame, 3, 2), 2) != devAddr) return TAsciiCheck::BadAdr;
  if (HexToInt(AsciiChars(frame, 5, 2), 2) != AsciiCid1 || HexToInt(AsciiChars(frame, 7, 2), 2) != 0)
    return TAsciiCheck::BadCidRtn;
  const int length = static_cast<int>(frame.size());
  if (AsciiChars(frame, 9, 4) != LengthField(length - 18)) return TAsciiCheck::BadLength;
  if (AsciiChars(frame, length - 5, 4) != FrameChecksum(frame, length - 6)) return TAsciiCheck::BadChecksum;
  return TAsciiCheck::Accepted;
}

void CountAsciiCheck(TPollStats& stats, TAsciiCheck check) {
  switch (check) {
    case TAsciiCheck::Accepted: break;
    case TAsciiCheck::BadSoi: Bump(stats.ErrA); break;
    case TAsciiCheck::BadVer: Bump(stats.ErrB); break;
    case TAsciiCheck::BadAdr: Bump(stats.ErrC); break;
    case TAsciiCheck::BadCidRtn: Bump(stats.ErrD); break;
    case TAsciiCheck::BadLength: Bump(stats.ErrE); break;
    case TAsciiCheck::BadChecksum: Bump(stats.ErrF); break;
  }
}

int BuildAsciiRequest(uint8_t* tx, std::string_view verText, uint8_t adr, std::string_view cid2) {
  std::string frame;
  frame.reserve(AsciiRequestLen);
  frame += '~';
  frame += verText.substr(0, 2);
  frame += WordToHex4(adr).substr(2);
  frame += "2A";
  frame += cid2.substr(0, 2);
  frame += LengthField(0);
  frame += FrameChecksum(frame, 12);
  frame += '\r';
  for (std::size_t i = 0; i < frame.size(); ++i) tx[i] = static_cast<uint8_t>(frame[i]);
  tx[frame.size()] = 0;
  return static_cast<int>(frame.size());
}

TUpsInfo* AsciiRecordOf(TUpsInfoTable& table, uint16_t address) {
  return address < table.size() ? &table[address] : nullptr;
}

bool AcceptAsciiAnswer(TProtocolEnv& env, const uint8_t* bytes, int length, int ver, uint16_t devAddr,
                       std::string_view& frame, TUpsInfo*& record) {
  frame = (bytes == nullptr || length <= 0)
              ? std::string_view{}
              : std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
  const TAsciiCheck check = CheckAsciiAnswer(frame, ver, devAddr);
  if (check != TAsciiCheck::Accepted) {
    CountAsciiCheck(env.Stats, check);
    return false;
  }
  record = AsciiRecordOf(env.UpsInfo, devAddr);
  return true;
}

uint8_t NextAsciiStep(TProtocolEnv& env, uint16_t& devAddr) {
  TPollVars& vars = env.Vars;
  if (vars.SearchMode != 0) {
    devAddr = vars.SearchAddr;
    return AsciiSearchStep;
  }
  if (vars.Paused != 0) return 0;

  const TUpsInfo* previous = AsciiRecordOf(env.UpsInfo, devAddr);
  const bool lost = previous == nullptr || previous->CommState == 2;
  vars.StepCount = lost ? 1 : AsciiCycleSteps;

  // PollStep may hold any value another handler left; compare before storing.
  const int step = vars.PollStep + 1;
  if (step > vars.StepCount) {
    vars.PollStep = 1;
    env.DeviceList.NextPollAddress();
    devAddr = env.DeviceList.CurAddr;
  } else {
    vars.PollStep = static_cast<uint8_t>(step);
  }
  return vars.PollStep;
}

// ---- TYdtV31Protocol ----------------------------------------------------------

TYdtV31Protocol::TYdtV31Protocol(const TProtocolEnv& env) : FEnv(env) {}

void TYdtV31Protocol::NextRequest() {
  const uint8_t step = NextAsciiStep(FEnv, DevAddr);
  if (step == 0) {
    FrameLen = 0;
    return;
  }
  CmdStep = step;
  BuildFrame();
}

void TYdtV31Protocol::BuildFrame() {
  FrameLen = BuildAsciiRequest(FEnv.Vars.TxBuf.data(), VerText, static_cast<uint8_t>(DevAddr & 0xFF), Cid2[CmdStep]);
}

bool TYdtV31Protocol::ParseAnswer(const uint8_t* bytes, int length) {
  if (!AcceptAsciiAnswer(FEnv, bytes, length, Ver, DevAddr, FFrame, FRecord)) return false;
  if (FRecord != nullptr) {
    switch (CmdStep) {
      case 1: DecodeStep1(); break;
      case 2: DecodeStep2(); break;
      case 3: DecodeStep3(); break;
      case 4: DecodeStep4(); break;
      case 5: DecodeStep5(); break;
      default: break;
    }
  }
  CmdStep = 0;
  return true;
}

void TYdtV31Protocol::DecodeStep1() { StoreWords(FFrame, FRecord->Measure, Step1Rows); }

void TYdtV31Protocol::DecodeStep2() {
  TUpsInfo& rec = *FRecord;
  if (AsciiFieldWithin(FFrame, Step2UpsStatePos, 2))
    rec.Status.UpsState = static_cast<uint8_t>(HexToInt(AsciiChars(FFrame, Step2UpsStatePos, 2), 2));
  StoreHex(FFrame, rec.Status, Step2Rows);
  rec.StateCode = ComputeStateCode(rec.Status);
  rec.Status.StateValid = 1;
  DeriveSwitches(rec);
}

void TYdtV31Protocol::DecodeStep3() {
  StoreHex(FFrame, FRecord->Status, Step3Rows);
  BuildAlarmList(*FRecord);
}

void TYdtV31Protocol::DecodeStep4() {
  TUpsInfo& rec = *FRecord;
  StoreWords(FFrame, rec.Measure, Step4LoadRows);
  StoreWords(FFrame, rec, Step4CurrentRows);
  rec.Measure.BattChargeCurr = rec.ChargeCurrPos + rec.ChargeCurrNeg;
  rec.Measure.BattDischargeCurr = rec.DischargeCurrPos + rec.DischargeCurrNeg;
}

void TYdtV31Protocol::DecodeStep5() {
  TMeasureBlock& m = FRecord->Measure;
  if (AsciiFieldWithin(FFrame, Step5BackupTimePos, 4)) m.BattBackupTime = Hex4ToWord(FFrame, Step5BackupTimePos);
  if (AsciiFieldWithin(FFrame, Step5CapacityPos, 4)) m.BattCapacity = Hex4ToWord(FFrame, Step5CapacityPos);
}

}  // namespace tessaro
