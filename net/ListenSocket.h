#pragma once
// A listening TCP socket on a numeric address, for every listener.

#include <sys/socket.h>

#include <cstdint>
#include <string>

struct sockaddr;

namespace tessaro::net {

struct TBoundSocket {
  int Fd = -1;
  uint16_t Port = 0;    // as bound (the system's choice for port 0)
  std::string Address;  // "host:port", "[::1]:3493" for IPv6
  bool V6 = false;
};

// Binds a non-blocking, close-on-exec socket to `host` (a numeric IPv4 or
// IPv6 address) and `port` and listens. False with the reason; `text` is the
// address as the operator wrote it, for the message.
bool OpenListenSocket(const std::string& host, uint16_t port, const std::string& text, TBoundSocket& out,
                      std::string& error);

// A client's address as text ("127.0.0.1", "::1"); "unknown" for other families.
std::string PeerAddressText(const sockaddr& peer);

}  // namespace tessaro::net
