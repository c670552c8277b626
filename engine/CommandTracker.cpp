#include "engine/CommandTracker.h"

#include <algorithm>

namespace tessaro {

uint32_t TCommandTracker::Add(const TCommandRequest& request, int64_t nowMs) {
  if (FEntries.size() >= Capacity) {
    // At most a queue's worth of entries can be pending; the rest are done.
    auto victim = std::find_if(FEntries.begin(), FEntries.end(),
                               [](const TTrackedCommand& c) { return c.State != TCommandState::Pending; });
    FEntries.erase(victim == FEntries.end() ? FEntries.begin() : victim);
  }
  TTrackedCommand command;
  command.Id = FNextId++;
  if (FNextId == 0) FNextId = 1;
  command.Request = request;
  command.QueuedMs = nowMs;
  FEntries.push_back(command);
  Tell(command);
  return command.Id;
}

void TCommandTracker::Resolve(uint32_t id, TCommandState state, int64_t nowMs, uint8_t exceptionCode) {
  if (id == 0 || state == TCommandState::Pending) return;
  for (TTrackedCommand& c : FEntries) {
    if (c.Id != id) continue;
    if (c.State != TCommandState::Pending) return;
    c.State = state;
    c.ExceptionCode = state == TCommandState::Refused ? exceptionCode : 0;
    c.DoneMs = nowMs;
    Tell(c);
    return;
  }
}

void TCommandTracker::ConfirmLate(uint32_t id, int64_t nowMs) {
  for (TTrackedCommand& c : FEntries) {
    if (c.Id != id) continue;
    if (c.State != TCommandState::NotAnswered) return;
    c.State = TCommandState::ConfirmedLate;
    c.DoneMs = nowMs;
    Tell(c);
    return;
  }
}

const TTrackedCommand* TCommandTracker::Find(uint32_t id) const {
  for (const TTrackedCommand& c : FEntries)
    if (c.Id == id) return &c;
  return nullptr;
}

int TCommandTracker::Subscribe(TObserver observer) {
  FObservers.emplace_back(FNextToken, std::move(observer));
  return FNextToken++;
}

void TCommandTracker::Unsubscribe(int token) {
  std::erase_if(FObservers, [token](const auto& o) { return o.first == token; });
}

void TCommandTracker::Tell(const TTrackedCommand& command) {
  // A copy of both: an observer may subscribe or unsubscribe, and the entry
  // may move when a new one is added meanwhile.
  const TTrackedCommand told = command;
  const auto observers = FObservers;
  for (const auto& [token, observer] : observers) {
    const bool stillThere =
        std::any_of(FObservers.begin(), FObservers.end(), [t = token](const auto& o) { return o.first == t; });
    if (stillThere && observer) observer(told);
  }
}

}  // namespace tessaro
