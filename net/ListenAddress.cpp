#include "net/ListenAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessaro::net {

namespace {

const char* const NumericHint = "; write a numeric address and port, e.g. 127.0.0.1:3493 (this machine only), "
                                "0.0.0.0:3493 (every IPv4 interface) or [::1]:3493";

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// Splits "HOST:PORT" or "[HOST]:PORT"; `bracketed` tells which.
bool Split(std::string_view text, std::string_view& host, uint16_t& port, bool& bracketed, std::string& error) {
  std::string_view portText = text;
  host = {};
  bracketed = !text.empty() && text.front() == '[';
  if (bracketed) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = Quoted(text) + " is not [IPv6 address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  unsigned value = 0;
  bool ok = !portText.empty() && portText.size() <= 5;
  for (const char c : portText) {
    if (c < '0' || c > '9') ok = false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!ok || value > 65535) {
    error = Quoted(text) + " has no port number 0..65535 (write ADDRESS:PORT)";
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseListenAddress(std::string_view text, TListenAddress& address, std::string& error) {
  std::string_view host;
  bool bracketed = false;
  if (!Split(text, host, address.Port, bracketed, error)) return false;
  address.Host = host.empty() || host == "localhost" ? "127.0.0.1" : std::string(host);
  return true;
}

bool ParseNumericListenAddress(std::string_view text, TListenAddress& address, std::string& error) {
  std::string_view host;
  bool bracketed = false;
  if (!Split(text, host, address.Port, bracketed, error)) {
    error += NumericHint;
    return false;
  }
  in_addr v4{};
  in6_addr v6{};
  const std::string h(host);
  if (host.empty()) {
    error = Quoted(text) + " names no address" + NumericHint;
    return false;
  }
  if (!bracketed && ::inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
    error = "an IPv6 address goes in brackets: [" + h + "]:" + std::to_string(address.Port);
    return false;
  }
  if (bracketed ? ::inet_pton(AF_INET6, h.c_str(), &v6) != 1 : ::inet_pton(AF_INET, h.c_str(), &v4) != 1) {
    error = Quoted(h) + (bracketed ? " is not a numeric IPv6 address" : " is not a numeric IPv4 address") +
            " (names are not looked up)" + NumericHint;
    return false;
  }
  address.Host = h;
  return true;
}

bool ToSocketAddress(const TListenAddress& address, sockaddr_storage& storage, socklen_t& length) {
  storage = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.Host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(address.Port);
    length = sizeof *v4;
    return true;
  }
  if (::inet_pton(AF_INET6, address.Host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(address.Port);
    length = sizeof *v6;
    return true;
  }
  return false;
}

bool AddressIsLocal(const TListenAddress& address, std::string& error) {
  TListenAddress probe = address;
  probe.Port = 0;
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (!ToSocketAddress(probe, storage, length)) {
    error = Quoted(address.Host) + " is not a numeric IPv4 or IPv6 address";
    return false;
  }
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot open a socket to try the address: ") + std::strerror(errno);
    return false;
  }
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0;
  const int why = errno;
  ::close(fd);
  if (!bound) {
    error = why == EADDRNOTAVAIL ? "no interface of this machine has the address " + address.Host
                                 : "cannot bind " + address.Host + ": " + std::strerror(why);
    return false;
  }
  return true;
}

}  // namespace tessaro::net
