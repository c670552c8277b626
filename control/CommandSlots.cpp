#include "control/CommandSlots.h"

#include "control/ParamTable.h"

namespace tessaro {

namespace {

bool IsCommandRegister(int reg) { return reg >= RegRemoteOn && reg <= RegBatteryTest; }

int FirstFree(const TCommandQueue& queue, int from) {
  for (int i = from; i < CommandQueueSize; ++i)
    if (queue[i].Pending == CommandFree) return i;
  for (int i = 0; i < from; ++i)
    if (queue[i].Pending == CommandFree) return i;
  return -1;
}

void Fill(TCommandQueue& queue, int index, uint8_t addr, int reg) {
  TCommandEntry& entry = queue[index];
  entry.Pending = CommandPending;
  entry.Addr = addr;
  entry.Func = 6;
  entry.Reg = reg;
}

}  // namespace

int FindPending(const TCommandQueue& queue, int reg) {
  for (int i = 0; i < CommandQueueSize; ++i)
    if (queue[i].Pending != CommandFree && queue[i].Reg == reg) return i;
  return -1;
}

bool QueueParamWrite(TCommandQueue& queue, uint8_t addr, int reg, bool unlockFirst) {
  // Its write takes the value from ParamImage when it goes out, so a second
  // Set before then sends the new value once.
  const int waiting = FindPending(queue, reg);
  if (waiting >= 0 && queue[waiting].Addr == addr) return true;
  if (!unlockFirst) {
    const int index = FirstFree(queue, 0);
    if (index < 0) return false;
    Fill(queue, index, addr, reg);
    queue[index].Count = 1;
    return true;
  }
  // The unlock write goes directly in front of its parameter.
  for (int i = 0; i + 1 < CommandQueueSize; ++i) {
    if (queue[i].Pending != CommandFree || queue[i + 1].Pending != CommandFree) continue;
    Fill(queue, i, addr, UnlockRegister);
    Fill(queue, i + 1, addr, reg);
    queue[i].Count = queue[i + 1].Count = 1;
    return true;
  }
  return false;
}

bool QueueCommand(TCommandQueue& queue, uint8_t addr, int reg, uint16_t value) {
  int index = -1;
  for (int i = 0; i < CommandQueueSize && index < 0; ++i)
    if (queue[i].Pending != CommandFree && IsCommandRegister(queue[i].Reg)) index = i;
  if (index < 0) index = FirstFree(queue, 1);
  if (index < 0) return false;
  Fill(queue, index, addr, reg);
  queue.CommandValue = value;
  return true;
}

}  // namespace tessaro
