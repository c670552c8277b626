#pragma once
// The topics and payloads the publisher sends, as pure functions of the
// settings and the bus snapshot:
//
//   PREFIX/status                  online / offline (the last will)
//   PREFIX/upsN/availability       online / offline, by the freshness rule
//   PREFIX/upsN/state              the device as the JSON API gives it
//   PREFIX/upsN/command            device commands in, with [Mqtt] Commands=1
//   PREFIX/upsN/result             what became of them
//   DISCOVERY/sensor/UID/KEY/config  one Home Assistant entity each
//   DISCOVERY/button/UID/KEY/config  one per command, with Commands=1

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/MqttConfig.h"
#include "web/WebFeed.h"

namespace tessaro::mqtt {

struct TMessage {
  std::string Topic;
  std::string Payload;
};

inline constexpr char Online[] = "online";
inline constexpr char Offline[] = "offline";

std::string BusStatusTopic(const TMqttConfig& config);
std::string DeviceTopic(const TMqttConfig& config, uint8_t address);  // PREFIX/upsN
std::string AvailabilityTopic(const TMqttConfig& config, uint8_t address);
std::string StateTopic(const TMqttConfig& config, uint8_t address);
// Where Home Assistant says it (re)started.
std::string DiscoveryStatusTopic(const TMqttConfig& config);
std::string CommandTopic(const TMqttConfig& config, uint8_t address);
std::string ResultTopic(const TMqttConfig& config, uint8_t address);
// The address of PREFIX/upsN/availability; 0 for any other topic.
uint8_t AddressOfAvailability(const TMqttConfig& config, std::string_view topic);
// The address of PREFIX/upsN/command; 0 for any other topic.
uint8_t AddressOfCommand(const TMqttConfig& config, std::string_view topic);
// Received command payloads longer than this are dropped unread.
constexpr size_t MaxCommandBytes = 64;

// The device's identity for Home Assistant: from the prefix and the bus
// address, so it survives restarts and renames ("tessaro_host_ups1").
std::string DeviceUid(const TMqttConfig& config, uint8_t address);

// How Home Assistant shows a value of the served table, told by the last
// word of its name; null members where it has none.
struct TSensorKind {
  const char* DeviceClass;
  const char* Unit;
};
TSensorKind SensorKind(std::string_view name);

// The device's entities: a sensor for every value its protocol reports, its
// status flags and its alarms, and with Commands a button per command. Retained.
std::vector<TMessage> DiscoveryConfigs(const TMqttConfig& config, const web::TBusSnapshot& snapshot,
                                       const web::TDeviceView& device, std::string_view version);
// The config topics of every entity a device may have had under any
// protocol, for emptying when it is gone or its protocol changed.
std::vector<std::string> AllDiscoveryTopics(const TMqttConfig& config, uint8_t address);

}  // namespace tessaro::mqtt
