#pragma once
// Runs an operator's program for every event log record, without a shell:
// posix_spawn with an argument vector of the program alone, the record in
// TESSARO_* environment variables and no descriptor above 2 (whatever this
// program inherited). A program another user could change is not run. Polling never waits for it: a few hooks
// run at once, records of one device run one after another in log order
// (the rest wait in a queue), and a hook that overruns its time is killed.
// Driven by the caller's 100 ms tick; no thread of its own.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/DeviceList.h"
#include "logs/EventLog.h"

namespace tessaro::hooks {

// The environment entries ("NAME=value") describing one record:
// TESSARO_TIME (yyyy-mm-dd hh:mm:ss), TESSARO_ADDRESS, TESSARO_DEVICE (the
// device name in UTF-8, empty for program events), TESSARO_KIND (0 program
// or link, 1 state change, 2 alarm), TESSARO_CODE, TESSARO_ACTIVE (1 raised,
// 0 cleared; empty unless an alarm), TESSARO_TEXT (English) and
// TESSARO_TESTING (1 while the device runs a battery test, whose battery
// supply is no mains failure; 0 otherwise).
std::vector<std::string> RecordEnvironment(const EventRecord& record, const TDeviceList& devices,
                                           bool testing = false);

// Why `program` must not be run by this user: it, or a directory above it,
// belongs to another user or may be written by group or others (so someone
// else could put a program of theirs in its place), or it is not an
// executable plain file. Empty when it may run.
std::string HookRefusal(const std::string& program);

class TEventHooks {
 public:
  TEventHooks(std::string program, const TDeviceList& devices);
  // Hooks still running are left to finish (one may be shutting the machine
  // down, which is what ends this program); queued records are dropped.
  ~TEventHooks() = default;
  TEventHooks(const TEventHooks&) = delete;
  TEventHooks& operator=(const TEventHooks&) = delete;

  // Queues the record and starts it at once when it may run.
  void Enqueue(const EventRecord& record, bool testing = false);
  // Every 100 ms: collects finished hooks, kills overdue ones, starts queued.
  void Tick();

  size_t Running() const { return FRunning.size(); }
  size_t Queued() const { return FQueue.size(); }
  const std::string& Program() const { return FProgram; }

  int MaxRunning = 3;
  int TimeLimitTicks = 300;  // 30 s
  size_t MaxQueued = 1000;
  // Told of every failure: could not start, non-zero exit, killed, queue full.
  std::function<void(const std::string&)> OnFailure;

 private:
  struct TJob {
    uint8_t Address = 0;
    std::string Label;  // for messages: time, address, text
    std::vector<std::string> Env;
  };
  struct TRun {
    pid_t Pid = -1;
    uint8_t Address = 0;
    std::string Label;
    int Ticks = 0;
    bool Killed = false;
  };

  void StartQueued();
  bool Start(TJob& job);
  void Fail(const std::string& text);

  std::string FProgram;
  const TDeviceList& FDevices;
  std::deque<TJob> FQueue;
  std::vector<TRun> FRunning;
  size_t FDropped = 0;
};

}  // namespace tessaro::hooks
