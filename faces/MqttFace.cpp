#include "faces/MqttFace.h"

#include "control/Control.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "web/Json.h"

namespace tessaro {

namespace {

const char* StateName(net::TNutOutcome outcome) {
  switch (outcome) {
    case net::TNutOutcome::Pending: return "pending";
    case net::TNutOutcome::Success: return "success";
    case net::TNutOutcome::InvalidArgument: return "invalid-argument";
    case net::TNutOutcome::Failed: return "failed";
    case net::TNutOutcome::Unknown: break;
  }
  return "unknown";
}

}  // namespace

TMqttFace::TMqttFace(const TFaceEnv& env)
    : FEnv(env),
      FSettings(env.Context.Settings),
      FBroker(env.Overrides.Mqtt),
      FHost(env.Context, [&engine = env.Engine] { return engine.PortIsOpen(); }) {
  FEnv.Shared->Mqtt.What = "broker " + FBroker.value_or(FSettings.MqttBroker);
  FHost.OnMessage = [say = env.Say](const std::string& text) {
    if (say) say({text, false});
  };
  if (!FSettings.MqttCommands) return;
  // The network server's checks and queue; its users file has no say here.
  const auto tell = [&env](const std::string& text) { env.Tell(text); };
  FCommands = MakeNutCommandHost(
      env.Context, [&engine = env.Engine] { return engine.PortIsOpen(); }, tell, nullptr);
  FHost.OnCommand = [this](uint8_t address, const net::TNutCommandDef& command) { Take(address, command); };
}

void TMqttFace::Publish(int ticks) {
  FHost.Tick(ticks);
  TLinkState& link = FEnv.Shared->Mqtt;
  link.On = FHost.Running();
  if (link.On && link.Up != FHost.Connected()) {
    link.Up = !link.Up;
    link.Since = FEnv.Context.Clock.Now();
  }
  for (auto it = FFollowed.begin(); it != FFollowed.end();) {
    const TTrackedCommand* tracked = FEnv.Context.Commands.Find(it->Id);
    const net::TNutOutcome outcome = NutOutcome(tracked);
    if (outcome == net::TNutOutcome::Pending) {
      ++it;
      continue;
    }
    const std::string text = tracked ? OutcomeText(*tracked, 0) : "no longer tracked";
    FEnv.Tell("MQTT command " + std::string(it->Name) + " for ups" + std::to_string(it->Address) + ": " + text);
    Result(it->Address, it->Name, StateName(outcome), text);
    it = FFollowed.erase(it);
  }
}

void TMqttFace::Take(uint8_t address, const net::TNutCommandDef& command) {
  const net::TNutControl& c = FCommands->Control;
  const std::string said = "MQTT command " + std::string(command.Name) + " for ups" + std::to_string(address);
  if (!c.Offers(address)) {
    FEnv.Tell(said + " refused: this protocol takes no commands");
    return Result(address, command.Name, "refused", "this protocol takes no commands");
  }
  const net::TNutQueued queued = c.Queue(address, command.Command, nullptr);
  if (queued.Id == 0) {
    FEnv.Tell(said + " refused: " + queued.Reason);
    return Result(address, command.Name, "refused", queued.Reason);
  }
  FEnv.Tell(said + " queued");
  Result(address, command.Name, "pending", "queued");
  FFollowed.push_back({address, command.Name, queued.Id});
}

void TMqttFace::Result(uint8_t address, const char* command, const char* state, const std::string& outcome) {
  web::TJson j;
  j.BeginObject().Key("command").String(command).Key("outcome").String(outcome).Key("state").String(state);
  FHost.PublishResult(address, j.EndObject().Take());
}

std::unique_ptr<TFace> MakeMqttFace(const TFaceEnv& env) {
  if (env.Overrides.Mqtt.value_or(env.Context.Settings.MqttBroker).empty()) return nullptr;
  return std::make_unique<TMqttFace>(env);
}

}  // namespace tessaro
