#pragma once
// The web listener as a face: the dashboard, the JSON API and the metrics on
// [Web] Listen (or --web-listen), on threads of their own over a snapshot
// published every tick.

#include <memory>

#include "faces/Face.h"
#include "web/WebHost.h"

namespace tessaro {

class TWebFace final : public TFace {
 public:
  TWebFace(const TFaceEnv& env, web::TWebConfig config);

  void Start() override { FHost.Start(FConfig); }
  void Stop() override { FHost.Stop(); }
  // An answer reaches the pages at once, not at the next tick.
  void Publish(int ticks) override { FHost.Tick(ticks); }
  void AnswerAccepted(uint8_t address) override { FHost.AnswerAccepted(address); }
  int IdleTicks() const override { return FHost.IdleTicks(); }

  web::TWebHost& Host() { return FHost; }

 private:
  const web::TWebConfig FConfig;
  web::TWebHost FHost;
};

// None when the address is empty.
std::unique_ptr<TFace> MakeWebFace(const TFaceEnv& env);

}  // namespace tessaro
