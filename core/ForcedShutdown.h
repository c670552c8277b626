#pragma once
// The forced-shutdown flags of the devices, as a primary's FSD or the
// shutdown policy sets them. A flag stays set until the program restarts or
// an operator clears it: clients that saw FSD shut down and rely on it
// staying, so nothing clears it on its own.

#include <map>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace tessaro {

// Left in the data directory by `tessaro config clear-fsd` for the running
// monitor, which clears every flag and then removes it.
inline constexpr char ClearFsdRequestName[] = "ClearFSD.request";

struct TForcedShutdownMark {
  std::string By;    // "user \"admin\"" or "the shutdown policy"
  std::string From;  // the peer address, or "" for the monitor itself
  TDateTime At = 0;
};

class TForcedShutdown {
 public:
  bool IsSet(int address) const { return FMarks.count(address) != 0; }
  // The first setter is kept; false when the flag was set already.
  bool Set(int address, TForcedShutdownMark mark);
  const TForcedShutdownMark* Mark(int address) const;
  // Clears every flag; the addresses that were set, in order.
  std::vector<int> Clear();
  bool Any() const { return !FMarks.empty(); }

 private:
  std::map<int, TForcedShutdownMark> FMarks;
};

// One line for the operator: "2026-12-11 11:02:03  ups1  forced shutdown by
// user \"admin\" from 127.0.0.1".
std::string ForcedShutdownLine(int address, const TForcedShutdownMark& mark);

}  // namespace tessaro
