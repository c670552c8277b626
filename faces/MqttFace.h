#pragma once
// The MQTT publisher as a face: the bus's devices pushed to [Mqtt] Broker (or
// --mqtt), with Home Assistant's discovery, from a thread of its own; with
// [Mqtt] Commands=1, device commands taken through the network server's path.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/NutControl.h"
#include "faces/Face.h"
#include "mqtt/MqttHost.h"

namespace tessaro {

class TMqttFace final : public TFace {
 public:
  explicit TMqttFace(const TFaceEnv& env);

  void Start() override { FHost.Start(FSettings, FBroker); }
  void Stop() override { FHost.Stop(); }
  void Publish(int ticks) override;
  void AnswerAccepted(uint8_t address) override { FHost.AnswerAccepted(address); }
  int IdleTicks() const override { return FHost.IdleTicks(); }

  mqtt::TMqttHost& Host() { return FHost; }

 private:
  struct TFollowed {
    uint8_t Address;
    const char* Name;
    uint32_t Id;
  };
  void Take(uint8_t address, const net::TNutCommandDef& command);
  void Result(uint8_t address, const char* command, const char* state, const std::string& outcome);

  const TFaceEnv& FEnv;
  const TSettings& FSettings;
  const std::optional<std::string> FBroker;
  mqtt::TMqttHost FHost;
  std::unique_ptr<TNutCommandHost> FCommands;  // with [Mqtt] Commands=1
  std::vector<TFollowed> FFollowed;            // queued, their outcome not yet published
};

// None when no broker is set.
std::unique_ptr<TFace> MakeMqttFace(const TFaceEnv& env);

}  // namespace tessaro
