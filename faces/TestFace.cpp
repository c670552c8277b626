#include "faces/TestFace.h"

#include "control/Control.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"

namespace tessaro {

TTestFace::TTestFace(const TFaceEnv& env)
    : FWatch(env.Context, [&engine = env.Engine] { return engine.PortIsOpen(); }) {
  FWatch.OnMessage = [say = env.Say](const std::string& text) {
    if (say) say({text, false});
  };
}

std::unique_ptr<TFace> MakeTestFace(const TFaceEnv& env) {
  const TSettings& s = env.Context.Settings;
  if (!ProtocolTakesCommands(s.PortInfo.Protocol) && s.TestSchedule.empty()) return nullptr;
  return std::make_unique<TTestFace>(env);
}

}  // namespace tessaro
