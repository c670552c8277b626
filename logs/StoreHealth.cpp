#include "logs/StoreHealth.h"

#include <utility>

#include "logs/DataLog.h"
#include "logs/EventLog.h"

namespace tessaro {

std::string TStoreResult::Text() const {
  if (Ok) return {};
  return What + " " + Path + ": " + Error.message();
}

TStoreHealth::TStoreHealth(const TClock& clock, int64_t minGapMs) : FClock(clock), FMinGapMs(minGapMs) {}

void TStoreHealth::Report(TStoreKind store, const TStoreResult& result) {
  TState& s = FStates[static_cast<size_t>(store)];
  s.Failing = !result.Ok;
  s.LastPath = result.Path;
  if (!result.Ok) {
    s.LastFailure = result;
    s.Unsettled += result.Lost;
    s.LostTotal += result.Lost;
  }
  Speak(store);
}

void TStoreHealth::Poll() {
  Speak(TStoreKind::EventLog);
  Speak(TStoreKind::DataLog);
}

void TStoreHealth::Flush() {
  Speak(TStoreKind::EventLog, true);
  Speak(TStoreKind::DataLog, true);
}

std::string TStoreHealth::LostSummary() const {
  const uint64_t events = Lost(TStoreKind::EventLog);
  const uint64_t data = Lost(TStoreKind::DataLog);
  if (events + data == 0) return {};
  return std::to_string(events) + " event log and " + std::to_string(data) + " data log records could not be written";
}

std::vector<std::string> TStoreHealth::TakeMessages() { return std::exchange(FMessages, {}); }

void TStoreHealth::Speak(TStoreKind store, bool force) {
  TState& s = FStates[static_cast<size_t>(store)];
  // Nothing new: the state is the one announced, and no failure went unmentioned.
  if (s.Failing == s.Announced && (s.Failing || s.Unsettled == 0)) return;
  const TDateTime now = FClock.Now();
  // A clock set back (or a change of daylight saving time) ends the interval.
  if (!force && s.HasSpoken && now >= s.LastMessage && (now - s.LastMessage) * 86'400'000.0 < static_cast<double>(FMinGapMs))
    return;

  const std::string name = store == TStoreKind::EventLog ? "event log" : "data log";
  if (s.Failing) {
    FMessages.push_back(name + ": " + s.LastFailure.Text() + "; records are lost until it can be written again");
  } else {
    const std::string lost = std::to_string(s.Unsettled) + (s.Unsettled == 1 ? " record was" : " records were");
    if (s.Announced)
      FMessages.push_back(name + ": writing again to " + s.LastPath + "; " + lost + " lost");
    else  // a failure that came and went within the interval
      FMessages.push_back(name + ": " + lost + " lost (" + s.LastFailure.Text() + "); writing again to " +
                          s.LastPath);
    s.Unsettled = 0;
  }
  s.Announced = s.Failing;
  s.HasSpoken = true;
  s.LastMessage = now;
}

void AttachStoreHealth(TStoreHealth& health, TEventLog& events, TDataLog& data) {
  events.OnResult = [&health](const TStoreResult& r) { health.Report(TStoreKind::EventLog, r); };
  data.OnResult = [&health](const TStoreResult& r) { health.Report(TStoreKind::DataLog, r); };
}

}  // namespace tessaro
