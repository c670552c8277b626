#pragma once
// The web listener as a program hosts it: the feed the engine publishes to,
// the server, and a bind that is retried until it works. The host calls
// Tick from its 100 ms engine tick (headless loop or desktop timer) and
// AnswerAccepted from the engine's hook; everything else runs on the
// listener's own threads.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/WebFeed.h"
#include "web/WebServer.h"

namespace tessaro {
class TContext;
}

namespace tessaro::web {

class TWebHost {
 public:
  // `portOpen` tells whether the engine's serial port is open.
  TWebHost(const TContext& context, std::function<bool()> portOpen);
  ~TWebHost();

  // Starts the listener; an empty address leaves it off. False when the
  // settings are refused (reported through OnMessage, not retried). A bind
  // that fails is reported once and retried every RetryTicks ticks; its
  // success is reported once.
  bool Start(const TWebConfig& config);
  void Stop();
  // Publishes what the engine decoded; `ticks` is how many 100 ms ticks
  // passed since the last call (the retry delay counts them).
  void Tick(int ticks = 1);
  // Engine thread, at every Tick: the other parts the health check tells of.
  std::function<std::vector<TPartHealth>()> Parts;
  // The ticks a host may sleep through before the next retry is due.
  int IdleTicks() const { return FWanted && !FServer.Running() && FRetryCountdown > 0 ? FRetryCountdown - 1 : 1 << 20; }
  void AnswerAccepted(uint8_t address) { FFeed.AnswerAccepted(address); }

  bool Running() const { return FServer.Running(); }
  const std::string& Address() const { return FServer.Address(); }
  TWebServer& Server() { return FServer; }
  TWebFeed& Feed() { return FFeed; }

  std::function<void(const std::string&)> OnMessage;
  int RetryTicks = 50;

 private:
  void TryStart();
  void Say(const std::string& text) {
    if (OnMessage) OnMessage(text);
  }

  const TContext& FCtx;
  std::function<bool()> FPortOpen;
  TWebFeed FFeed;
  TWebServer FServer;
  bool FWanted = false;
  bool FFailing = false;  // the last try failed and was reported
  int FRetryCountdown = 0;
};

}  // namespace tessaro::web
