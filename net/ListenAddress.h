#pragma once
// The address a listener binds: "ADDR:PORT" with ADDR a numeric IPv4 address
// or "[IPv6]". Files written before names were refused may still hold
// "localhost" or a bare port; those keep meaning the loopback address.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro::net {

struct TListenAddress {
  std::string Host;
  uint16_t Port = 0;
};

// Any accepted form: a missing ADDR (":3493" or "3493") and "localhost" mean
// 127.0.0.1. Port 0 asks the system for a free port.
bool ParseListenAddress(std::string_view text, TListenAddress& address, std::string& error);

// Only what a new setting may hold: a numeric IPv4 address, or an IPv6
// address in brackets, then ":PORT". The message names the numeric form.
bool ParseNumericListenAddress(std::string_view text, TListenAddress& address, std::string& error);

// The socket address of a parsed address; false when Host is not numeric.
bool ToSocketAddress(const TListenAddress& address, sockaddr_storage& storage, socklen_t& length);

// Whether this machine has the address: binds it on a throw-away socket with
// port 0, so a port in use by a running server does not count against it.
bool AddressIsLocal(const TListenAddress& address, std::string& error);

}  // namespace tessaro::net
