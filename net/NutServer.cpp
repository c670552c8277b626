#include "net/NutServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/ListenSocket.h"
#include "net/NutLine.h"

namespace tessaro::net {

namespace {

// Bytes read from one client in one Process call, so one busy client cannot
// hold up the rest.
constexpr size_t ReadBudget = 64 * 1024;

std::string PeerText(const sockaddr_storage& peer) {
  char text[INET6_ADDRSTRLEN] = "unknown";
  if (peer.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
  else if (peer.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  return text;
}

}  // namespace

bool ParseListenAddress(std::string_view text, TListenAddress& address, std::string& error) {
  std::string_view host, port = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "\"" + std::string(text) + "\" is not [IPv6 address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned value = 0;
  bool ok = !port.empty() && port.size() <= 5;
  for (const char c : port) {
    if (c < '0' || c > '9') ok = false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!ok || value > 65535) {
    error = "\"" + std::string(text) + "\" has no port number 0..65535 (write ADDRESS:PORT)";
    return false;
  }
  address.Host = host.empty() || host == "localhost" ? "127.0.0.1" : std::string(host);
  address.Port = static_cast<uint16_t>(value);
  return true;
}

TNutServer::TNutServer(TNutSource source) : FSource(source) {}

TNutServer::~TNutServer() {
  while (!FClients.empty()) Close(FClients.begin()->first);
  if (FListenFd >= 0) ::close(FListenFd);
  if (FSpareFd >= 0) ::close(FSpareFd);
}

bool TNutServer::Listen(std::string_view text, std::string& error) {
  TListenAddress address;
  if (!ParseListenAddress(text, address, error)) return false;
  TBoundSocket bound;
  if (!OpenListenSocket(address.Host, address.Port, std::string(text), bound, error)) return false;
  const int fd = bound.Fd;
  FPort = bound.Port;
  FAddress = bound.Address;
  if (FListenFd >= 0) ::close(FListenFd);
  FListenFd = fd;
  if (FSpareFd < 0) FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return true;
}

void TNutServer::AppendPollFds(std::vector<pollfd>& fds) const {
  if (FListenFd >= 0) fds.push_back({FListenFd, POLLIN, 0});
  for (const auto& [fd, c] : FClients) {
    short events = 0;
    if (c->OutPos < c->Out.size()) events |= POLLOUT;
    if (WantsInput(*c)) events |= POLLIN;
    fds.push_back({fd, events, 0});
  }
}

void TNutServer::Process() {
  std::vector<pollfd> fds;
  AppendPollFds(fds);
  if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;
    if (p.fd == FListenFd) {
      Accept();
      continue;
    }
    const auto it = FClients.find(p.fd);
    if (it == FClients.end()) continue;
    TClient& c = *it->second;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) Read(c);
    if (!c.Dead) Write(c);
    // Lines held back while answers piled up are served once they are sent.
    if (!c.Dead && !c.In.empty() && c.Out.empty()) {
      Drain(c);
      Write(c);
    }
    if (c.Dead) Close(p.fd);
  }
}

void TNutServer::Accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(FListenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if ((errno == EMFILE || errno == ENFILE) && FSpareFd >= 0) {
        // Out of descriptors: take the waiting client with the spare one and
        // close it, so it is refused instead of left hanging in the queue.
        ::close(FSpareFd);
        const int shed = ::accept(FListenFd, nullptr, nullptr);
        if (shed >= 0) ::close(shed);
        FSpareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        continue;
      }
      return;  // EAGAIN, or an error of that one connection
    }
    if (FClients.size() >= MaxClients) {
      ::close(fd);
      continue;
    }
    auto client = std::make_unique<TClient>();
    client->Fd = fd;
    client->Session.Peer = PeerText(peer);
    FClients.emplace(fd, std::move(client));
  }
}

void TNutServer::Read(TClient& c) {
  char buf[4096];
  size_t taken = 0;
  while (taken < ReadBudget && WantsInput(c)) {
    const ssize_t n = ::recv(c.Fd, buf, sizeof buf, 0);
    if (n == 0) {
      // The client has sent all it will: answer its whole lines, drop a
      // line cut off by the close, then close.
      c.InputEnded = true;
      Drain(c);
      return;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.Dead = true;
      return;
    }
    taken += static_cast<size_t>(n);
    c.In.append(buf, static_cast<size_t>(n));
    Drain(c);
  }
}

bool TNutServer::WantsInput(const TClient& c) const {
  return !c.InputEnded && !c.CloseWhenSent && c.Out.size() - c.OutPos <= MaxPending && c.In.size() <= MaxLineLength + 1;
}

void TNutServer::Drain(TClient& c) {
  size_t start = 0;
  while (!c.CloseWhenSent && c.Out.size() - c.OutPos <= MaxPending) {
    const size_t end = c.In.find('\n', start);
    if (end == std::string::npos) break;
    if (!c.Discarding) Answer(c, std::string_view(c.In).substr(start, end - start));
    c.Discarding = false;
    start = end + 1;
  }
  c.In.erase(0, start);
  if (c.InputEnded && c.In.find('\n') == std::string::npos) {
    c.In.clear();
    c.CloseWhenSent = true;
  }
  // One byte over the limit may be the CR of a CRLF line end.
  if (c.In.find('\n') == std::string::npos && (c.Discarding || c.In.size() > MaxLineLength + 1)) {
    if (!c.Discarding) c.Out += "ERR INVALID-ARGUMENT\n";
    c.Discarding = true;
    c.In.clear();
  }
}

void TNutServer::Answer(TClient& c, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > MaxLineLength) {
    c.Out += "ERR INVALID-ARGUMENT\n";
    return;
  }
  const TNutReply reply = HandleLine(line, c.Session, FSource, FLogins);
  c.Out += reply.Text;
  if (reply.Close) c.CloseWhenSent = true;
}

void TNutServer::Write(TClient& c) {
  while (c.OutPos < c.Out.size()) {
    const ssize_t n = ::send(c.Fd, c.Out.data() + c.OutPos, c.Out.size() - c.OutPos, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.Dead = true;
      // A client that reads slowly but never catches up must not grow the
      // buffer by what it has already taken.
      if (c.OutPos >= MaxPending) {
        c.Out.erase(0, c.OutPos);
        c.OutPos = 0;
      }
      return;
    }
    c.OutPos += static_cast<size_t>(n);
  }
  c.Out.clear();
  c.OutPos = 0;
  if (c.CloseWhenSent) c.Dead = true;
}

void TNutServer::Close(int fd) {
  const auto it = FClients.find(fd);
  if (it == FClients.end()) return;
  EndSession(it->second->Session, FLogins);
  ::close(fd);
  FClients.erase(it);
}

}  // namespace tessaro::net
