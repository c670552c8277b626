#pragma once
// The MQTT publisher as a program hosts it. The engine's thread only makes a
// snapshot in Tick and hears reports there; everything that talks to the
// broker (libmosquitto's loop, connects with back-off, publishing) runs on a
// thread of its own, so a broker that is slow, unreachable or gone never
// holds up polling.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/MqttConfig.h"
#include "mqtt/MqttModel.h"
#include "net/NutCommands.h"
#include "web/WebFeed.h"

struct mosquitto;
struct mosquitto_message;

namespace tessaro {
class TContext;
}

namespace tessaro::mqtt {

class TMqttHost {
 public:
  // `portOpen` tells whether the engine's serial port is open.
  TMqttHost(const TContext& context, std::function<bool()> portOpen);
  ~TMqttHost();
  TMqttHost(const TMqttHost&) = delete;
  TMqttHost& operator=(const TMqttHost&) = delete;

  // [Mqtt] of the settings, with `broker` (--mqtt) in place of Broker when
  // given. An empty broker leaves the publisher off. False when a setting or
  // the password file is refused (reported through OnMessage, not retried).
  bool Start(const TSettings& settings, const std::optional<std::string>& broker);
  bool Start(const TMqttConfig& config);
  // Says `offline` on the bus topic, within a bound, and disconnects.
  void Stop();
  // Engine thread: publishes what the engine decoded for the publisher's
  // thread and passes on its reports; `ticks` 100 ms ticks passed since the
  // last call.
  void Tick(int ticks = 1);
  // The ticks a host may sleep through: nothing here waits on a tick.
  int IdleTicks() const { return 1 << 20; }
  void AnswerAccepted(uint8_t address) { FFeed.AnswerAccepted(address); }

  bool Running() const { return FThread.joinable(); }
  bool Connected() const { return FConnected; }

  std::function<void(const std::string&)> OnMessage;
  // Engine thread, from Tick: a command received on a device's command
  // topic (with [Mqtt] Commands=1 only).
  std::function<void(uint8_t address, const net::TNutCommandDef& command)> OnCommand;
  // What became of a command, for the device's result topic; sent when connected.
  void PublishResult(uint8_t address, std::string payload);
  // Back-off between connection attempts: doubles from the first to the last.
  int FirstRetryMs = 1000;
  int LastRetryMs = 30000;
  // Publishes the broker has not taken yet beyond which new ones wait.
  int MaxOutstanding = 1000;
  // Commands received and not yet handed to the engine beyond which more are dropped.
  static constexpr size_t MaxCommandsWaiting = 16;

 private:
  struct TPublished {
    std::string Availability;
    std::string Payload;
    int64_t At = 0;  // monotonic ms of the last state publish
    bool Announced = false;
  };

  void Run();
  void Attempt();
  void Fail(const std::string& reason);
  // Why libmosquitto gave `rc`, with what it logged and what TLS needs.
  std::string Reason(int rc, int error) const;
  void Drop();
  void PublishDue();
  void Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
  void Remove(uint8_t address);
  void TakeCommand(uint8_t address, const mosquitto_message& message);
  void Dropped(const std::string& why);
  void Say(const std::string& text);     // engine thread
  void Report(const std::string& text);  // publisher's thread: said at the next Tick
  void PassOnReports();
  void Sleep(int ms);

  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  static void OnPublish(mosquitto* m, void* self, int mid);
  static void OnMessageIn(mosquitto* m, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto* m, void* self, int level, const char* text);

  const TContext& FCtx;
  std::function<bool()> FPortOpen;
  web::TWebFeed FFeed;
  TMqttConfig FConfig;
  std::string FPassword;
  bool FHasPassword = false;

  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FConnected{false};
  std::mutex FMutex;  // FReports, FCommandsIn, FResultsOut and the sleep
  std::condition_variable FWake;
  std::vector<std::string> FReports;
  std::vector<std::pair<uint8_t, const net::TNutCommandDef*>> FCommandsIn;
  std::vector<TMessage> FResultsOut;

  // The publisher's thread only.
  enum class TState { Idle, Connecting, Connected };
  mosquitto* FMosq = nullptr;
  TState FState = TState::Idle;
  int64_t FNextAttemptMs = 0;
  int64_t FConnectStartMs = 0;
  int FRetryMs = 0;
  bool FFailing = false;     // a failure was reported and no success since
  bool FEverConnected = false;
  int FFailedTries = 0;
  std::string FLost;         // set by a callback: the connection ended, why
  std::string FLastLogError;  // libmosquitto's last error line (TLS says why here)
  bool FAnnounceAll = false;   // Home Assistant asked for the configs again
  int64_t FAnnouncedAllAt = -1000000;
  uint64_t FLastSequence = 0;
  int FOutstanding = 0;
  std::map<uint8_t, TPublished> FDevices;
  std::set<uint8_t> FOnBroker;  // devices the broker holds an availability of
  std::set<uint8_t> FCleaned;   // entities of other protocols emptied this run
  bool FDropSaid = false;       // a dropped command was reported; later ones are not
};

}  // namespace tessaro::mqtt
