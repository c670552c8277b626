#include "mqtt/MqttHost.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/Version.h"
#include "engine/Context.h"
#include "web/WebModel.h"

namespace tessaro::mqtt {

namespace {

// How long the loop waits for the socket before it looks at the snapshot
// again: a value is on its way within this of being decoded, and an idle
// publisher wakes twice a second.
constexpr int LoopMs = 500;
// How long an orderly stop waits for the broker to take the last messages.
constexpr int64_t StopBoundMs = 2000;
// Home Assistant's restarts are announced to at most this often.
constexpr int64_t AnnounceAgainMs = 10000;

std::string LoopReason(int rc, int error) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(error);
  return mosquitto_strerror(rc);
}

}  // namespace

TMqttHost::TMqttHost(const TContext& context, std::function<bool()> portOpen)
    : FCtx(context), FPortOpen(std::move(portOpen)), FFeed(context.Clock) {}

TMqttHost::~TMqttHost() { Stop(); }

bool TMqttHost::Start(const TSettings& settings, const std::optional<std::string>& broker) {
  std::string why;
  const std::optional<TMqttConfig> config = MakeConfig(settings, broker, HostName(), why);
  if (!config) {
    if (!why.empty()) Say("MQTT publisher not started: " + why);
    return why.empty();
  }
  return Start(*config);
}

bool TMqttHost::Start(const TMqttConfig& config) {
  if (Running()) return true;
  FConfig = config;
  FHasPassword = !config.PasswordFile.empty();
  if (FHasPassword) {
    std::string why;
    const std::optional<std::string> password = ReadPasswordFile(config.PasswordFile, why);
    if (!password) {
      Say("MQTT publisher not started: " + why);
      return false;
    }
    FPassword = *password;
  }
  mosquitto_lib_init();
  // What the first connect publishes is the table as it is now.
  FFeed.Publish(FCtx, FPortOpen());
  FStop = false;
  FThread = std::thread(&TMqttHost::Run, this);
  return true;
}

void TMqttHost::Stop() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
  mosquitto_lib_cleanup();
  PassOnReports();
}

void TMqttHost::Tick(int) {
  if (!FThread.joinable()) return;
  FFeed.Publish(FCtx, FPortOpen());
  PassOnReports();
}

void TMqttHost::PassOnReports() {
  std::vector<std::string> reports;
  {
    std::lock_guard lock(FMutex);
    reports.swap(FReports);
  }
  for (const std::string& line : reports)
    if (OnMessage) OnMessage(line);
  std::vector<std::pair<uint8_t, const net::TNutCommandDef*>> commands;
  {
    std::lock_guard lock(FMutex);
    commands.swap(FCommandsIn);
  }
  for (const auto& [address, def] : commands)
    if (OnCommand) OnCommand(address, *def);
}

void TMqttHost::PublishResult(uint8_t address, std::string payload) {
  std::lock_guard lock(FMutex);
  // Nobody reads them while the broker is away: the newest few are enough.
  if (FResultsOut.size() >= MaxCommandsWaiting) FResultsOut.erase(FResultsOut.begin());
  FResultsOut.push_back({ResultTopic(FConfig, address), std::move(payload)});
}

void TMqttHost::Say(const std::string& text) {
  if (OnMessage) OnMessage(text);
}

void TMqttHost::Report(const std::string& text) {
  std::lock_guard lock(FMutex);
  FReports.push_back(text);
}

void TMqttHost::Sleep(int ms) {
  std::unique_lock lock(FMutex);
  FWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FStop.load(); });
}

// ---- the publisher's thread --------------------------------------------------

void TMqttHost::Run() {
  const TClock& clock = FFeed.Clock();
  while (!FStop) {
    const int64_t now = clock.MonotonicMs();
    if (!FMosq) {
      if (now < FNextAttemptMs) {
        Sleep(static_cast<int>(std::min<int64_t>(FNextAttemptMs - now, 1000)));
        continue;
      }
      Attempt();
      continue;
    }
    const int rc = mosquitto_loop(FMosq, LoopMs, 1);
    const int error = errno;
    if (!FLost.empty()) {
      Fail(FLost);
    } else if (rc != MOSQ_ERR_SUCCESS) {
      const std::string reason = Reason(rc, error);
      Fail(FState == TState::Connected ? "connection lost: " + reason : reason);
    } else if (FState == TState::Connecting &&
               clock.MonotonicMs() - FConnectStartMs > std::max(10, FConfig.Keepalive) * 1000LL) {
      Fail("no answer from the broker within " + std::to_string(std::max(10, FConfig.Keepalive)) + " s");
    } else if (FState == TState::Connected) {
      PublishDue();
    }
  }
  // An orderly stop says so itself rather than leaving it to the will.
  if (FMosq && FState == TState::Connected) {
    Publish(BusStatusTopic(FConfig), Offline, 1, true);
    const int64_t end = clock.MonotonicMs() + StopBoundMs;
    while (FOutstanding > 0 && FLost.empty() && clock.MonotonicMs() < end &&
           mosquitto_loop(FMosq, LoopMs, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(FMosq);
  }
  Drop();
}

void TMqttHost::Attempt() {
  FLost.clear();
  FLastLogError.clear();
  FOutstanding = 0;
  FMosq = mosquitto_new(FConfig.ClientId.c_str(), true, this);
  if (!FMosq) {
    Fail(std::string("cannot make a client: ") + std::strerror(errno));
    return;
  }
  mosquitto_int_option(FMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(FMosq, OnConnect);
  mosquitto_disconnect_callback_set(FMosq, OnDisconnect);
  mosquitto_publish_callback_set(FMosq, OnPublish);
  mosquitto_message_callback_set(FMosq, OnMessageIn);
  mosquitto_log_callback_set(FMosq, OnLog);
  const std::string status = BusStatusTopic(FConfig);
  int rc = mosquitto_will_set(FMosq, status.c_str(), static_cast<int>(std::strlen(Offline)), Offline, 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !FConfig.User.empty())
    rc = mosquitto_username_pw_set(FMosq, FConfig.User.c_str(), FHasPassword ? FPassword.c_str() : nullptr);
  if (rc == MOSQ_ERR_SUCCESS && FConfig.Broker.Tls)
    rc = mosquitto_tls_set(FMosq, FConfig.CaFile.empty() ? nullptr : FConfig.CaFile.c_str(),
                           FConfig.CaFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    Fail(mosquitto_strerror(rc));
    return;
  }
  rc = mosquitto_connect_async(FMosq, FConfig.Broker.Host.c_str(), FConfig.Broker.Port, FConfig.Keepalive);
  const int error = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    Fail(rc == MOSQ_ERR_EAI ? "cannot resolve " + FConfig.Broker.Host : Reason(rc, error));
    return;
  }
  FState = TState::Connecting;
  FConnectStartMs = FFeed.Clock().MonotonicMs();
}

std::string TMqttHost::Reason(int rc, int error) const {
  std::string reason = LoopReason(rc, error);
  if (!FLastLogError.empty()) reason += " (" + FLastLogError + ")";
  if (rc == MOSQ_ERR_TLS)
    reason += "; the broker's certificate must be valid for " + FConfig.Broker.Host + " and signed by a CA of " +
              (FConfig.CaFile.empty() ? std::string("the system's store") : FConfig.CaFile);
  return reason;
}

void TMqttHost::Drop() {
  if (FMosq) mosquitto_destroy(FMosq);
  FMosq = nullptr;
  FState = TState::Idle;
  FConnected = false;
}

void TMqttHost::Fail(const std::string& reason) {
  const bool wasConnected = FState == TState::Connected;
  Drop();
  if (!FFailing)
    Report("MQTT broker " + FConfig.Broker.Text() + (wasConnected ? " lost: " : ": ") + reason +
        "; retrying with back-off, at most every " + std::to_string(LastRetryMs / 1000) +
        " s; polling goes on meanwhile");
  FFailing = true;
  ++FFailedTries;
  FRetryMs = FRetryMs == 0 ? FirstRetryMs : std::min(FRetryMs * 2, LastRetryMs);
  FNextAttemptMs = FFeed.Clock().MonotonicMs() + FRetryMs;
}

void TMqttHost::OnConnect(mosquitto* m, void* self, int rc) {
  auto& h = *static_cast<TMqttHost*>(self);
  if (rc != 0) {
    h.FLost = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc) +
              (rc == 4 || rc == 5 ? " (check [Mqtt] User and PasswordFile)" : "");
    return;
  }
  h.FState = TState::Connected;
  h.FConnected = true;
  h.FRetryMs = 0;
  const std::string tries = std::to_string(h.FFailedTries) + (h.FFailedTries == 1 ? " failed try" : " failed tries");
  if (!h.FEverConnected)
    h.Report("MQTT publishing to " + h.FConfig.Broker.Text() + " under " + h.FConfig.Prefix + "/" +
             (h.FFailing ? " after " + tries : ""));
  else if (h.FFailing)
    h.Report("MQTT broker " + h.FConfig.Broker.Text() + " connected again after " + tries);
  h.FFailing = false;
  h.FEverConnected = true;
  h.FFailedTries = 0;
  h.Publish(BusStatusTopic(h.FConfig), Online, 1, true);
  // The retained availabilities tell which devices were published before,
  // so that one removed from the list meanwhile is removed here too.
  mosquitto_subscribe(m, nullptr, (h.FConfig.Prefix + "/+/availability").c_str(), 1);
  if (!h.FConfig.DiscoveryPrefix.empty())
    mosquitto_subscribe(m, nullptr, DiscoveryStatusTopic(h.FConfig).c_str(), 1);
  if (h.FConfig.Commands) mosquitto_subscribe(m, nullptr, (h.FConfig.Prefix + "/+/command").c_str(), 1);
  // The broker may have lost what it held: everything again.
  h.FDevices.clear();
  h.FLastSequence = 0;
}

void TMqttHost::OnDisconnect(mosquitto*, void* self, int rc) {
  auto& h = *static_cast<TMqttHost*>(self);
  if (rc != 0 && h.FLost.empty()) h.FLost = "the broker closed the connection";
}

void TMqttHost::OnPublish(mosquitto*, void* self, int) {
  auto& h = *static_cast<TMqttHost*>(self);
  if (h.FOutstanding > 0) --h.FOutstanding;
}

void TMqttHost::OnMessageIn(mosquitto*, void* self, const mosquitto_message* message) {
  auto& h = *static_cast<TMqttHost*>(self);
  const std::string_view topic = message->topic ? message->topic : "";
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 static_cast<size_t>(std::max(0, message->payloadlen)));
  if (!h.FConfig.DiscoveryPrefix.empty() && topic == DiscoveryStatusTopic(h.FConfig)) {
    if (payload == Online) h.FAnnounceAll = true;
  } else if (const uint8_t address = AddressOfAvailability(h.FConfig, topic); address != 0 && !payload.empty()) {
    h.FOnBroker.insert(address);
  } else if (const uint8_t target = h.FConfig.Commands ? AddressOfCommand(h.FConfig, topic) : 0; target != 0) {
    h.TakeCommand(target, *message);
  }
}

void TMqttHost::TakeCommand(uint8_t address, const mosquitto_message& message) {
  const std::string device = "ups" + std::to_string(address);
  // A retained command would be given again at every connect, long after it was meant.
  if (message.retain) return Dropped("a retained command for " + device);
  if (message.payloadlen < 0 || static_cast<size_t>(message.payloadlen) > MaxCommandBytes)
    return Dropped("a command of more than " + std::to_string(MaxCommandBytes) + " bytes for " + device);
  const std::string_view payload(static_cast<const char*>(message.payload), static_cast<size_t>(message.payloadlen));
  const auto defs = net::NutCommandDefs();
  const auto def = std::find_if(defs.begin(), defs.end(), [&](const auto& d) { return payload == d.Name; });
  if (def == defs.end()) return Dropped("an unknown command for " + device);
  {
    std::lock_guard lock(FMutex);
    if (FCommandsIn.size() < MaxCommandsWaiting) {
      FCommandsIn.emplace_back(address, &*def);
      return;
    }
  }
  Dropped("a command for " + device + " beyond " + std::to_string(MaxCommandsWaiting) + " waiting");
}

// Said once a run: whoever may publish there could otherwise fill the log.
void TMqttHost::Dropped(const std::string& why) {
  if (FDropSaid) return;
  FDropSaid = true;
  std::string names;
  for (const net::TNutCommandDef& d : net::NutCommandDefs())
    names += (names.empty() ? "" : ", ") + std::string(d.Name);
  Report("MQTT: " + why + " dropped (commands are " + names +
         ", not retained); further dropped commands are not reported");
}

void TMqttHost::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR && text) static_cast<TMqttHost*>(self)->FLastLogError = text;
}

void TMqttHost::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
  const int rc = mosquitto_publish(FMosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   qos, retain);
  if (rc == MOSQ_ERR_SUCCESS) {
    ++FOutstanding;
  } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
    if (FLost.empty()) FLost = std::string("cannot publish: ") + mosquitto_strerror(rc);
  } else {
    Report("MQTT: " + topic + " not published: " + mosquitto_strerror(rc));
  }
}

void TMqttHost::Remove(uint8_t address) {
  if (!FConfig.DiscoveryPrefix.empty())
    for (const std::string& topic : AllDiscoveryTopics(FConfig, address)) Publish(topic, "", 1, true);
  Publish(StateTopic(FConfig, address), "", 1, true);
  Publish(AvailabilityTopic(FConfig, address), "", 1, true);
}

void TMqttHost::PublishDue() {
  std::vector<TMessage> results;
  {
    std::lock_guard lock(FMutex);
    results.swap(FResultsOut);
  }
  for (const TMessage& m : results) Publish(m.Topic, m.Payload, 1, false);
  const web::TSnapshotPtr snapshot = FFeed.Current();
  const web::TBusSnapshot& s = *snapshot;
  if (!s.Made) return;
  // Devices gone from the list: their entities, state and availability go too.
  for (const uint8_t address : FOnBroker)
    if (!s.Find(address)) Remove(address);
  FOnBroker.clear();
  for (auto it = FDevices.begin(); it != FDevices.end();) {
    if (s.Find(it->first)) {
      ++it;
      continue;
    }
    Remove(it->first);
    it = FDevices.erase(it);
  }
  // A broker that takes nothing in: the values wait here, the newest sent when it does.
  if (FOutstanding > MaxOutstanding) return;
  const int64_t now = FFeed.Clock().MonotonicMs();
  const bool changed = s.Sequence != FLastSequence;
  // Anyone who may publish "online" there could otherwise keep us announcing.
  const bool announceAll = FAnnounceAll && now - FAnnouncedAllAt >= AnnounceAgainMs;
  if (announceAll) {
    FAnnounceAll = false;
    FAnnouncedAllAt = now;
  }
  for (const web::TDeviceView& d : s.Devices) {
    TPublished& p = FDevices[d.Address];
    if (!FConfig.DiscoveryPrefix.empty() && (!p.Announced || announceAll)) {
      const std::vector<TMessage> configs = DiscoveryConfigs(FConfig, s, d, TESSARO_VERSION);
      // Entities this protocol lacks (left from a run with another) are emptied once.
      if (FCleaned.insert(d.Address).second)
        for (const std::string& topic : AllDiscoveryTopics(FConfig, d.Address))
          if (std::none_of(configs.begin(), configs.end(), [&](const TMessage& m) { return m.Topic == topic; }))
            Publish(topic, "", 1, true);
      for (const TMessage& m : configs) Publish(m.Topic, m.Payload, 1, true);
      p.Announced = true;
    }
    const char* availability = d.Up ? Online : Offline;
    if (p.Availability != availability) {
      Publish(AvailabilityTopic(FConfig, d.Address), availability, 1, true);
      p.Availability = availability;
    }
    const bool due = p.At == 0 || now - p.At >= FConfig.Interval * 1000LL;
    if (!changed && !due) continue;
    std::string payload = web::DeviceObjectJson(s, d);
    if (payload == p.Payload && !due) continue;
    Publish(StateTopic(FConfig, d.Address), payload, 0, true);
    p.Payload = std::move(payload);
    p.At = now;
  }
  FLastSequence = s.Sequence;
}

}  // namespace tessaro::mqtt
