#include "core/LinePrinter.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace tessaro {

struct TLinePrinter::TShared {
  int Fd = -1;
  int NoticeFd = -1;
  std::function<std::string(uint64_t)> Notice;
  size_t Capacity = 0;

  std::mutex Mutex;
  std::condition_variable Wake;  // the printer: lines or the end
  std::condition_variable Idle;  // Stop: the thread ended
  std::vector<std::string> Queue;
  uint64_t DroppedTotal = 0;
  uint64_t Untold = 0;  // dropped since the last notice
  bool Stopping = false;
  bool Ended = false;
  std::atomic<bool> GiveUp{false};  // Stop's bound has passed: drop the rest

  void Drop() {
    std::lock_guard lock(Mutex);
    ++DroppedTotal;
    ++Untold;
  }
};

namespace {

// Waits for room in short steps so that a give-up is seen, then writes; a
// descriptor someone else made non-blocking is waited for the same way.
// False when the output is gone or the printer gives up.
bool WriteWhole(int fd, const std::string& text, const std::atomic<bool>& giveUp) {
  size_t done = 0;
  while (done < text.size()) {
    if (giveUp.load()) return false;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (p.revents & POLLNVAL) return false;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;  // EPIPE: no reader any more
    }
  }
  return true;
}

}  // namespace

TLinePrinter::TLinePrinter(int fd, int noticeFd, std::function<std::string(uint64_t)> notice, size_t capacity)
    : FShared(std::make_shared<TShared>()) {
  FShared->Fd = fd;
  FShared->NoticeFd = noticeFd;
  FShared->Notice = std::move(notice);
  FShared->Capacity = capacity;
  FThread = std::thread(Run, FShared);
}

TLinePrinter::~TLinePrinter() { Stop(); }

void TLinePrinter::Run(std::shared_ptr<TShared> s) {
  std::unique_lock lock(s->Mutex);
  for (;;) {
    s->Wake.wait(lock, [&] { return s->Stopping || !s->Queue.empty(); });
    if (s->Queue.empty()) break;
    std::vector<std::string> batch;
    batch.swap(s->Queue);
    lock.unlock();
    for (const std::string& line : batch) {
      if (!WriteWhole(s->Fd, line, s->GiveUp)) {
        s->Drop();
        continue;
      }
      uint64_t untold;
      {
        std::lock_guard g(s->Mutex);
        untold = std::exchange(s->Untold, 0);
      }
      // Output flows again: say once what it missed.
      if (untold > 0 && s->Notice) WriteWhole(s->NoticeFd, s->Notice(untold) + "\n", s->GiveUp);
    }
    lock.lock();
  }
  s->Ended = true;
  s->Idle.notify_all();
}

void TLinePrinter::Print(std::string line) {
  line += '\n';
  std::lock_guard lock(FShared->Mutex);
  if (FShared->Stopping || FShared->Queue.size() >= FShared->Capacity) {
    ++FShared->DroppedTotal;
    ++FShared->Untold;
    return;
  }
  FShared->Queue.push_back(std::move(line));
  FShared->Wake.notify_one();
}

bool TLinePrinter::Stop(std::chrono::milliseconds bound) {
  if (!FThread.joinable()) return Dropped() == 0;
  bool ended;
  {
    std::unique_lock lock(FShared->Mutex);
    FShared->Stopping = true;
    FShared->Wake.notify_all();
    ended = FShared->Idle.wait_for(lock, bound, [this] { return FShared->Ended; });
    if (!ended) {
      // Drops the rest; only a write() the output never returns from keeps it.
      FShared->GiveUp = true;
      ended = FShared->Idle.wait_for(lock, std::chrono::milliseconds(500), [this] { return FShared->Ended; });
    }
  }
  if (ended)
    FThread.join();
  else
    FThread.detach();

  uint64_t untold;
  {
    std::lock_guard lock(FShared->Mutex);
    untold = std::exchange(FShared->Untold, 0);
  }
  if (untold > 0 && FShared->Notice) {
    // The last word, given only if the notice output takes it now.
    const std::string text = FShared->Notice(untold) + "\n";
    pollfd p{FShared->NoticeFd, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && ::write(FShared->NoticeFd, text.data(), text.size()) < 0) {
      // Nowhere left to say it.
    }
  }
  return Dropped() == 0;
}

uint64_t TLinePrinter::Dropped() const {
  std::lock_guard lock(FShared->Mutex);
  return FShared->DroppedTotal;
}

}  // namespace tessaro
