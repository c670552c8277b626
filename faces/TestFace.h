#pragma once
// Battery tests as a face: every test followed to its outcome and kept, and
// the tests the settings schedule started, looked in on once a second.

#include <memory>

#include "control/BatteryTests.h"
#include "faces/Face.h"

namespace tessaro {

class TTestFace final : public TFace {
 public:
  explicit TTestFace(const TFaceEnv& env);

  void Start() override { FWatch.Start(); }
  // Every host wakes at least once a second and runs the ticks it slept
  // through, which is as often as the watch looks in.
  void Tick() override { FWatch.Poll(); }

 private:
  TTestWatch FWatch;
};

// None while the protocol writes to no device and nothing is scheduled.
std::unique_ptr<TFace> MakeTestFace(const TFaceEnv& env);

}  // namespace tessaro
