#pragma once
// The descriptors of a program loop without windows: SIGINT, SIGTERM and
// SIGHUP as a readable descriptor (so the loop handles them in order), and
// the 100 ms poll tick: either every tick (StartTicks), or on a fixed grid
// that wakes the loop only for the tick asked for (StartGrid, WakeAtTick).

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

namespace tessaro {

class TLoopFds {
 public:
  TLoopFds() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    FSignals = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    FTicks = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  }
  ~TLoopFds() {
    if (FSignals >= 0) ::close(FSignals);
    if (FTicks >= 0) ::close(FTicks);
  }
  TLoopFds(const TLoopFds&) = delete;
  TLoopFds& operator=(const TLoopFds&) = delete;

  bool Ok() const { return FSignals >= 0 && FTicks >= 0; }
  int Signals() const { return FSignals; }
  int Ticks() const { return FTicks; }
  void StartTicks() const {
    const itimerspec every100ms{{0, 100'000'000}, {0, 100'000'000}};
    timerfd_settime(FTicks, 0, &every100ms, nullptr);
  }

  // Tick n of the grid falls n * 100 ms after StartGrid.
  void StartGrid() { clock_gettime(CLOCK_MONOTONIC, &FZero); }
  uint64_t TicksElapsed() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = (now.tv_sec - FZero.tv_sec) * 1'000'000'000LL + (now.tv_nsec - FZero.tv_nsec);
    return ns > 0 ? static_cast<uint64_t>(ns / TickNs) : 0;
  }
  // The tick descriptor becomes readable when tick n falls (at once if it has).
  void WakeAtTick(uint64_t n) const {
    const int64_t ns = FZero.tv_nsec + static_cast<int64_t>(n) * TickNs;
    const itimerspec at{{0, 0}, {FZero.tv_sec + ns / 1'000'000'000LL, ns % 1'000'000'000LL}};
    timerfd_settime(FTicks, TFD_TIMER_ABSTIME, &at, nullptr);
  }
  void ClearTicks() const {
    uint64_t expirations = 0;
    while (::read(FTicks, &expirations, sizeof expirations) == sizeof expirations) {
    }
  }

 private:
  int FSignals = -1;
  int FTicks = -1;
  timespec FZero{};
  static constexpr int64_t TickNs = 100'000'000;
};

}  // namespace tessaro
