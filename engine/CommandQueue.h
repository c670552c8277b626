#pragma once
// Pending write commands: the mailbox from the windows to the engine. The
// parameter dialog and the battery-test and remote on/off windows fill entries
// and set CommandValue / ParamImage; the engine hands them, in index order, to a
// handler that takes commands (Modbus) before its next regular request. With
// the ASCII protocols the entries simply stay pending.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/UpsInfo.h"
#include "protocols/Handler.h"

namespace tessaro {

constexpr int CommandQueueSize = 10;
constexpr uint8_t CommandPending = 255;  // TCommandEntry::Pending: waiting
constexpr uint8_t CommandFree = 0;       // TCommandEntry::Pending: free

struct TCommandEntry {
  uint8_t Pending = CommandFree;  // 255 = waiting, 0 = free (any nonzero value counts as waiting)
  uint8_t Addr = 0;               // device address
  uint8_t Func = 0;               // Modbus function code (1..4, 6, 16 are built; others are dropped)
  int32_t Reg = 0;                // register in register-table numbering (20001, 40005, 50000 ...)
  int32_t Count = 0;              // register count, used by function 16 only
  uint32_t Id = 0;                // its entry in the command tracker; 0: not tracked
};

// The values that write requests send for holding registers 40002..40029:
// the same block as the device record's parameters.
using TParamImage = TDeviceParams;

// The program-wide CommandQueue with the CommandValue and ParamImage that its
// write requests carry. Entries are addressed by index: the parameter dialog
// uses entry 0 (and 1 for "GDS7100"), the test and on/off windows entry 1.
struct TCommandQueue {
  std::array<TCommandEntry, CommandQueueSize> Entries{};
  uint16_t CommandValue = 0;  // value written to the command registers 20001..20003
  TParamImage ParamImage{};

  TCommandEntry& operator[](int index) { return Entries[static_cast<std::size_t>(index)]; }
  // Frees the first pending entry, in index order, and returns it with the
  // values its write carries; nothing when no entry waits.
  std::optional<TWriteCommand> TakeFirst() {
    for (TCommandEntry& entry : Entries) {
      if (entry.Pending == CommandFree) continue;
      entry.Pending = CommandFree;
      return TWriteCommand{entry.Addr, entry.Func, entry.Reg, entry.Count, CommandValue, ParamImage, entry.Id};
    }
    return std::nullopt;
  }
  bool HasPending() const {
    return std::any_of(Entries.begin(), Entries.end(), [](const TCommandEntry& e) { return e.Pending != CommandFree; });
  }
  // Frees every waiting entry; returns the tracker ids of those that had one.
  std::vector<uint32_t> DropPending() {
    std::vector<uint32_t> ids;
    for (TCommandEntry& entry : Entries) {
      if (entry.Pending == CommandFree) continue;
      entry.Pending = CommandFree;
      if (entry.Id != 0) ids.push_back(entry.Id);
    }
    return ids;
  }
  const TCommandEntry& operator[](int index) const { return Entries[static_cast<std::size_t>(index)]; }
};

}  // namespace tessaro
