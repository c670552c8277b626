#pragma once
// What the log stores tell about each append, and the watcher that turns the
// stream of those results into a few English messages for the operator: the
// first failure (with path and reason) and the recovery (with the number of
// records lost), at most one message per store per interval.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/Clock.h"

namespace tessaro {

class TEventLog;
class TDataLog;

// The outcome of one append of one or more records.
struct TStoreResult {
  bool Ok = true;
  std::string What;     // the step that failed: "cannot write", "cannot create", ...
  std::string Path;     // the file (or directory) written or failed on
  std::error_code Error;
  uint64_t Lost = 0;    // records of the append that are not in the file

  static TStoreResult Success(std::string path) { return {true, {}, std::move(path), {}, 0}; }
  static TStoreResult Failure(std::string what, std::string path, std::error_code error, uint64_t lost = 1) {
    return {false, std::move(what), std::move(path), error, lost};
  }
  // "cannot write /d/Record/EventLog.dat: No space left on device"; empty when Ok.
  std::string Text() const;
};

// What one write of a run of records came to: the records before `Written`
// are in the file, the others are lost (Result.Lost of them).
struct TWriteOutcome {
  size_t Written = 0;
  TStoreResult Result;
};

enum class TStoreKind : uint8_t { EventLog, DataLog };

class TStoreHealth {
 public:
  static constexpr int64_t DefaultGapMs = 60'000;

  explicit TStoreHealth(const TClock& clock, int64_t minGapMs = DefaultGapMs);

  // One append's result; its lost records are counted.
  void Report(TStoreKind store, const TStoreResult& result);
  // Says what the interval held back once it is over; call it on a timer.
  void Poll();
  // Says what is held back now, interval or not (at exit).
  void Flush();
  // The messages produced since the last call, oldest first.
  std::vector<std::string> TakeMessages();

  bool Failing(TStoreKind store) const { return State(store).Failing; }
  // Records lost since construction.
  uint64_t Lost(TStoreKind store) const { return State(store).LostTotal; }
  // "3 event log and 252 data log records could not be written"; empty when none was lost.
  std::string LostSummary() const;

 private:
  struct TState {
    bool Failing = false;
    bool Announced = false;   // the last message said "failing"
    bool HasSpoken = false;
    TDateTime LastMessage = 0;
    TStoreResult LastFailure;
    std::string LastPath;     // of the last append, failed or not
    uint64_t Unsettled = 0;   // lost records not yet counted in a recovery message
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
