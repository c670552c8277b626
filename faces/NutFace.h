#pragma once
// The network UPS server as a face: every configured device served on
// [Network] NutListen (or --nut-listen) from the host's own thread, device
// commands through the windows' path for the users of its users file.

#include <memory>
#include <string>

#include "control/NutControl.h"
#include "faces/Face.h"
#include "net/NutServer.h"

namespace tessaro {

class TNutFace final : public TFace {
 public:
  TNutFace(const TFaceEnv& env, std::string address);

  // An address that cannot be bound yet is tried again from Serve; one that
  // can never work is said, and the face stays off.
  void Start() override;
  bool Serves() const override { return FServer != nullptr; }
  void AppendPollFds(std::vector<pollfd>& fds) const override { FServer->AppendPollFds(fds); }
  int ServeDueInMs() const override { return FServer->NextTimeoutMs(); }
  void Serve() override { FServer->Process(); }

  // Null until started, and when the address can never work.
  const net::TNutServer* Server() const { return FServer.get(); }

 private:
  const TFaceEnv& FEnv;
  const std::string FAddress;
  std::unique_ptr<TNutCommandHost> FCommands;  // outlives FServer, which points into it
  std::unique_ptr<net::TNutServer> FServer;
};

// None when the address is empty.
std::unique_ptr<TFace> MakeNutFace(const TFaceEnv& env);

}  // namespace tessaro
