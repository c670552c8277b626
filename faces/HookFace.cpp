#include "faces/HookFace.h"

#include "control/Shutdown.h"
#include "engine/Context.h"

namespace tessaro {

THookFace::THookFace(const TFaceEnv& env, const std::string& program)
    : FCtx(env.Context), FHooks(program, env.Context.DeviceList) {
  FHooks.OnFailure = [say = env.Say](const std::string& text) {
    if (say) say({text, false});
  };
  auto& observers = FCtx.EventLogger->Observers;
  FObserver = observers.size();
  observers.push_back([this](const EventRecord& rec) {
    const bool testing = FCtx.Tests.Running.count(rec.Address) != 0 || PowerReading(FCtx, rec.Address).Testing;
    FHooks.Enqueue(rec, testing);
  });
}

THookFace::~THookFace() {
  auto& observers = FCtx.EventLogger->Observers;
  if (FObserver < observers.size()) observers.erase(observers.begin() + static_cast<std::ptrdiff_t>(FObserver));
}

std::unique_ptr<TFace> MakeHookFace(const TFaceEnv& env) {
  const std::string& program = env.Context.Settings.HookOnEvent;
  if (program.empty()) return nullptr;
  if (const std::string refusal = hooks::HookRefusal(program); !refusal.empty()) {
    if (env.Say) env.Say({"event hook " + program + " not run: " + refusal, true});
    return nullptr;
  }
  return std::make_unique<THookFace>(env, program);
}

}  // namespace tessaro
