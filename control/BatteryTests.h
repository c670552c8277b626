#pragma once
// Battery tests, the monitor's side: every test (the windows', the
// network's, the schedule's) is followed to its end; each scheduled test goes through the
// same checks and queue as the battery test window's, never while a device
// on the bus runs on battery or the device does not answer, and its outcome
// is appended to Record/BatteryTest.log (core/TestSchedule.h) and kept in
// TContext::Tests for the network UPS server, the web page and the API.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/TestSchedule.h"
#include "engine/CommandTracker.h"

namespace tessaro {

class TContext;

// The record's outcomes into ctx.Tests; a record that cannot be read is said.
void LoadTestOutcomes(TContext& ctx, std::string& error);

class TTestWatch {
 public:
  TTestWatch(TContext& ctx, std::function<bool()> portOpen);
  ~TTestWatch();
  TTestWatch(const TTestWatch&) = delete;
  TTestWatch& operator=(const TTestWatch&) = delete;
  std::function<void(const std::string&)> OnMessage;
  // Reads the record and the settings; a schedule it cannot use is said and
  // left off.
  void Start();
  // Looked in on once a second.
  void Poll();

 private:
  struct TRun {
    uint32_t Id = 0;
    int Seconds = 0;
    int64_t ConfirmedMs = -1;
    TTestOutcome Outcome;
  };
  TTestBlock Block(int address) const;
  TTestBattery Battery(int address) const;
  void Begin(int address);
  void Track(uint32_t id, const TCommandRequest& request);
  // True once the run is over and recorded.
  bool Follow(TRun& run, int64_t nowMs);
  void Finish(TRun& run);
  void Say(const std::string& text) const {
    if (OnMessage) OnMessage(text);
  }

  TContext& FCtx;
  std::function<bool()> FPortOpen;
  std::unique_ptr<TTestSchedule> FSchedule;
  std::vector<TRun> FRuns;
  int64_t FNextCheckMs = 0;
  int FToken = 0;
};

}  // namespace tessaro
