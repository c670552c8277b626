#pragma once
// The descriptors of a program loop without windows: SIGINT, SIGTERM and
// SIGHUP as a readable descriptor (so the loop handles them in order), and
// the 100 ms poll tick.

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

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

 private:
  int FSignals = -1;
  int FTicks = -1;
};

}  // namespace tessaro
