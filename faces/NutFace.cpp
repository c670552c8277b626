#include "faces/NutFace.h"

#include "engine/PollEngine.h"

namespace tessaro {

TNutFace::TNutFace(const TFaceEnv& env, std::string address) : FEnv(env), FAddress(std::move(address)) {}

void TNutFace::Start() {
  TContext& ctx = FEnv.Context;
  const auto tell = [&env = FEnv](const std::string& text) { env.Tell(text); };
  // Each device command is said like the server's own messages.
  auto commands = MakeNutCommandHost(ctx, [&engine = FEnv.Engine] { return engine.PortIsOpen(); }, tell, tell);
  auto server = std::make_unique<net::TNutServer>(
      net::TNutSource{ctx.UpsInfo, ctx.DeviceList, ctx.Settings, ctx.Freshness(), &commands->Control, &ctx.Tests}, ctx.Clock);
  server->OnMessage = tell;
  if (std::string error; !server->Start(FAddress, error)) {
    FEnv.Tell("network UPS server not started: " + error);
    return;
  }
  FCommands = std::move(commands);
  FServer = std::move(server);
}

std::unique_ptr<TFace> MakeNutFace(const TFaceEnv& env) {
  std::string address = env.Overrides.NutListen.value_or(env.Context.Settings.NutListen);
  if (address.empty()) return nullptr;
  return std::make_unique<TNutFace>(env, std::move(address));
}

}  // namespace tessaro
