#pragma once
// What the log stores tell about each append, and the watcher that turns the
// stream of those results into a few English messages for the operator: the
// first failure (with path and reason) and the recovery (with the number of
// records lost), at most one message per store per interval.

#include <array>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/Clock.h"

namespace tessaro {

class TEventLog;
class TDataLog;

// The outcome of one append.
struct TStoreResult {
  bool Ok = true;
  std::string What;     // the step that failed: "cannot write", "cannot create", ...
  std::string Path;     // the file (or directory) written or failed on
  std::error_code Error;

  static TStoreResult Success(std::string path) { return {true, {}, std::move(path), {}}; }
  static TStoreResult Failure(std::string what, std::string path, std::error_code error) {
    return {false, std::move(what), std::move(path), error};
  }
  // "cannot write /d/Record/EventLog.dat: No space left on device"; empty when Ok.
  std::string Text() const;
};

enum class TStoreKind : uint8_t { EventLog, DataLog };

class TStoreHealth {
 public:
  static constexpr int64_t DefaultGapMs = 60'000;

  explicit TStoreHealth(const TClock& clock, int64_t minGapMs = DefaultGapMs);

  // One append's result.
  void Report(TStoreKind store, const TStoreResult& result);
  // Says what the interval held back once it is over; call it on a timer.
  void Poll();
  // Says what is held back now, interval or not (at exit).
  void Flush();
  // The messages produced since the last call, oldest first.
  std::vector<std::string> TakeMessages();

  bool Failing(TStoreKind store) const { return State(store).Failing; }
  // Appends that failed since construction (their records are lost).
  uint64_t Lost(TStoreKind store) const { return State(store).LostTotal; }

 private:
  struct TState {
    bool Failing = false;
    bool Announced = false;   // the last message said "failing"
    bool HasSpoken = false;
    TDateTime LastMessage = 0;
    TStoreResult LastFailure;
    std::string LastPath;     // of the last append, failed or not
    uint64_t Unsettled = 0;   // failures not yet counted in a recovery message
    uint64_t LostTotal = 0;
  };
  const TState& State(TStoreKind store) const { return FStates[static_cast<size_t>(store)]; }
  void Speak(TStoreKind store, bool force = false);

  const TClock& FClock;
  const int64_t FMinGapMs;
  std::array<TState, 2> FStates{};
  std::vector<std::string> FMessages;
};

// Sends every append result of both stores to `health`.
void AttachStoreHealth(TStoreHealth& health, TEventLog& events, TDataLog& data);

}  // namespace tessaro
