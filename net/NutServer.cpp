#include "net/NutServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "net/ListenSocket.h"
#include "net/NutLine.h"

namespace tessaro::net {

namespace {

constexpr int64_t Never = INT64_MAX;

// Bytes read from one client in one Process call, so one busy client cannot
// hold up the rest.
constexpr size_t ReadBudget = 64 * 1024;
// Rounds of answering held-back requests for one client in one Process call
// (each up to MaxPending of answers); the rest wait for the next call.
constexpr int AnswerRounds = 4;
// Connections taken from the listen queue in one Process call.
constexpr int AcceptBudget = 64;

}  // namespace

TNutServer::TNutServer(TNutSource source, const TClock& clock) : FSource(source), FClock(clock) {
  FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TNutServer::~TNutServer() {
  while (!FClients.empty()) Close(FClients.begin()->first);
  if (FListenFd >= 0) ::close(FListenFd);
  if (FSpareFd >= 0) ::close(FSpareFd);
  if (FWakeFd >= 0) ::close(FWakeFd);
}

uint64_t TNutServer::FailedChecks() const {
  const TCredentialChecker* checker = Checker();
  return checker ? checker->Failed() : FShared.FailedChecks;
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

bool TNutServer::Start(std::string_view text, std::string& error) {
  TListenAddress address;
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (!ParseListenAddress(text, address, error)) return false;
  if (!ToSocketAddress(address, storage, length)) {
    error = "\"" + address.Host + "\" is not a numeric IPv4 or IPv6 address";
    return false;
  }
  FWanted = text;
  FFailing = false;
  TryListen();
  return true;
}

void TNutServer::TryListen() {
  std::string error;
  if (Listen(FWanted, error)) {
    FRetryAtMs = -1;
    FFailing = false;
    if (OnMessage) OnMessage("network UPS server listening on " + FAddress);
    return;
  }
  FRetryAtMs = FClock.MonotonicMs() + RetryMs;
  if (!FFailing && OnMessage)
    OnMessage("network UPS server " + error + "; trying again every " + std::to_string((RetryMs + 999) / 1000) +
              " s");
  FFailing = true;
}

bool TNutServer::HasWholeLine(const TClient& c) { return c.In.find('\n') != std::string::npos; }

// Requests are read only while the answers before them have room, so a
// client that does not read cannot make the server hold more.
bool TNutServer::WantsInput(const TClient& c) const {
  return c.HeldUntilMs < 0 && !c.InputEnded && !c.CloseWhenSent && Pending(c) <= MaxPending && !HasWholeLine(c);
}

// Requests held back whose answers now have room.
bool TNutServer::Ready(const TClient& c) const {
  return !c.Dead && !c.CloseWhenSent && c.HeldUntilMs < 0 && Pending(c) == 0 && HasWholeLine(c);
}

int64_t TNutServer::Deadline(const TClient& c) const {
  // A client that takes its answers a byte at a time is not let off.
  if (Pending(c) > 0) return c.PendingSinceMs + StallTimeoutMs;
  int64_t at = c.ActiveMs + IdleTimeoutMs;
  if (c.LineStartMs >= 0) at = std::min(at, c.LineStartMs + LineTimeoutMs);
  return at;
}

void TNutServer::AppendPollFds(std::vector<pollfd>& fds) const {
  if (FListenFd >= 0) fds.push_back({FListenFd, POLLIN, 0});
  if (FWakeFd >= 0 && std::any_of(FClients.begin(), FClients.end(), [](const auto& e) { return e.second->CheckId; }))
    fds.push_back({FWakeFd, POLLIN, 0});
  for (const auto& [fd, c] : FClients) {
    short events = 0;
    if (Pending(*c) > 0) events |= POLLOUT;
    // A hang-up is watched for even while input is held back, so a client
    // that leaves is closed whatever it left unanswered; once seen, it is
    // not asked for again (it would be reported on every call).
    if (WantsInput(*c))
      events |= POLLIN | POLLRDHUP;
    else if (!c->InputEnded && !c->PeerShut)
      events |= POLLRDHUP;
    fds.push_back({fd, events, 0});
  }
}

void TNutServer::Process() {
  if (FRetryAtMs >= 0 && FClock.MonotonicMs() >= FRetryAtMs) TryListen();
  for (auto& [fd, c] : FClients) Release(*c, FClock.MonotonicMs());
  std::vector<pollfd> fds;
  AppendPollFds(fds);
  if (fds.empty()) return;
  if (::poll(fds.data(), fds.size(), 0) < 0)
    for (pollfd& p : fds) p.revents = 0;
  for (const pollfd& p : fds) {
    if (p.fd == FListenFd) {
      if (p.revents != 0) Accept();
      continue;
    }
    if (p.fd == FWakeFd) {
      uint64_t count = 0;
      if (p.revents != 0 && ::read(FWakeFd, &count, sizeof count) < 0) count = 0;
      continue;
    }
    const auto it = FClients.find(p.fd);
    if (it == FClients.end() || it->second->Dead) continue;
    if (p.revents != 0 || Ready(*it->second)) Serve(*it->second, p.revents);
  }
  if (TCredentialChecker* checker = Checker())
    for (const std::string& line : checker->TakeReports())
      if (FSource.Control->OnReport) FSource.Control->OnReport(line);
  const int64_t now = FClock.MonotonicMs();
  for (auto it = FClients.begin(); it != FClients.end();) {
    const TClient& c = *it->second;
    const int fd = it->first;
    ++it;
    if (c.Dead || now >= Deadline(c)) Close(fd);
  }
}

int TNutServer::NextTimeoutMs() const {
  const int64_t now = FClock.MonotonicMs();
  int64_t next = FRetryAtMs >= 0 ? FRetryAtMs : Never;
  for (const auto& [fd, c] : FClients) {
    if (Ready(*c)) return 0;
    next = std::min(next, Deadline(*c));
    // A hash later than its release time: the wake descriptor announces it,
    // and a loop that does not poll it looks again shortly.
    if (c->HeldUntilMs >= 0) next = std::min(next, c->CheckId && now >= c->HeldUntilMs ? now + 20 : c->HeldUntilMs);
  }
  if (next == Never) return -1;
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, INT_MAX));
}

void TNutServer::Accept() {
  for (int i = 0; i < AcceptBudget; ++i) {
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
    std::string address = PeerAddressText(reinterpret_cast<const sockaddr&>(peer));
    // Full, in all or for this address: the client idle longest there (or
    // slowest to send a line or take its answers) makes room, so idle
    // connections, from however many loopback addresses, never lock anyone
    // out. Closed without a word: the protocol has no error for it, and a line
    // sent unasked would be read as the answer to the client's first request.
    if (MaxClients == 0 || MaxClientsPerAddress == 0) {
      ::close(fd);
      continue;
    }
    if (CountLive(&address) >= MaxClientsPerAddress)
      Evict(&address);
    else if (CountLive(nullptr) >= MaxClients)
      Evict(nullptr);
    auto client = std::make_unique<TClient>();
    client->Fd = fd;
    client->ActiveMs = FClock.MonotonicMs();
    client->Order = ++FAccepted;
    client->Session.Peer = std::move(address);
    FClients.emplace(fd, std::move(client));
  }
}

size_t TNutServer::CountLive(const std::string* peer) const {
  return static_cast<size_t>(std::count_if(FClients.begin(), FClients.end(), [&](const auto& entry) {
    return !entry.second->Dead && (!peer || entry.second->Session.Peer == *peer);
  }));
}

// Marked, not closed: its descriptor must not be reused by a client accepted
// in this same call while this call's poll results are still being served.
void TNutServer::Evict(const std::string* peer) {
  TClient* oldest = nullptr;
  for (const auto& [fd, c] : FClients) {
    if (c->Dead || (peer && c->Session.Peer != *peer)) continue;
    if (!oldest || c->ActiveMs < oldest->ActiveMs || (c->ActiveMs == oldest->ActiveMs && c->Order < oldest->Order))
      oldest = c.get();
  }
  if (oldest) oldest->Dead = true;
}

void TNutServer::Serve(TClient& c, short revents) {
  // An error or a hang-up of both directions: nothing can reach it any more.
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
    c.Dead = true;
    return;
  }
  if ((revents & POLLRDHUP) && !WantsInput(c)) c.PeerShut = true;
  if (revents & (POLLIN | POLLRDHUP)) Read(c);
  // Send what waits; whenever it is all sent, answer the requests held back
  // behind it, until the socket is full, they run out or this client has
  // had its share of this call (NextTimeoutMs then asks for another).
  for (int round = 0; !c.Dead; ++round) {
    Write(c);
    if (c.Dead || !Ready(c) || round == AnswerRounds) break;
    Drain(c);
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

void TNutServer::Drain(TClient& c) {
  const int64_t now = FClock.MonotonicMs();
  size_t start = 0;
  while (!c.CloseWhenSent && c.HeldUntilMs < 0 && Pending(c) <= MaxPending) {
    const size_t end = c.In.find('\n', start);
    if (end == std::string::npos) break;
    if (!c.Discarding) Answer(c, std::string_view(c.In).substr(start, end - start));
    c.Discarding = false;
    c.ActiveMs = now;
    start = end + 1;
  }
  c.In.erase(0, start);
  if (c.CloseWhenSent || (c.InputEnded && !HasWholeLine(c))) {
    c.In.clear();
    c.CloseWhenSent = true;
  }
  // One byte over the limit may be the CR of a CRLF line end.
  if (!HasWholeLine(c) && (c.Discarding || c.In.size() > MaxLineLength + 1)) {
    if (!c.Discarding) c.Out += NutErrorLine(TNutError::InvalidArgument);
    c.Discarding = true;
    c.In.clear();
  }
  const bool partial = !HasWholeLine(c) && (c.Discarding || !c.In.empty());
  if (!partial)
    c.LineStartMs = -1;
  else if (c.LineStartMs < 0)
    c.LineStartMs = now;
}

void TNutServer::Answer(TClient& c, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > MaxLineLength) {
    c.Out += NutErrorLine(TNutError::InvalidArgument);
    return;
  }
  const TNutReply reply = HandleLine(line, c.Session, FSource, FShared);
  if (reply.Check) {
    StartCheck(c, std::string(line), reply.CheckFor);
    return;
  }
  if (reply.Held) {
    // Trying commands gets slow without holding up anyone else.
    c.Held = reply.Text;
    c.HeldUntilMs = FClock.MonotonicMs() + FailDelayMs;
    return;
  }
  c.Out += reply.Text;
  if (reply.Close) c.CloseWhenSent = true;
}

// The hash runs on the checker's thread; this client's requests wait for
// its verdict, everyone else's are served meanwhile.
void TNutServer::StartCheck(TClient& c, const std::string& line, const std::string& what) {
  const int wake = FWakeFd;
  const TCredentialChecker::TTicket ticket =
      Checker()->Submit(*FSource.Control->Users, c.Session.User, c.Session.Password, c.Session.Peer, what, [wake] {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
      });
  std::fill(c.Session.Password.begin(), c.Session.Password.end(), '\0');
  c.Session.Password.clear();
  c.CheckId = ticket.Id;
  c.CheckLine = line;
  c.HeldUntilMs = ticket.ReleaseAtMs;
}

void TNutServer::Release(TClient& c, int64_t now) {
  if (c.HeldUntilMs < 0 || now < c.HeldUntilMs) return;
  if (c.CheckId != 0) {
    const std::optional<bool> good = Checker()->Take(c.CheckId);
    if (!good) return;
    c.CheckId = 0;
    SetVerdict(c.Session, FShared, *good);
    c.Held = HandleLine(c.CheckLine, c.Session, FSource, FShared).Text;
    c.CheckLine.clear();
  }
  c.Out += c.Held;
  c.Held.clear();
  c.HeldUntilMs = -1;
  c.ActiveMs = now;
}

void TNutServer::Write(TClient& c) {
  while (c.OutPos < c.Out.size()) {
    const ssize_t n = ::send(c.Fd, c.Out.data() + c.OutPos, c.Out.size() - c.OutPos, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.Dead = true;
      if (c.PendingSinceMs < 0) c.PendingSinceMs = FClock.MonotonicMs();
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
  if (!c.Out.empty()) c.ActiveMs = FClock.MonotonicMs();
  c.PendingSinceMs = -1;
  c.Out.clear();
  c.OutPos = 0;
  if (c.CloseWhenSent) c.Dead = true;
}

void TNutServer::Close(int fd) {
  const auto it = FClients.find(fd);
  if (it == FClients.end()) return;
  // A client that leaves before its verdict still has its failure counted.
  if (it->second->CheckId != 0) Checker()->Forget(it->second->CheckId);
  EndSession(it->second->Session, FShared);
  ::close(fd);
  FClients.erase(it);
}

}  // namespace tessaro::net
