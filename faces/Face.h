#pragma once
// What the composition root (faces/Faces.h) asks of every face it attaches:
// the network UPS server, the web listener, the event hooks and whatever
// comes next. A face is built from the settings, lives as long as the
// engine runs, and is driven by the host's loop (the daemon's poll loop or
// the desktop's timers) through these calls only.

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaro {

class TContext;
class TPollEngine;

// What a face tells the operator. Lasting: a face the settings ask for will
// not run at all, which the desktop keeps on show longer.
struct TFaceMessage {
  std::string Text;
  bool Lasting = false;
};
using TFaceSay = std::function<void(const TFaceMessage&)>;

// The command line's listen addresses, put over the settings when given.
struct TFaceOverrides {
  std::optional<std::string> NutListen;
  std::optional<std::string> WebListen;
  std::optional<std::string> Mqtt;  // the broker
};

// A link a face keeps to elsewhere, as the others show it (the health check).
struct TLinkState {
  bool On = false;  // the face runs one
  bool Up = false;
  double Since = 0;  // TDateTime of the last change; 0: since the start
  std::string What;  // "broker mqtt://host:1883"
};

// What faces set for the others to show, on the engine's thread.
struct TFaceShared {
  TLinkState Mqtt;
};

// What the root hands every face; state the faces share (a forced shutdown
// one face sets and the others show) belongs here too.
struct TFaceEnv {
  TContext& Context;
  TPollEngine& Engine;
  TFaceOverrides Overrides;
  TFaceSay Say;
  std::shared_ptr<TFaceShared> Shared;

  void Tell(const std::string& text) const {
    if (Say) Say({text, false});
  }
};

class TFace {
 public:
  virtual ~TFace() = default;

  // After the engine has started: listeners bind.
  virtual void Start() {}
  // Before the engine shuts down: listeners close.
  virtual void Stop() {}
  // After every engine tick, late ones included.
  virtual void Tick() {}
  // Once a host pass that ran ticks or heard an answer; `ticks` counts the
  // ticks since the last call (0: an answer came in between two ticks).
  virtual void Publish(int /*ticks*/) {}
  virtual void AnswerAccepted(uint8_t /*address*/) {}
  // How many coming ticks the host may sleep through for this face.
  virtual int IdleTicks() const { return NoWork; }

  // A face served on the host's thread: while Serves(), the host runs Serve
  // when its descriptors are readable (a poll loop) or every few ms (the
  // desktop), and no later than ServeDueInMs (-1: nothing due).
  virtual bool Serves() const { return false; }
  virtual void AppendPollFds(std::vector<pollfd>& /*fds*/) const {}
  virtual int ServeDueInMs() const { return -1; }
  virtual void Serve() {}

  static constexpr int NoWork = 1 << 20;
};

}  // namespace tessaro
