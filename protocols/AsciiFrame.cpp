#include "protocols/AsciiFrame.h"

#include <climits>
#include <cstddef>
#include <string>

#include "protocols/FuncUnit.h"

namespace tessaro {

namespace {

void Bump(int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

}  // namespace

std::string_view AsciiChars(std::string_view frame, int pos, int count) {
  if (pos < 0 || count <= 0 || static_cast<std::size_t>(pos) >= frame.size()) return {};
  return frame.substr(static_cast<std::size_t>(pos), static_cast<std::size_t>(count));
}

bool AsciiFieldWithin(std::string_view frame, int pos, int width) {
  return pos >= 0 && width >= 0 &&
         static_cast<std::size_t>(pos) + static_cast<std::size_t>(width) <= frame.size();
}

std::string_view AsciiView(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TAsciiCheck CheckAsciiAnswer(std::string_view frame, int ver, int devAddr, int infoLen) {
  if (frame.empty() || frame[0] != '~') return TAsciiCheck::BadSoi;
  if (HexToInt(AsciiChars(frame, 1, 2), 2) != ver) return TAsciiCheck::BadVer;
  if (HexToInt(AsciiChars(frame, 3, 2), 2) != devAddr) return TAsciiCheck::BadAdr;
  if (HexToInt(AsciiChars(frame, 5, 2), 2) != AsciiCid1 || HexToInt(AsciiChars(frame, 7, 2), 2) != 0)
    return TAsciiCheck::BadCidRtn;
  const int length = static_cast<int>(frame.size());
  if (AsciiChars(frame, 9, 4) != LengthField(length - 18)) return TAsciiCheck::BadLength;
  if (AsciiChars(frame, length - 5, 4) != FrameChecksum(frame, length - 6)) return TAsciiCheck::BadChecksum;
  // A whole, intact frame that answers another command (a late answer to an
  // earlier request) must not be decoded as this one.
  if (infoLen >= 0 && length - 18 != infoLen) return TAsciiCheck::BadLength;
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

TRequest TAsciiHandler::CycleRequest(uint16_t addr, int step) const {
  TRequest r;
  r.Addr = addr;
  if (step < 1 || step > AsciiCycleSteps) return r;
  r.Func = static_cast<uint8_t>(step);
  r.Step = r.Func;
  r.FrameLen = BuildAsciiRequest(r.Frame.data(), FVerText, static_cast<uint8_t>(addr & 0xFF), FCommands[step].Cid2);
  r.AnswerLen = AsciiRequestLen + FCommands[step].InfoLen;
  return r;
}

TRequest TAsciiHandler::SearchRequest(uint16_t addr) const {
  TRequest r = CycleRequest(addr, AsciiSearchStep);
  r.Probe = true;
  r.Step = 0;
  return r;
}

bool TAsciiHandler::Matches(const TRequest& request, std::span<const uint8_t> answer, TPollStats& stats) const {
  if (request.FrameLen == 0 || request.Func < 1 || request.Func > AsciiCycleSteps) return false;
  const TAsciiCheck check =
      CheckAsciiAnswer(AsciiView(answer), FVer, request.Addr, FCommands[request.Func].InfoLen);
  CountAsciiCheck(stats, check);
  return check == TAsciiCheck::Accepted;
}

bool TAsciiHandler::Decode(const TRequest& request, std::span<const uint8_t> answer, TUpsInfo& record) {
  // A resend answered again says the same; but where the first answer was
  // not taken, the repeat is the device's first word on that step.
  const bool taken = request.Answers > 0 && (request.Step == 0 || (record.DecodedSteps & StepBit(request.Step)) != 0);
  if (!taken && DecodeStep(request.Func, AsciiView(answer), record)) MarkStepDecoded(record, request.Step);
  return true;
}

}  // namespace tessaro
