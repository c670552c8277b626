#pragma once
// The poll engine's variables and line statistics. The request in flight,
// with its frame, is a value the engine holds (protocols/Handler.h).

#include <array>
#include <cstdint>

#include "core/DeviceList.h"
#include "core/UpsInfo.h"

namespace tessaro {

constexpr int TxBufSize = 256;
constexpr int RxBufSize = 400;

struct TPollVars {
  uint8_t SearchMode = 0;  // 0 / nonzero
  uint8_t SearchAddr = 0;
  uint8_t Paused = 0;      // 0 / 255
  uint8_t Waiting = 0;     // 0 / 255
  uint8_t WaitTicks = 0;
  uint8_t MaxSends = 0;
  uint8_t SendNo = 0;
  uint8_t PollStep = 0;    // 1-based step of the current device's cycle
  uint8_t StepCount = 0;
  uint8_t DebugStage = 0;
  int32_t FrameLen = 0;    // bytes of the request in flight to send
  // The active handler's cycle, kept current by the engine for the freshness
  // rule (core/Freshness.h): its length for a communicating device, the
  // steps whose values are served (bit n-1 = step n), and those of them that
  // carry the measurements a data log record holds.
  uint8_t CycleSteps = 0;
  uint32_t RequiredSteps = 0;
  uint32_t MeasureSteps = 0;
  std::array<uint8_t, RxBufSize> RxBuf{};  // the last received chunk, cut to 400 bytes
};

// Line statistics; the six ASCII answer checks count into ErrA..ErrF.
struct TPollStats {
  int32_t TxCount = 0;
  int32_t RxCount = 0;
  int32_t AckOkCount = 0;  // answers accepted and decoded
  int32_t ParseFailures = 0;
  int32_t ErrA = 0, ErrB = 0, ErrC = 0, ErrD = 0, ErrE = 0, ErrF = 0;
};

// Timer words shown by the trace window: 0/1 intervals (ms) of the main and
// poll timers, 10/11 their tick counts, 16 clock passes of the main timer.
using TTimerStats = std::array<int32_t, 20>;

}  // namespace tessaro
