#pragma once
// The notification sink: the worker threads post, the owner's
// thread takes, in order. An eventfd is readable while anything is pending, so
// a poll() loop or a QSocketNotifier can wait on it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "serial/SerialPort.h"

namespace tessaro {

// Notification codes (the platform's first private message number + 1..5).
enum : uint16_t {
  NotifyDataReceived = 1025,
  NotifyReceiveError = 1026,
  NotifyHangup = 1027,
  NotifyModemState = 1028,
  NotifySendQueueEmpty = 1029,
};

struct TNotification {
  uint16_t Code = 0;
  uint32_t Value = 0;         // line-error flags or modem-event bits
  std::vector<uint8_t> Data;  // received bytes plus one zero byte
  TPortFailure Failure;       // for NotifyHangup
};

class TNotifyQueue {
 public:
  TNotifyQueue();  // throws ECommsError(MsgUnableCreateEvent) when no eventfd can be had
  ~TNotifyQueue();
  TNotifyQueue(const TNotifyQueue&) = delete;
  TNotifyQueue& operator=(const TNotifyQueue&) = delete;

  int Fd() const { return FEventFd; }

  // Any thread. False when out of memory.
  bool Post(TNotification n) noexcept;
  // Owner thread.
  std::optional<TNotification> TakeOne();
  size_t Size() const;
  // Makes Fd() unreadable until the next Post or Signal. Call before taking:
  // a Post racing with the taker then leaves Fd() readable (at worst for an
  // empty queue), never an item without readiness.
  void ClearReadiness();
  void Signal();
  void Discard();
  // Drops the received-data items only, keeping every other notification.
  void DiscardReceived();

 private:
  int FEventFd = -1;
  mutable std::mutex FMutex;
  std::deque<TNotification> FItems;
};

}  // namespace tessaro
