#pragma once
// Forced shutdowns as a face: the shutdown policy of the settings, and the
// operator's request to clear the flags, looked in on once a second.

#include <memory>

#include "control/Shutdown.h"
#include "faces/Face.h"

namespace tessaro {

class TShutdownFace final : public TFace {
 public:
  explicit TShutdownFace(const TFaceEnv& env);

  void Start() override { FWatch.Start(); }
  // Every host wakes at least once a second and runs the ticks it slept
  // through, which is as often as the watch looks in.
  void Tick() override { FWatch.Poll(); }

 private:
  TShutdownWatch FWatch;
};

// None while nothing can force a shutdown: no network UPS server and no
// shutdown policy.
std::unique_ptr<TFace> MakeShutdownFace(const TFaceEnv& env);

}  // namespace tessaro
