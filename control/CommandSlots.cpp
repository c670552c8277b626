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
  entry.Id = 0;
}

}  // namespace

int FindPending(const TCommandQueue& queue, int reg) {
  for (int i = 0; i < CommandQueueSize; ++i)
    if (queue[i].Pending != CommandFree && queue[i].Reg == reg) return i;
  return -1;
}

TSlotResult QueueParamWrite(TCommandQueue& queue, uint8_t addr, int reg, bool unlockFirst) {
  // Its write takes the value from ParamImage when it goes out, so a second
  // Set before then sends the new value once.
  const int waiting = FindPending(queue, reg);
  if (waiting >= 0 && queue[waiting].Addr == addr) {
    const uint32_t replaced = queue[waiting].Id;
    queue[waiting].Id = 0;
    return {true, waiting, replaced};
  }
  if (!unlockFirst) {
    const int index = FirstFree(queue, 0);
    if (index < 0) return {};
    Fill(queue, index, addr, reg);
    queue[index].Count = 1;
    return {true, index, 0};
  }
  // The unlock write goes directly in front of its parameter.
  for (int i = 0; i + 1 < CommandQueueSize; ++i) {
    if (queue[i].Pending != CommandFree || queue[i + 1].Pending != CommandFree) continue;
    Fill(queue, i, addr, UnlockRegister);
    Fill(queue, i + 1, addr, reg);
    queue[i].Count = queue[i + 1].Count = 1;
    return {true, i + 1, 0};
  }
  return {};
}

TSlotResult QueueCommand(TCommandQueue& queue, uint8_t addr, int reg, uint16_t value) {
  int index = -1;
  for (int i = 0; i < CommandQueueSize && index < 0; ++i)
    if (queue[i].Pending != CommandFree && IsCommandRegister(queue[i].Reg)) index = i;
  const uint32_t replaced = index >= 0 ? queue[index].Id : 0;
  if (index < 0) index = FirstFree(queue, 1);
  if (index < 0) return {};
  Fill(queue, index, addr, reg);
  queue.CommandValue = value;
  return {true, index, replaced};
}

}  // namespace tessaro
