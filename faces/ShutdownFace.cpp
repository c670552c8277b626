#include "faces/ShutdownFace.h"

#include "engine/Context.h"

namespace tessaro {

TShutdownFace::TShutdownFace(const TFaceEnv& env) : FWatch(env.Context) {
  FWatch.OnMessage = [say = env.Say](const std::string& text) {
    if (say) say({text, false});
  };
}

std::unique_ptr<TFace> MakeShutdownFace(const TFaceEnv& env) {
  const TSettings& s = env.Context.Settings;
  const bool served = !env.Overrides.NutListen.value_or(s.NutListen).empty();
  if (!served && s.ShutdownRules.empty() && s.ShutdownGroup.empty()) return nullptr;
  return std::make_unique<TShutdownFace>(env);
}

}  // namespace tessaro
