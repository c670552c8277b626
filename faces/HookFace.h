#pragma once
// The event hooks as a face: [Hooks] OnEvent run for every event log record
// from the first on, driven by the engine's ticks.

#include <memory>

#include "faces/Face.h"
#include "hooks/EventHooks.h"

namespace tessaro {

class THookFace final : public TFace {
 public:
  THookFace(const TFaceEnv& env, const std::string& program);
  ~THookFace() override;

  void Tick() override { FHooks.Tick(); }
  // A hook running or waiting is looked after every tick.
  int IdleTicks() const override { return FHooks.Running() > 0 || FHooks.Queued() > 0 ? 0 : NoWork; }

  const hooks::TEventHooks& Hooks() const { return FHooks; }

 private:
  TContext& FCtx;
  hooks::TEventHooks FHooks;
  size_t FObserver = 0;  // its place in the event log's observers
};

// None without [Hooks] OnEvent, or when the program may not run (said, lasting).
std::unique_ptr<TFace> MakeHookFace(const TFaceEnv& env);

}  // namespace tessaro
