#include "mqtt/MqttConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/PathTrust.h"
#include "core/UserParaIni.h"

namespace tessaro::mqtt {

namespace {

bool Printable(char c) { return c > 0x20 && c < 0x7F; }

// "the value" as a message shows it: short and on one line.
std::string Shown(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < 60; ++i) out += Printable(text[i]) || text[i] == ' ' ? text[i] : '?';
  return out + (text.size() > 60 ? "...\"" : "\"");
}

}  // namespace

std::string TBrokerUrl::Text() const {
  const bool v6 = Host.find(':') != std::string::npos;
  return std::string(Tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

bool ParseBrokerUrl(const std::string& text, TBrokerUrl& url, std::string& why) {
  TBrokerUrl out;
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("mqtts://", 0) == 0) {
    rest = text.substr(8);
    out.Tls = true;
  } else {
    why = "the broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS), not " + Shown(text);
    return false;
  }
  out.Port = out.Tls ? 8883 : 1883;
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      why = "the IPv6 address of " + Shown(text) + " has no closing ]";
      return false;
    }
    out.Host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      why = "after the ] of " + Shown(text) + " comes :PORT or nothing";
      return false;
    }
    if (!after.empty()) port = after.substr(1);
    if (out.Host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos || out.Host.empty()) {
      why = Shown(out.Host) + " is no IPv6 address";
      return false;
    }
  } else {
    const size_t colon = rest.rfind(':');
    out.Host = rest.substr(0, colon);
    if (colon != std::string::npos) port = rest.substr(colon + 1);
    for (const char c : out.Host)
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')) {
        why = "the broker's host in " + Shown(text) + " is a name or an IPv4 address (an IPv6 one in [ ])";
        return false;
      }
    if (out.Host.empty()) {
      why = Shown(text) + " names no broker host";
      return false;
    }
  }
  if (port.empty() && rest.find(':') != std::string::npos && rest.back() == ':') {
    why = "the port of " + Shown(text) + " is empty";
    return false;
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      why = "the port of " + Shown(text) + " is a number from 1 to 65535";
      return false;
    }
    out.Port = static_cast<uint16_t>(std::stoi(port));
  }
  url = out;
  return true;
}

bool CheckTopicPrefix(const std::string& text, std::string& why) {
  if (text.empty() || text.size() > 200) {
    why = "a topic prefix has 1 to 200 bytes";
    return false;
  }
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == '+' || c == '#') {
      why = "a topic prefix is printable ASCII without a wildcard (+, #): " + Shown(text);
      return false;
    }
  if (text.front() == '/' || text.back() == '/' || text.find("//") != std::string::npos) {
    why = "a topic prefix has no empty level (no leading, trailing or double /): " + Shown(text);
    return false;
  }
  return true;
}

bool CheckClientWord(const std::string& text, std::string& why) {
  if (text.empty() || text.size() > 100) {
    why = "1 to 100 bytes are needed, not " + std::to_string(text.size());
    return false;
  }
  for (const char c : text)
    if (!Printable(c)) {
      why = "only printable ASCII without spaces, not " + Shown(text);
      return false;
    }
  return true;
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& why) {
  if (path.empty() || path[0] != '/') {
    why = "the password file is given by its absolute path, not " + Shown(path);
    return std::nullopt;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    why = "cannot open the password file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st{};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    why = "cannot read the password file " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "the password file " + path + " is not a regular file";
    ok = false;
  } else if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    why = "the password file " + path + " belongs to " + UserName(st.st_uid) + "; it must belong to " +
          UserName(::geteuid()) + " or root";
    ok = false;
  } else if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why = "the password file " + path + " may be read or written by others (mode " + mode +
          "); make it its owner's only (chmod 600)";
    ok = false;
  } else if (st.st_size > 4096) {
    why = "the password file " + path + " holds more than one short line";
    ok = false;
  } else {
    char buf[4097];
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 4096) text.append(buf, static_cast<size_t>(n));
    if (n < 0) {
      why = "cannot read the password file " + path + ": " + std::strerror(errno);
      ok = false;
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) {
    why = "the password file " + path + " holds no password on its first line";
    return std::nullopt;
  }
  return text;
}

std::optional<TMqttConfig> MakeConfig(const TSettings& s, const std::optional<std::string>& broker,
                                      const std::string& hostName, std::string& why) {
  why.clear();
  const std::string url = broker.value_or(s.MqttBroker);
  if (url.empty()) return std::nullopt;
  TMqttConfig c;
  auto refuse = [&why](const std::string& key, const std::string& reason) {
    why = "[Mqtt] " + key + ": " + reason;
    return std::nullopt;
  };
  if (!ParseBrokerUrl(url, c.Broker, why)) return std::nullopt;
  c.Prefix = s.MqttPrefix.empty() ? "tessaro/" + hostName : s.MqttPrefix;
  if (std::string reason; !CheckTopicPrefix(c.Prefix, reason)) return refuse("Prefix", reason);
  c.DiscoveryPrefix = s.MqttDiscoveryPrefix;
  if (std::string reason; !c.DiscoveryPrefix.empty() && !CheckTopicPrefix(c.DiscoveryPrefix, reason))
    return refuse("DiscoveryPrefix", reason);
  // One client per bus: a second monitor with the same id would push this one off.
  c.ClientId = s.MqttClientId;
  if (c.ClientId.empty()) {
    c.ClientId = c.Prefix;
    for (char& ch : c.ClientId)
      if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_') ch = '-';
  }
  if (std::string reason; !CheckClientWord(c.ClientId, reason)) return refuse("ClientId", reason);
  c.User = s.MqttUser;
  if (std::string reason; !c.User.empty() && !CheckClientWord(c.User, reason)) return refuse("User", reason);
  c.PasswordFile = s.MqttPasswordFile;
  if (!c.PasswordFile.empty() && c.User.empty()) return refuse("PasswordFile", "a password goes with a User");
  c.CaFile = s.MqttCaFile;
  if (!c.CaFile.empty() && (c.CaFile[0] != '/' || ::access(c.CaFile.c_str(), R_OK) != 0))
    return refuse("CaFile", "the absolute path of a readable file of CA certificates (PEM), not " + Shown(c.CaFile));
  if (s.MqttKeepalive < MinKeepalive || s.MqttKeepalive > MaxKeepalive)
    return refuse("Keepalive", "seconds from " + std::to_string(MinKeepalive) + " to " + std::to_string(MaxKeepalive) +
                                   ", not " + std::to_string(s.MqttKeepalive));
  c.Keepalive = s.MqttKeepalive;
  if (s.MqttInterval < 1 || s.MqttInterval > MaxInterval)
    return refuse("Interval", "seconds from 1 to " + std::to_string(MaxInterval) + ", not " +
                                  std::to_string(s.MqttInterval));
  c.Interval = s.MqttInterval;
  c.Commands = s.MqttCommands;
  return c;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || !*name) return "localhost";
  std::string out = name;
  // A topic level of it: no wildcard, no separator.
  for (char& c : out)
    if (c == '/' || c == '+' || c == '#' || !Printable(c)) c = '_';
  return out;
}

}  // namespace tessaro::mqtt
