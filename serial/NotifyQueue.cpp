#include "serial/NotifyQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "serial/PortSession.h"

namespace tessaro {

TNotifyQueue::TNotifyQueue() {
  FEventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEventFd < 0) throw ECommsError(MsgUnableCreateEvent, errno);
}

TNotifyQueue::~TNotifyQueue() { close(FEventFd); }

bool TNotifyQueue::Post(TNotification n) noexcept {
  try {
    std::lock_guard lock(FMutex);
    FItems.push_back(std::move(n));
  } catch (...) {
    return false;
  }
  Signal();
  return true;
}

std::optional<TNotification> TNotifyQueue::TakeOne() {
  std::lock_guard lock(FMutex);
  if (FItems.empty()) return std::nullopt;
  TNotification n = std::move(FItems.front());
  FItems.pop_front();
  return n;
}

size_t TNotifyQueue::Size() const {
  std::lock_guard lock(FMutex);
  return FItems.size();
}

void TNotifyQueue::ClearReadiness() {
  uint64_t counter;
  (void)!read(FEventFd, &counter, sizeof counter);
}

void TNotifyQueue::Signal() {
  const uint64_t one = 1;
  // Fails only when the counter would overflow, and then it is readable anyway.
  (void)!write(FEventFd, &one, sizeof one);
}

void TNotifyQueue::Discard() {
  std::deque<TNotification> dropped;
  {
    std::lock_guard lock(FMutex);
    dropped.swap(FItems);
  }
  ClearReadiness();
}

void TNotifyQueue::DiscardReceived() {
  std::deque<TNotification> dropped;
  {
    std::lock_guard lock(FMutex);
    auto keep = std::stable_partition(FItems.begin(), FItems.end(),
                                      [](const TNotification& n) { return n.Code != NotifyDataReceived; });
    dropped.insert(dropped.end(), std::make_move_iterator(keep), std::make_move_iterator(FItems.end()));
    FItems.erase(keep, FItems.end());
  }
}

void DispatchPortNotifications(TNotifyQueue& queue, TSerialPort& port) {
  // Only what is pending now: a chatty line cannot keep the caller here. What
  // is left (or arrives meanwhile) leaves the fd readable.
  size_t budget = queue.Size();
  queue.ClearReadiness();
  struct TResignal {
    TNotifyQueue& Q;
    ~TResignal() {
      if (Q.Size() > 0) Q.Signal();
    }
  } resignal{queue};

  while (budget-- > 0) {
    std::optional<TNotification> n = queue.TakeOne();  // empty after a ClosePort in a callback
    if (!n) break;
    switch (n->Code) {
      case NotifyDataReceived:
        if (port.OnReceiveData) port.OnReceiveData(n->Data.data(), n->Value);
        break;
      case NotifyReceiveError:
        if (port.OnReceiveError) port.OnReceiveError(n->Value);
        break;
      case NotifyHangup:
        if (port.OnPortFailure) port.OnPortFailure(n->Failure);
        break;
      case NotifyModemState:
        if (port.OnModemStateChange) port.OnModemStateChange(n->Value);
        break;
      case NotifySendQueueEmpty:
        if (port.OnSendDataEmpty) port.OnSendDataEmpty();
        break;
      default: break;  // other codes are ignored
    }
  }
}

}  // namespace tessaro
