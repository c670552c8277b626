#include "net/ListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/ListenAddress.h"

namespace tessaro::net {

std::string PeerText(const sockaddr_storage& peer) {
  char text[INET6_ADDRSTRLEN] = "unknown";
  if (peer.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
  else if (peer.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  return text;
}

bool OpenListenSocket(const std::string& host, uint16_t port, const std::string& text, TBoundSocket& out,
                      std::string& error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (!ToSocketAddress(TListenAddress{host, port}, storage, length)) {
    error = "\"" + host + "\" is not a numeric IPv4 or IPv6 address";
    return false;
  }
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    error = "cannot listen on " + text + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  out.V6 = storage.ss_family == AF_INET6;
  out.Port = ntohs(out.V6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  out.Address = (out.V6 ? "[" + host + "]" : host) + ":" + std::to_string(out.Port);
  out.Fd = fd;
  return true;
}

}  // namespace tessaro::net
