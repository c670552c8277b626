#pragma once
// What the worker threads of one open port share with each other and with
// ClosePort: the close event, the write queue with its wake-up event, and the
// one failure report of an open. Both transports (Comm.h, NetComm.h) use it.

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "serial/NotifyQueue.h"
#include "serial/SerialPort.h"

namespace tessaro {

struct TPortSession {
  TPortSession(TNotifyQueue& notify, std::atomic<bool>& sendDataEmpty, size_t maxQueuedWrites)
      : Notify(notify), SendDataEmpty(sendDataEmpty), MaxQueuedWrites(maxQueuedWrites) {}
  ~TPortSession() { CloseEvents(); }
  TPortSession(const TPortSession&) = delete;
  TPortSession& operator=(const TPortSession&) = delete;

  int StopFd = -1;  // the close event: set once by ClosePort, never reset
  int WakeFd = -1;  // readable when a write request was queued
  TNotifyQueue& Notify;
  std::atomic<bool>& SendDataEmpty;
  const size_t MaxQueuedWrites;
  std::atomic<bool> FailureReported{false};

  std::mutex QueueMutex;
  std::deque<std::vector<uint8_t>> WriteQueue;

  // False with errno set when an event cannot be had.
  bool CreateEvents() {
    StopFd = eventfd(0, EFD_CLOEXEC);
    WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (StopFd >= 0 && WakeFd >= 0) return true;
    const int err = errno;
    CloseEvents();
    errno = err;
    return false;
  }
  void CloseEvents() {
    for (int* fd : {&StopFd, &WakeFd})
      if (*fd >= 0) {
        close(*fd);
        *fd = -1;
      }
  }
  void SetStop() {
    const uint64_t one = 1;
    if (StopFd >= 0) (void)!write(StopFd, &one, sizeof one);
  }
  void ClearWake() {
    uint64_t counter;
    (void)!read(WakeFd, &counter, sizeof counter);
  }

  // A port failure is reported once per open, by whichever thread meets it first.
  void ReportFailure(TPortFailureKind kind, int err, std::string text) noexcept {
    if (FailureReported.exchange(true)) return;
    try {
      TNotification n;
      n.Code = NotifyHangup;
      n.Failure = TPortFailure{kind, err, std::move(text)};
      Notify.Post(std::move(n));
    } catch (...) {
      TNotification n;  // no text: the string could not be had
      n.Code = NotifyHangup;
      n.Failure.Kind = TPortFailureKind::OutOfResources;
      Notify.Post(std::move(n));
    }
  }

  // False (and reported) when the notification cannot be posted.
  bool PostSendQueueEmpty() noexcept {
    if (Notify.Post({NotifySendQueueEmpty, 0, {}, {}})) return true;
    ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "Posting send-queue-empty failed");
    return false;
  }

  bool Enqueue(std::vector<uint8_t>&& bytes) {
    {
      std::lock_guard lock(QueueMutex);
      if (WriteQueue.size() >= MaxQueuedWrites) return false;
      WriteQueue.push_back(std::move(bytes));
      SendDataEmpty = false;
    }
    const uint64_t one = 1;
    (void)!write(WakeFd, &one, sizeof one);
    return true;
  }

  // The flag is set under the queue's lock so that it never reads True while a
  // request waits.
  bool TryDequeue(std::vector<uint8_t>& out) {
    std::lock_guard lock(QueueMutex);
    if (WriteQueue.empty()) {
      SendDataEmpty = true;
      return false;
    }
    out = std::move(WriteQueue.front());
    WriteQueue.pop_front();
    return true;
  }
};

// Runs the callbacks of the notifications pending now, in order, on the
// calling thread; what arrives meanwhile leaves the queue's fd readable.
void DispatchPortNotifications(TNotifyQueue& queue, TSerialPort& port);

}  // namespace tessaro
