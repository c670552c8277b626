#pragma once
// The MQTT publisher as a face: the bus's devices pushed to [Mqtt] Broker (or
// --mqtt), with Home Assistant's discovery, from a thread of its own.

#include <memory>
#include <optional>
#include <string>

#include "faces/Face.h"
#include "mqtt/MqttHost.h"

namespace tessaro {

class TMqttFace final : public TFace {
 public:
  explicit TMqttFace(const TFaceEnv& env);

  void Start() override { FHost.Start(FSettings, FBroker); }
  void Stop() override { FHost.Stop(); }
  void Publish(int ticks) override { FHost.Tick(ticks); }
  void AnswerAccepted(uint8_t address) override { FHost.AnswerAccepted(address); }
  int IdleTicks() const override { return FHost.IdleTicks(); }

  mqtt::TMqttHost& Host() { return FHost; }

 private:
  const TSettings& FSettings;
  const std::optional<std::string> FBroker;
  mqtt::TMqttHost FHost;
};

// None when no broker is set.
std::unique_ptr<TFace> MakeMqttFace(const TFaceEnv& env);

}  // namespace tessaro
