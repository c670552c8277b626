#pragma once
// Where the windows put their writes in the command queue. The parameter
// dialog starts at entry 0 (a "GDS7100" pair: 0 and 1), the battery test and
// on/off windows at entry 1. A write never pushes out another write that is
// still waiting: it takes the next free entry instead. Only a new command
// replaces a waiting command (the operator's last choice wins), and a new
// value for a waiting parameter rides on the entry already there.

#include <cstdint>

#include "engine/CommandQueue.h"

namespace tessaro {

inline constexpr int RegRemoteOn = 20001;
inline constexpr int RegRemoteOff = 20002;
inline constexpr int RegBatteryTest = 20003;

// Index of the first waiting entry for register reg, -1 for none.
int FindPending(const TCommandQueue& queue, int reg);

struct TSlotResult {
  bool Queued = false;    // false when the queue has no room (nothing changed then)
  int Index = -1;         // the entry that holds the write (the parameter's, after an unlock write)
  uint32_t Replaced = 0;  // the tracking id of the waiting write this one took over
};

// Queued writes are not tracked (Id 0) until the caller gives their entry an
// id. The unlock write in front of a parameter is never tracked on its own:
// the parameter's echo is the outcome.
TSlotResult QueueParamWrite(TCommandQueue& queue, uint8_t addr, int reg, bool unlockFirst);
TSlotResult QueueCommand(TCommandQueue& queue, uint8_t addr, int reg, uint16_t value);

}  // namespace tessaro
