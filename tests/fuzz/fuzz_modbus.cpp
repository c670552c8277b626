// libFuzzer target for the Modbus handler TMModbus.
//
// The first byte chooses the variant:
//   even: one request (a cycle step, a write command or a search probe, chosen
//         by the next bytes) is in flight and the rest of the input is held
//         against it as the received chunk (optionally as a frame body given
//         the request's address and a good CRC, so that the checks past the
//         CRC are reached); a chunk that matches is decoded;
//   odd:  random requests are built from the next bytes, and the answers that
//         must match them (the echo of a write, a read answer of the byte
//         count asked for, with random register values) are held against them
//         and decoded.
// Every matched answer is decoded into a record allocated on its own, so that
// AddressSanitizer sees any write outside it; the invariants below trap on a
// breach.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/MModbus.h"

using namespace tessaro;

namespace {

class TReader {
 public:
  TReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return static_cast<int32_t>(v);
  }
  const uint8_t* Rest() const { return FData + FPos; }
  size_t RestSize() const { return FSize - FPos; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// What must hold for every built request.
void CheckRequest(const TRequest& r) {
  Check(r.FrameLen >= 0 && r.FrameLen <= TxBufSize);
  Check(r.AnswerLen >= 0 && r.AnswerLen <= 5 + 255);
  if (r.FrameLen == 0) return;
  Check(r.FrameLen >= 8);
  Check(TMModbus::Crc16(r.Frame.data(), r.FrameLen) == 0);
  Check(r.Frame[0] == static_cast<uint8_t>(r.Addr));
  Check(r.Frame[1] == r.Func);
  if (r.Func == 16) Check(r.FrameLen == 9 + r.Frame[6]);
}

// What must hold for a record after a decode.
void CheckRecord(const TUpsInfo& u) {
  Check(u.AlarmCount <= MaxAlarms);
  Check(u.StateCode >= -1 && u.StateCode <= 11);
  Check(u.Status.StateValid <= 1);
  Check(u.InputSupply <= 2 && u.UpsSupply <= 2);
}

// Holds `answer` (copied into an allocation of exactly its length) against
// `request`; a match is decoded into a record of its own. True on a match.
bool Receive(TMModbus& handler, const TRequest& request, std::span<const uint8_t> answer) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[answer.empty() ? 1 : answer.size()]);
  if (!answer.empty()) std::memcpy(exact.get(), answer.data(), answer.size());
  const std::span<const uint8_t> chunk(exact.get(), answer.size());
  TPollStats stats;
  const bool matched = handler.Matches(request, chunk, stats);
  // The Modbus handler counts nothing.
  const TPollStats none{};
  Check(std::memcmp(&stats, &none, sizeof stats) == 0);
  if (!matched) return false;
  // One whole frame of the addressed device: the answer asked for or an exception.
  Check(request.FrameLen > 0);
  Check(chunk.size() >= 5);
  Check(chunk[0] == static_cast<uint8_t>(request.Addr));
  Check(TMModbus::Crc16(chunk.data(), static_cast<int>(chunk.size())) == 0);
  if (chunk[1] & 0x80)
    Check(chunk.size() == 5 && chunk[1] == (request.Func | 0x80));
  else
    Check(static_cast<int>(chunk.size()) == request.AnswerLen && chunk[1] == request.Func);
  auto record = std::make_unique<TUpsInfo>();
  record->Address = static_cast<uint8_t>(request.Addr);
  const bool accepted = handler.Decode(request, chunk, *record);
  if (request.Probe) Check(accepted);
  if (!request.Probe && (chunk[1] & 0x80)) Check(!accepted);
  CheckRecord(*record);
  return true;
}

TWriteCommand ReadCommand(TReader& in, uint8_t addr) {
  TWriteCommand c;
  c.Addr = addr;
  c.Func = in.Byte();
  c.Reg = in.Int();
  c.Count = in.Int();
  c.CommandValue = in.Word();
  auto* image = reinterpret_cast<uint8_t*>(&c.ParamImage);
  for (size_t i = 0; i < sizeof(TDeviceParams); ++i) image[i] = in.Byte();
  return c;
}

void AnswerVariant(TReader& in) {
  const uint8_t addr = in.Byte();
  const uint8_t kind = in.Byte();
  const std::string model = (kind & 0x80) ? ModelRxa410Lt : "";
  TMModbus handler(model);
  TRequest request;
  switch (kind % 3) {
    case 0: request = handler.CycleRequest(addr, 1 + in.Byte() % 5); break;
    case 1: request = handler.CommandRequest(ReadCommand(in, addr)); break;
    default: request = handler.SearchRequest(addr); break;
  }
  CheckRequest(request);

  std::vector<uint8_t> chunk(in.Rest(), in.Rest() + std::min<size_t>(in.RestSize(), RxBufSize));
  // With bit 6 of the kind the rest is a frame body: the request's address in
  // front and a good CRC behind.
  if ((kind & 0x40) && chunk.size() + 3 <= RxBufSize) {
    chunk.insert(chunk.begin(), static_cast<uint8_t>(request.Addr));
    const uint16_t crc = TMModbus::Crc16(chunk.data(), static_cast<int>(chunk.size()));
    chunk.push_back(static_cast<uint8_t>(crc & 0xFF));
    chunk.push_back(static_cast<uint8_t>(crc >> 8));
  }
  Receive(handler, request, chunk);
}

void RequestVariant(TReader& in) {
  const std::string model = (in.Byte() & 1) ? ModelRxa410Lt : "";
  TMModbus handler(model);
  const int requests = 1 + in.Byte() % 8;
  for (int i = 0; i < requests; ++i) {
    const uint8_t addr = in.Byte();
    TRequest request;
    switch (in.Byte() % 3) {
      case 0: request = handler.CycleRequest(addr, static_cast<int8_t>(in.Byte())); break;
      case 1: request = handler.CommandRequest(ReadCommand(in, addr)); break;
      default: request = handler.SearchRequest(addr); break;
    }
    CheckRequest(request);
    if (request.FrameLen == 0 || request.AnswerLen == 0) continue;
    // The answer the request asks for: the echo of a write, or a read answer
    // of the byte count asked for with register values from the input.
    std::vector<uint8_t> answer(request.Frame.begin(), request.Frame.begin() + 6);
    if (request.Func != 6 && request.Func != 16) {
      answer.resize(3);
      answer[2] = static_cast<uint8_t>(request.AnswerLen - 5);
      for (int k = 0; k < request.AnswerLen - 5; ++k) answer.push_back(in.Byte());
    }
    const uint16_t crc = TMModbus::Crc16(answer.data(), static_cast<int>(answer.size()));
    answer.push_back(static_cast<uint8_t>(crc & 0xFF));
    answer.push_back(static_cast<uint8_t>(crc >> 8));
    Check(Receive(handler, request, answer));
    // Its exception form matches too; another function's does not.
    std::vector<uint8_t> exception = {answer[0], static_cast<uint8_t>(request.Func | 0x80), in.Byte()};
    const uint16_t ecrc = TMModbus::Crc16(exception.data(), 3);
    exception.push_back(static_cast<uint8_t>(ecrc & 0xFF));
    exception.push_back(static_cast<uint8_t>(ecrc >> 8));
    Check(Receive(handler, request, exception));
    exception[1] ^= 0x01;
    const uint16_t ocrc = TMModbus::Crc16(exception.data(), 3);
    exception[3] = static_cast<uint8_t>(ocrc & 0xFF);
    exception[4] = static_cast<uint8_t>(ocrc >> 8);
    Check(!Receive(handler, request, exception));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TReader in(data, size);
  if (in.Byte() & 1)
    RequestVariant(in);
  else
    AnswerVariant(in);
  return 0;
}
