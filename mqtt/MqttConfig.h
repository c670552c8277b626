#pragma once
// What the MQTT publisher is told to do, as the settings file and the command
// line give it, with the checks `config set` and the start share.

#include <cstdint>
#include <optional>
#include <string>

namespace tessaro {
struct TSettings;
}

namespace tessaro::mqtt {

struct TBrokerUrl {
  std::string Host;
  uint16_t Port = 0;
  bool Tls = false;
  std::string Text() const;  // "mqtt://host:1883"
};

// "mqtt://HOST[:PORT]" (port 1883) or "mqtts://HOST[:PORT]" (8883); HOST is a
// name, an IPv4 address or [IPv6]. False with the reason otherwise.
bool ParseBrokerUrl(const std::string& text, TBrokerUrl& url, std::string& why);

// A topic prefix: levels separated by "/", none empty, no wildcard, no
// control bytes, at most 200 bytes.
bool CheckTopicPrefix(const std::string& text, std::string& why);
// A client id or user name: 1 to 100 printable ASCII bytes, no spaces.
bool CheckClientWord(const std::string& text, std::string& why);

// The password in `path` (its first line): the file must be a regular file
// of this process's user or root that nobody else may read or write.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& why);

constexpr int32_t MinKeepalive = 5;
constexpr int32_t MaxKeepalive = 3600;
constexpr int32_t MaxInterval = 3600;

struct TMqttConfig {
  TBrokerUrl Broker;
  std::string ClientId;
  std::string User;
  std::string PasswordFile;
  std::string CaFile;  // empty: the system's CA store
  std::string Prefix;  // "tessaro/host"
  std::string DiscoveryPrefix;  // empty: no discovery
  int32_t Keepalive = 30;
  int32_t Interval = 60;
  bool Commands = false;  // PREFIX/upsN/command is subscribed and its commands given
};

// The publisher's settings from [Mqtt], `broker` (--mqtt) in place of Broker
// when given; `hostName` fills in the defaults. Nothing when the broker is
// empty (the publisher is off) or a setting is refused (`why` set).
std::optional<TMqttConfig> MakeConfig(const TSettings& settings, const std::optional<std::string>& broker,
                                      const std::string& hostName, std::string& why);

// This machine's host name, "localhost" when it has none.
std::string HostName();

}  // namespace tessaro::mqtt
