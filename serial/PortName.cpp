#include "serial/PortName.h"

#include <arpa/inet.h>

#include <cctype>

namespace tessaro {

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

std::optional<std::string> ComDevicePath(std::string_view name) {
  if (name.rfind("\\\\.\\", 0) == 0) name.remove_prefix(4);
  if (name.size() < 4 || name.size() > 6 || !StartsWithNoCase(name, "com")) return std::nullopt;
  const std::string_view digits = name.substr(3);
  if (digits[0] == '0') return std::nullopt;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 256) return std::nullopt;
  return "/dev/ttyS" + std::to_string(n - 1);
}

// RFC 1123 host name: dot-separated labels of letters, digits and hyphens,
// 1..63 characters each, no hyphen at either end; 253 characters at most.
bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  size_t labelStart = 0;
  for (size_t i = 0; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '.') {
      const std::string_view label = host.substr(labelStart, i - labelStart);
      if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
      labelStart = i + 1;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(host[i]);
    if (!std::isalnum(c) && c != '-') return false;
  }
  return true;
}

std::string Pick(uint8_t language, const char* zh, const char* en) { return language == 1 ? zh : en; }

bool ParseHostPort(std::string_view name, std::string_view rest, TPortName& out, std::string* error, uint8_t lang) {
  const std::string quoted = Pick(lang, "“", "\"") + std::string(name) + Pick(lang, "”", "\"");
  const std::string form =
      Pick(lang, "；请写成 tcp://主机:端口 或 rfc2217://主机:端口", "; write it as tcp://HOST:PORT or rfc2217://HOST:PORT");
  if (rest.find('@') != std::string_view::npos)
    return Fail(error, quoted + Pick(lang, " 带有用户名或密码，端口名不能包含它们", " carries a user or password, which a port name cannot hold") + form);
  if (rest.find_first_of("/?#") != std::string_view::npos)
    return Fail(error, quoted + Pick(lang, " 在端口之后还有路径或查询，端口名不能包含它们",
                                     " has a path or query after the port, which a port name cannot hold") + form);

  std::string_view host;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos)
      return Fail(error, quoted + Pick(lang, " 中的 IPv6 地址缺少右方括号“]”", " has an IPv6 address without its closing \"]\""));
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (after.empty() || after.front() != ':')
      return Fail(error, quoted + Pick(lang, " 在地址之后缺少“:端口”", " has no \":PORT\" after the address") + form);
    port = after.substr(1);
    in6_addr a6{};
    if (inet_pton(AF_INET6, std::string(host).c_str(), &a6) != 1)
      return Fail(error, quoted + Pick(lang, "：“", ": \"") + std::string(host) +
                             Pick(lang, "”不是 IPv6 地址", "\" is not an IPv6 address"));
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos)
      return Fail(error, quoted + Pick(lang, " 在主机之后缺少“:端口”", " has no \":PORT\" after the host") + form);
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos)
      return Fail(error, quoted + Pick(lang, "：IPv6 地址要写在方括号中，如 rfc2217://[2001:db8::10]:4001",
                                       ": an IPv6 address goes in brackets, as rfc2217://[2001:db8::10]:4001"));
    if (host.empty()) return Fail(error, quoted + Pick(lang, " 缺少主机", " has no host") + form);
    const bool dotted = host.find_first_not_of("0123456789.") == std::string_view::npos;
    in_addr a4{};
    if (dotted ? inet_pton(AF_INET, std::string(host).c_str(), &a4) != 1 : !IsHostName(host))
      return Fail(error, quoted + Pick(lang, "：“", ": \"") + std::string(host) +
                             Pick(lang, "”既不是 IPv4 地址也不是主机名", "\" is neither an IPv4 address nor a host name"));
  }
  long value = 0;
  bool digitsOnly = !port.empty() && port.size() <= 5;
  for (char c : port) {
    if (c < '0' || c > '9') digitsOnly = false;
    if (digitsOnly) value = value * 10 + (c - '0');
  }
  if (!digitsOnly || value < 1 || value > 65535)
    return Fail(error, quoted + Pick(lang, "：端口是 1 到 65535 之间的数字，而不是“", ": the port is a number from 1 to 65535, not \"") +
                           std::string(port) + Pick(lang, "”", "\""));
  out.Host = std::string(host);
  out.Port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool HasNetworkScheme(std::string_view name) {
  return StartsWithNoCase(name, "tcp://") || StartsWithNoCase(name, "rfc2217://");
}

std::optional<TPortName> ParsePortName(std::string_view name, std::string* error, uint8_t language) {
  TPortName out;
  if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    Fail(error, Pick(language, "端口名不能包含换行或 NUL 字符：“", "a port name holds no line breaks or NUL characters: \"") +
                    std::string(name) + Pick(language, "”", "\""));
    return std::nullopt;
  }
  if (HasNetworkScheme(name)) {
    const bool telnet = StartsWithNoCase(name, "rfc2217://");
    out.Kind = telnet ? TPortKind::Rfc2217 : TPortKind::Tcp;
    const std::string_view rest = name.substr(telnet ? 10 : 6);
    if (!ParseHostPort(name, rest, out, error, language)) return std::nullopt;
    return out;
  }
  if (!name.empty() && name[0] == '/') {
    out.Path = std::string(name);
    return out;
  }
  if (std::optional<std::string> path = ComDevicePath(name)) {
    out.Path = std::move(*path);
    return out;
  }
  Fail(error, language == 1 ? "通讯串口应为 " + std::string(PortNameFormsZh) + "，而不是“" + std::string(name) + "”"
                             : "ComName is " + std::string(PortNameForms) + ", not \"" + std::string(name) + "\"");
  return std::nullopt;
}

}  // namespace tessaro
