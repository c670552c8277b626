#pragma once
// The body of the two ASCII-protocol fuzz targets (fuzz_ydt_v31,
// fuzz_quorvan): a fresh handler over fresh state, a few requests, then the
// input handed to ParseAnswer in an allocation of exactly its length, so that
// AddressSanitizer sees any read past the chunk.
//
// Input layout:
//   byte 0  bits 0-2  requests to build first (0..7)
//           bits 3-5  mode: 0-4 plain poll, 5 SearchMode (probe the address of
//                     byte 1), 6 the polled devices are lost (CommState 2),
//                     7 Paused
//           bit 6     raw: hand the bytes over as they are; when clear, SOI,
//                     VER, ADR, CID1, RTN, LENGTH and CHKSUM are rewritten so
//                     the checks pass and the decoders run on the rest
//           bit 7     split the rest into chunks at the 0x0D bytes (each chunk
//                     parsed on its own, as a line that falls silent would)
//   byte 1  device address (also the search address)
//   byte 2  SuccessCount of that device (the status gate)
//   rest    the received bytes

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/FuncUnit.h"
#include "protocols/YdtV31Protocol.h"

namespace tessaro::fuzz {

struct TFuzzState {
  TFuzzState() { InitDeviceTable(UpsInfo); }
  TUpsInfoTable UpsInfo;
  TDeviceList DeviceList;
  TPollVars Vars;
  TPollStats Stats;
  TProtocolEnv Env{UpsInfo, DeviceList, Vars, Stats};
};

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
  const int mode = (control >> 3) & 0x07;
  const bool lost = mode == 6;
  // Constructed afresh in static storage: a new 280 KB allocation per input
  // would go to the sanitizer's mmap allocator and slow the run tenfold.
  alignas(TFuzzState) static unsigned char storage[sizeof(TFuzzState)];
  TFuzzState* state = new (storage) TFuzzState();
  struct TDestroy {
    TFuzzState* State;
    ~TDestroy() { State->~TFuzzState(); }
  } destroy{state};
  state->DeviceList.Count = 1;
  state->DeviceList.Nodes[1].Address = address;
  if (address < SlotCount) {
    state->UpsInfo[address].CommState = lost ? 2 : 0;
    state->UpsInfo[address].SuccessCount = data[2];
  }
  state->UpsInfo[1].CommState = lost ? 2 : 0;  // the constructor's DevAddr
  state->Vars.SearchMode = mode == 5 ? 1 : 0;
  state->Vars.SearchAddr = address;
  state->Vars.Paused = mode == 7 ? 255 : 0;

  THandler handler{state->Env};
  for (int i = 0; i < (control & 0x07); ++i) {
    handler.NextRequest();
    Require(handler.FrameLen == 0 || handler.FrameLen == AsciiRequestLen);
    Require(handler.CmdStep <= AsciiCycleSteps);
  }

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
    if (!(control & 0x40)) Repair(chunk, THandler::VerText, handler.DevAddr);
    // An allocation of exactly the chunk's length (at least one byte so the
    // pointer is real); the length passed is the chunk's own.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[chunk.empty() ? 1 : chunk.size()]);
    for (std::size_t i = 0; i < chunk.size(); ++i) exact[i] = chunk[i];
    const int32_t before = ErrorSum(state->Stats);
    const bool accepted = handler.ParseAnswer(exact.get(), static_cast<int>(chunk.size()));
    // Exactly one counter for a rejection, none for an acceptance.
    Require(ErrorSum(state->Stats) == before + (accepted ? 0 : 1));
    if (accepted) Require(handler.CmdStep == 0);
    if (handler.DevAddr < SlotCount) Require(state->UpsInfo[handler.DevAddr].AlarmCount <= MaxAlarms);
  }
  return 0;
}

}  // namespace tessaro::fuzz
