#include "faces/WebFace.h"

#include "engine/PollEngine.h"

namespace tessaro {

TWebFace::TWebFace(const TFaceEnv& env, web::TWebConfig config)
    : FConfig(std::move(config)), FHost(env.Context, [&engine = env.Engine] { return engine.PortIsOpen(); }) {
  FHost.OnMessage = [&env](const std::string& text) { env.Tell(text); };
  FHost.Parts = [shared = env.Shared] {
    std::vector<web::TPartHealth> parts;
    if (const TLinkState& m = shared->Mqtt; m.On) parts.push_back({"mqtt", m.What, m.Up, m.Since});
    return parts;
  };
}

std::unique_ptr<TFace> MakeWebFace(const TFaceEnv& env) {
  const TSettings& settings = env.Context.Settings;
  std::string listen = env.Overrides.WebListen.value_or(settings.WebListen);
  if (listen.empty()) return nullptr;
  return std::make_unique<TWebFace>(env, web::TWebConfig{std::move(listen), settings.WebUsersFile, settings.WebPublic});
}

}  // namespace tessaro
