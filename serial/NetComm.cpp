#include "serial/NetComm.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/PortName.h"
#include "serial/PortSession.h"
#include "serial/Rfc2217.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string ErrnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// Errors with which a connection tells that the server or the way to it is gone.
bool IsGoneError(int err) {
  return err == ECONNRESET || err == EPIPE || err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH ||
         err == ECONNABORTED || err == ENETDOWN;
}

std::string Seconds(int ms) {
  const int tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

// Milliseconds left until `deadline`, for poll(); 0 once it has passed.
int MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// The addresses of a host name, looked up on a thread of its own: a resolver
// that hangs must not hold up ClosePort. The thread keeps this alive until it
// is done, whoever still waits for it.
struct TLookup {
  TLookup() : Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~TLookup() {
    if (Result) freeaddrinfo(Result);
    if (Fd >= 0) close(Fd);
  }
  std::mutex Mutex;
  bool Done = false;
  int Error = 0;  // getaddrinfo's code
  addrinfo* Result = nullptr;
  const int Fd;  // readable once Done
};

addrinfo Hints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  return hints;
}

}  // namespace

// Everything the worker thread shares with the component.
struct TNetSession : TPortSession {
  TNetSession(TNotifyQueue& notify, std::atomic<bool>& sendDataEmpty, TPortName name, const TLineSettings& line,
              int connectTimeoutMs, int negotiateTimeoutMs)
      : TPortSession(notify, sendDataEmpty, TNetComm::MaxQueuedWrites),
        Name(std::move(name)),
        Line(line),
        ConnectTimeoutMs(connectTimeoutMs),
        NegotiateTimeoutMs(negotiateTimeoutMs) {}
  ~TNetSession() {
    if (Sock >= 0) close(Sock);
  }

  const TPortName Name;
  const TLineSettings Line;
  const int ConnectTimeoutMs;
  const int NegotiateTimeoutMs;
  int Sock = -1;                     // owned; closed after the thread has ended
  std::atomic<intptr_t> Handle{0};   // Sock once the connection can carry requests
  std::atomic<uint32_t> PurgeSeq{0};  // bumped by PurgeInput
  std::thread Worker;
};

namespace {

class TWorker {
 public:
  explicit TWorker(TNetSession& s) : S(s) {}

  void Run() {
    if (!Connect()) return;
    if (S.Name.Kind == TPortKind::Rfc2217) {
      Link = std::make_unique<TRfc2217Link>(S.Line);
      if (!Negotiate()) return;
    }
    S.Handle = S.Sock;
    Pump();
  }

 private:
  enum class TWait { Ready, Stopped, TimedOut, Failed };

  // Waits for `events` on the socket (and the close event) until the deadline.
  TWait WaitSocket(short events, Clock::time_point deadline, short* revents = nullptr) {
    for (;;) {
      pollfd fds[2] = {{S.StopFd, POLLIN, 0}, {S.Sock, events, 0}};
      const int n = poll(fds, 2, MsUntil(deadline));
      if (n < 0) {
        if (errno == EINTR) continue;
        S.ReportFailure(TPortFailureKind::WaitError, errno, "waiting for the network failed: " + ErrnoText(errno));
        return TWait::Failed;
      }
      if (fds[0].revents) return TWait::Stopped;
      if (n == 0) return TWait::TimedOut;
      if (revents) *revents = fds[1].revents;
      return TWait::Ready;
    }
  }

  // The addresses of the host; null when stopped or failed (and reported).
  addrinfo* Resolve(Clock::time_point deadline, std::shared_ptr<TLookup>& keep) {
    const std::string service = std::to_string(S.Name.Port);
    const addrinfo numeric = Hints(AI_NUMERICHOST);
    keep = std::make_shared<TLookup>();
    if (getaddrinfo(S.Name.Host.c_str(), service.c_str(), &numeric, &keep->Result) == 0) return keep->Result;
    keep->Result = nullptr;
    if (keep->Fd < 0) {
      S.ReportFailure(TPortFailureKind::OutOfResources, errno, "no event for the name lookup");
      return nullptr;
    }
    try {
      std::thread([lookup = keep, host = S.Name.Host, service] {
        const addrinfo hints = Hints(0);
        addrinfo* found = nullptr;
        const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        std::lock_guard lock(lookup->Mutex);
        lookup->Error = error;
        lookup->Result = found;
        lookup->Done = true;
        const uint64_t one = 1;
        (void)!write(lookup->Fd, &one, sizeof one);
      }).detach();
    } catch (const std::system_error& e) {
      S.ReportFailure(TPortFailureKind::OutOfResources, e.code().value(), "no thread for the name lookup");
      return nullptr;
    }
    for (;;) {
      pollfd fds[2] = {{S.StopFd, POLLIN, 0}, {keep->Fd, POLLIN, 0}};
      const int n = poll(fds, 2, MsUntil(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && fds[0].revents) return nullptr;
      if (n <= 0) {
        S.ReportFailure(TPortFailureKind::HangUp, ETIMEDOUT,
                        "looking up the host \"" + S.Name.Host + "\" took longer than " +
                            Seconds(S.ConnectTimeoutMs));
        return nullptr;
      }
      std::lock_guard lock(keep->Mutex);
      if (!keep->Done) continue;
      if (keep->Error != 0) {
        S.ReportFailure(TPortFailureKind::HangUp, 0,
                        "cannot find the host \"" + S.Name.Host + "\": " + gai_strerror(keep->Error));
        return nullptr;
      }
      return keep->Result;
    }
  }

  // False when stopped or failed (and reported).
  bool Connect() {
    const Clock::time_point deadline = Clock::now() + milliseconds(S.ConnectTimeoutMs);
    std::shared_ptr<TLookup> lookup;
    addrinfo* addresses = Resolve(deadline, lookup);
    if (!addresses) return false;
    int lastError = 0;
    for (addrinfo* a = addresses; a; a = a->ai_next) {
      S.Sock = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (S.Sock < 0) {
        lastError = errno;
        continue;
      }
      if (S.Sock <= 2) {  // keep the handle non-zero and off the standard streams
        const int moved = fcntl(S.Sock, F_DUPFD_CLOEXEC, 3);
        close(S.Sock);
        S.Sock = moved;
        if (moved < 0) {
          lastError = errno;
          continue;
        }
      }
      int error = connect(S.Sock, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
      if (error == EINPROGRESS) {
        short revents = 0;
        switch (WaitSocket(POLLOUT, deadline, &revents)) {
          case TWait::Stopped:
          case TWait::Failed: return false;
          case TWait::TimedOut: error = ETIMEDOUT; break;
          case TWait::Ready: {
            socklen_t len = sizeof error;
            if (getsockopt(S.Sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            break;
          }
        }
      }
      if (error == 0) {
        SetOptions();
        return true;
      }
      lastError = error;
      close(S.Sock);
      S.Sock = -1;
      if (error == ETIMEDOUT) break;  // the time is used up
    }
    const std::string where = S.Name.Host + ":" + std::to_string(S.Name.Port);
    if (lastError == ETIMEDOUT)
      S.ReportFailure(TPortFailureKind::HangUp, ETIMEDOUT,
                      "no connection to " + where + " within " + Seconds(S.ConnectTimeoutMs));
    else
      S.ReportFailure(TPortFailureKind::HangUp, lastError, "cannot connect to " + where + ": " + ErrnoText(lastError));
    return false;
  }

  void SetOptions() {
    const int on = 1;
    // Requests are small and each waits for its answer: never hold one back.
    setsockopt(S.Sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A server that vanished without a word (power cut, cable pulled) is
    // noticed while idle by keepalive, and while sending by the user timeout.
    setsockopt(S.Sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(S.Sock, IPPROTO_TCP, TCP_KEEPIDLE, &TNetComm::KeepIdleS, sizeof(int));
    setsockopt(S.Sock, IPPROTO_TCP, TCP_KEEPINTVL, &TNetComm::KeepIntervalS, sizeof(int));
    setsockopt(S.Sock, IPPROTO_TCP, TCP_KEEPCNT, &TNetComm::KeepCount, sizeof(int));
    const unsigned userTimeout = TNetComm::UserTimeoutMs;
    setsockopt(S.Sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
  }

  // Until the server has agreed to the COM port option and taken the speed.
  // Line data before that answers nobody's request and is dropped.
  bool Negotiate() {
    const Clock::time_point deadline = Clock::now() + milliseconds(S.NegotiateTimeoutMs);
    Link->Start();
    if (!TakeLinkOutput()) return false;
    while (Link->State() == TRfc2217Link::TState::Negotiating ||
           Link->State() == TRfc2217Link::TState::Configuring) {
      short revents = 0;
      switch (WaitSocket(static_cast<short>(POLLIN | (Out.empty() ? 0 : POLLOUT)), deadline, &revents)) {
        case TWait::Stopped:
        case TWait::Failed: return false;
        case TWait::TimedOut:
          // A server that agreed but never confirms the speed is taken at its word.
          if (Link->State() == TRfc2217Link::TState::Configuring) return true;
          S.ReportFailure(TPortFailureKind::HangUp, ETIMEDOUT,
                          "no answer to the RFC 2217 COM port option within " + Seconds(S.NegotiateTimeoutMs) +
                              " (the server refuses it, or is a raw TCP port: then use tcp://)");
          return false;
        case TWait::Ready: break;
      }
      if ((revents & POLLOUT) && !Flush()) return false;
      if ((revents & (POLLIN | POLLHUP | POLLERR)) && !ReadSome(false)) return false;
    }
    if (Link->State() == TRfc2217Link::TState::Failed) {
      S.ReportFailure(TPortFailureKind::HangUp, 0, Link->Problem());
      return false;
    }
    return true;
  }

  // The connection carries requests and answers until it ends or the port closes.
  void Pump() {
    bool completed = true;  // post a send-queue-empty notification at the next idle moment
    for (;;) {
      if (!TakeRequests()) return;
      if (Out.empty() && completed && S.SendDataEmpty) {
        if (!S.PostSendQueueEmpty()) return;
        completed = false;
      }
      pollfd fds[3] = {{S.StopFd, POLLIN, 0},
                       {S.WakeFd, POLLIN, 0},
                       {S.Sock, static_cast<short>(POLLIN | (Out.empty() ? 0 : POLLOUT)), 0}};
      if (poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        S.ReportFailure(TPortFailureKind::WaitError, errno, "waiting for the network failed: " + ErrnoText(errno));
        return;
      }
      if (fds[0].revents) return;
      if (fds[1].revents) S.ClearWake();
      if (fds[2].revents & POLLOUT) {
        if (!Flush()) return;
        if (Out.empty()) completed = true;
      }
      if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadSome(true)) return;
    }
  }

  // Moves queued requests into the output, after dropping the input that a
  // purge before them asked to drop. Stops taking while the server does not
  // read, so that the queue fills and SendData says so.
  bool TakeRequests() {
    std::vector<uint8_t> request;
    while (Out.size() < TNetComm::MaxPendingOut) {
      if (!CatchUpPurge()) return false;
      if (!S.TryDequeue(request)) break;
      if (!CatchUpPurge()) return false;
      if (Link) {
        Link->Send(request.data(), request.size());
        if (!TakeLinkOutput()) return false;
      } else {
        Out.insert(Out.end(), request.begin(), request.end());
      }
    }
    return true;
  }

  // What the socket holds now was received before the purge: read and dropped
  // (through the Telnet parser, which must see every byte).
  bool CatchUpPurge() {
    const uint32_t seq = S.PurgeSeq;
    if (seq == SeenPurge) return true;
    SeenPurge = seq;
    for (;;) {
      const ssize_t got = recv(S.Sock, Buffer.data(), Buffer.size(), MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (got < 0 && errno == EINTR) continue;
      if (!Decode(got)) return false;
      Chunk.clear();
    }
  }

  // One read; its line data goes up as one chunk unless a purge came since.
  bool ReadSome(bool deliver) {
    const ssize_t got = recv(S.Sock, Buffer.data(), Buffer.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (!Decode(got)) return false;
    if (Chunk.empty() || !deliver || S.PurgeSeq != SeenPurge) {
      Chunk.clear();
      return true;
    }
    TNotification n;
    n.Code = NotifyDataReceived;
    n.Value = static_cast<uint32_t>(Chunk.size());
    n.Data = std::move(Chunk);
    n.Data.push_back(0);
    Chunk.clear();
    if (!S.Notify.Post(std::move(n))) {
      S.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "posting received data failed");
      return false;
    }
    return true;
  }

  // The line data of `got` bytes in Buffer into Chunk; false when the
  // connection has ended (reported).
  bool Decode(ssize_t got) {
    if (got == 0) {
      S.ReportFailure(TPortFailureKind::HangUp, 0, "the server closed the connection");
      return false;
    }
    if (got < 0) {
      const int err = errno;
      S.ReportFailure(IsGoneError(err) ? TPortFailureKind::HangUp : TPortFailureKind::ReadError, err,
                      "the connection failed: " + ErrnoText(err));
      return false;
    }
    if (!Link) {
      Chunk.insert(Chunk.end(), Buffer.begin(), Buffer.begin() + got);
      return true;
    }
    Link->Receive(Buffer.data(), static_cast<size_t>(got), Chunk);
    if (!TakeLinkOutput()) return false;  // answers to the server's negotiation
    if (Link->State() == TRfc2217Link::TState::Failed) {
      S.ReportFailure(TPortFailureKind::HangUp, 0, Link->Problem());
      return false;
    }
    return true;
  }

  // False when the server has let more pile up than MaxOut (reported): every
  // negotiation it sends is answered, so one that floods them and never
  // reads would otherwise grow the output without end.
  bool TakeLinkOutput() {
    std::vector<uint8_t>& linkOut = Link->Out();
    if (Out.size() + linkOut.size() > TNetComm::MaxOut) {
      linkOut.clear();
      S.ReportFailure(TPortFailureKind::WriteError, ENOBUFS,
                      "the server does not read what we send (over " + std::to_string(TNetComm::MaxOut / 1024) +
                          " KiB waiting, most of it answers to its own Telnet negotiation)");
      return false;
    }
    Out.insert(Out.end(), linkOut.begin(), linkOut.end());
    linkOut.clear();
    return true;
  }

  // Writes what the socket takes now.
  bool Flush() {
    while (!Out.empty()) {
      const ssize_t done = send(S.Sock, Out.data(), Out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (done > 0) {
        Out.erase(Out.begin(), Out.begin() + done);
        continue;
      }
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      const int err = done < 0 ? errno : EIO;
      S.ReportFailure(IsGoneError(err) ? TPortFailureKind::HangUp : TPortFailureKind::WriteError, err,
                      "sending to the server failed: " + ErrnoText(err));
      return false;
    }
    return true;
  }

  TNetSession& S;
  std::unique_ptr<TRfc2217Link> Link;
  std::vector<uint8_t> Out;    // bytes for the socket
  std::vector<uint8_t> Chunk;  // line data of the current read
  std::array<uint8_t, TNetComm::ReadBufferSize> Buffer{};
  uint32_t SeenPurge = 0;
};

void WorkerMain(TNetSession& s) noexcept {
  try {
    TWorker worker(s);
    worker.Run();
  } catch (...) {
    s.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "the network thread ran out of memory");
  }
  s.Handle = 0;
  s.SendDataEmpty = true;
}

}  // namespace

TNetComm::TNetComm() = default;

TNetComm::~TNetComm() { ClosePort(); }

bool TNetComm::IsOpen() const { return FSession != nullptr; }

intptr_t TNetComm::PortHandle() const { return FSession ? FSession->Handle.load() : 0; }

void TNetComm::OpenPort() {
  if (IsOpen()) throw ECommsError(MsgAlreadyOpened);
  std::string why;
  std::optional<TPortName> name = ParsePortName(FCommName, &why);
  if (name && !name->IsNetwork()) why = "\"" + FCommName + "\" is not a network port name";
  if (!name || !name->IsNetwork()) throw ECommsError(why, EINVAL);

  auto session = std::make_unique<TNetSession>(FNotify, FSendDataEmpty, std::move(*name), FLine, ConnectTimeoutMs,
                                               NegotiateTimeoutMs);
  if (!session->CreateEvents()) throw ECommsError(MsgUnableCreateEvent, errno);
  FSendDataEmpty = true;
  try {
    session->Worker = std::thread(WorkerMain, std::ref(*session));
  } catch (const std::system_error& e) {
    throw ECommsError(MsgUnableCreateReadThread, e.code().value());
  }
  FSession = std::move(session);
}

void TNetComm::ClosePort() {
  if (!FSession) return;
  // Every wait of the worker includes the close event and none of its calls
  // blocks (a slow name lookup runs on a thread of its own), so it ends at once.
  FSession->SetStop();
  if (FSession->Worker.joinable()) FSession->Worker.join();
  FSession.reset();  // closes the socket; requests still queued are discarded
  FSendDataEmpty = true;
  FNotify.Discard();  // nothing of this open reaches a callback after the close
}

bool TNetComm::SendData(const uint8_t* data, size_t count) {
  if (!FSession || FSession->Handle == 0 || count == 0) return false;
  std::vector<uint8_t> copy;
  try {
    copy.assign(data, data + count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return FSession->Enqueue(std::move(copy));
}

void TNetComm::PurgeInput() {
  if (!FSession) return;
  ++FSession->PurgeSeq;
  FNotify.DiscardReceived();
}

void TNetComm::DispatchNotifications() { DispatchPortNotifications(FNotify, *this); }

}  // namespace tessaro
