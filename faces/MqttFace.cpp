#include "faces/MqttFace.h"

#include "engine/Context.h"
#include "engine/PollEngine.h"

namespace tessaro {

TMqttFace::TMqttFace(const TFaceEnv& env)
    : FSettings(env.Context.Settings),
      FBroker(env.Overrides.Mqtt),
      FHost(env.Context, [&engine = env.Engine] { return engine.PortIsOpen(); }) {
  FHost.OnMessage = [say = env.Say](const std::string& text) {
    if (say) say({text, false});
  };
}

std::unique_ptr<TFace> MakeMqttFace(const TFaceEnv& env) {
  if (env.Overrides.Mqtt.value_or(env.Context.Settings.MqttBroker).empty()) return nullptr;
  return std::make_unique<TMqttFace>(env);
}

}  // namespace tessaro
