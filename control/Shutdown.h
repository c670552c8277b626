#pragma once
// The forced shutdown of devices, the monitor's side: a primary's FSD sets a
// device's flag (TContext::Forced), the flag is written with who set it to
// Record/ForcedShutdown.log beside the event log (whose fixed records have no
// room for a user or an address), and only the operator clears it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/ForcedShutdown.h"
#include "core/ShutdownPolicy.h"

namespace tessaro {

class TContext;

inline constexpr char ForcedShutdownLogName[] = "ForcedShutdown.log";

// One line appended to a file of the record directory, on the disk before
// this returns: the monitor may be about to go down. False, with the reason
// in `error`, when it could not be.
bool AppendRecordLine(const TContext& ctx, const char* name, const std::string& line, std::string& error);

// Sets the flag and logs it; false when it was set already. `error` says why
// the line could not be logged (the flag is set all the same).
bool ForceShutdown(TContext& ctx, int address, TForcedShutdownMark mark, std::string& error);

// Clears every flag and logs each with `by`; the addresses that were set.
std::vector<int> ClearForcedShutdown(TContext& ctx, const std::string& by, std::string& error);

// What a device's record tells the shutdown policy now.
TPowerReading PowerReading(const TContext& ctx, int address);

// Looks in on the forced shutdowns whenever the loop wakes, once a second:
// the shutdown policy of the settings, and an operator's request to clear
// them.
class TShutdownWatch {
 public:
  // Settings the policy cannot use are said by Start, and leave it off.
  explicit TShutdownWatch(TContext& ctx);
  std::function<void(const std::string&)> OnMessage;
  void Start();
  void Poll();

 private:
  void TakeClearRequest();
  void Say(const std::string& text) const {
    if (OnMessage) OnMessage(text);
  }
  TContext& FCtx;
  int64_t FNextCheckMs = 0;
  TShutdownPolicy FPolicy{{}, {}};
};

}  // namespace tessaro
