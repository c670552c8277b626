#pragma once
// The body of the two ASCII-protocol fuzz targets (fuzz_ydt_v31,
// fuzz_quorvan): one request in flight, then the input held against it chunk
// by chunk, each chunk in an allocation of exactly its length and every match
// decoded into a record allocated on its own, so that AddressSanitizer sees
// any read past a chunk or write outside the record.
//
// Input layout:
//   byte 0  bits 0-2  command step of the request (1..5; 0, 6 and 7 lie outside
//                     the cycle: nothing is built and nothing can match)
//           bits 3-5  mode: 5 the search probe of the address, otherwise a
//                     cycle request
//           bit 6     raw: hand the bytes over as they are; when clear, each
//                     chunk is cut or padded to the answer length of the
//                     request, and SOI, VER, ADR, CID1, RTN, LENGTH and CHKSUM
//                     are rewritten so the checks pass and the decoders run on
//                     the rest
//           bit 7     split the rest into chunks at the 0x0D bytes (each chunk
//                     held against the request on its own, as a line that falls
//                     silent would)
//   byte 1  device address
//   byte 2  SuccessCount of that device (the status gate)
//   rest    the received bytes

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/FuncUnit.h"
#include "protocols/YdtV31Protocol.h"

namespace tessaro::fuzz {

inline void Require(bool ok) {
  if (!ok) std::abort();
}

inline int32_t ErrorSum(const TPollStats& s) { return s.ErrA + s.ErrB + s.ErrC + s.ErrD + s.ErrE + s.ErrF; }

// Makes the header, LENGTH and CHKSUM of `chunk` right for devAddr.
inline void Repair(std::vector<uint8_t>& chunk, std::string_view verText, uint16_t devAddr) {
  const int n = static_cast<int>(chunk.size());
  std::string head = "~" + std::string(verText) + WordToHex4(devAddr & 0xFF).substr(2) + "2A00" + LengthField(n - 18);
  for (std::size_t i = 0; i < chunk.size() && i < head.size(); ++i) chunk[i] = static_cast<uint8_t>(head[i]);
  if (n >= 18) {
    const std::string_view frame(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    const std::string sum = FrameChecksum(frame, n - 6);
    for (std::size_t i = 0; i < 4; ++i) chunk[chunk.size() - 5 + i] = static_cast<uint8_t>(sum[i]);
  }
}

template <class THandler>
int RunAsciiFuzz(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const uint8_t control = data[0];
  const uint8_t address = data[1];
  const bool raw = control & 0x40;

  THandler handler;
  TRequest request = ((control >> 3) & 0x07) == 5 ? handler.SearchRequest(address)
                                                  : handler.CycleRequest(address, control & 0x07);
  Require(request.FrameLen == 0 || request.FrameLen == AsciiRequestLen);
  Require((request.FrameLen == 0) == (request.AnswerLen == 0));
  Require(request.Func >= 1 && request.Func <= AsciiCycleSteps ? request.FrameLen > 0 : request.FrameLen == 0);
  auto record = std::make_unique<TUpsInfo>();
  record->Address = address;
  record->CommState = 0;
  record->SuccessCount = data[2];
  TPollStats stats;

  std::vector<std::vector<uint8_t>> chunks;
  const uint8_t* rest = data + 3;
  const std::size_t restLen = size - 3;
  if (control & 0x80) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < restLen; ++i) {
      if (rest[i] == 0x0D) {
        chunks.emplace_back(rest + start, rest + i + 1);
        start = i + 1;
      }
    }
    if (start < restLen) chunks.emplace_back(rest + start, rest + restLen);
  } else {
    chunks.emplace_back(rest, rest + restLen);
  }

  for (auto& chunk : chunks) {
    if (!raw) {
      if (request.AnswerLen > 0) chunk.resize(static_cast<std::size_t>(request.AnswerLen), '0');
      Repair(chunk, THandler::VerText, request.Addr);
    }
    // An allocation of exactly the chunk's length (at least one byte so the
    // pointer is real); the span is the chunk's own length.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[chunk.empty() ? 1 : chunk.size()]);
    if (!chunk.empty()) std::memcpy(exact.get(), chunk.data(), chunk.size());
    const std::span<const uint8_t> answer(exact.get(), chunk.size());
    const int32_t before = ErrorSum(stats);
    const bool matched = handler.Matches(request, answer, stats);
    if (request.FrameLen == 0) {
      // Nothing was sent: nothing matches and nothing is counted.
      Require(!matched && ErrorSum(stats) == before);
      continue;
    }
    // Exactly one counter for a refusal, none for a match.
    Require(ErrorSum(stats) == before + (matched ? 0 : 1));
    if (!matched) continue;
    // Only the answer length of the command sent matches.
    Require(static_cast<int>(answer.size()) == request.AnswerLen);
    auto previous = std::make_unique<TUpsInfo>();
    std::memcpy(static_cast<void*>(previous.get()), record.get(), sizeof(TUpsInfo));
    Require(handler.Decode(request, answer, *record));
    Require(record->AlarmCount <= MaxAlarms);
    // A second answer to the same request decodes nothing.
    if (request.Answers > 0) Require(std::memcmp(previous.get(), record.get(), sizeof(TUpsInfo)) == 0);
    ++request.Answers;  // as the engine counts it
  }
  // An intact repaired answer of the right length always matches.
  if (!raw && request.FrameLen > 0 && !chunks.empty() && !(control & 0x80)) Require(request.Answers == 1);
  return 0;
}

}  // namespace tessaro::fuzz
