#include "serial/Comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/LineEvents.h"
#include "serial/PortName.h"
#include "serial/PortSession.h"

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t MaxDword = 0xFFFFFFFFu;
constexpr milliseconds LineWatchPeriod{50};

std::string ErrnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// Errors with which a tty tells that its far end or its hardware is gone.
bool IsGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

// The port's session: the shared worker state plus the open descriptor and
// the reader's settings. The threads touch nothing else of the component.
struct TCommSession : TPortSession {
  TCommSession(int fd, TNotifyQueue& notify, std::atomic<bool>& sendDataEmpty, const TReadConfig& config)
      : TPortSession(notify, sendDataEmpty, TComm::MaxQueuedWrites), Fd(fd), Config(config) {}

  const int Fd;
  const TReadConfig& Config;
  std::thread Reader;
  std::thread Writer;
};

namespace {

// ---- reader thread -------------------------------------------------------

class TReader {
 public:
  explicit TReader(TCommSession& s) : S(s), Watch(s.Fd) {}

  void Run() {
    ReadStart = Clock::now();
    NextWatch = ReadStart + LineWatchPeriod;
    for (;;) {
      const uint32_t interval = S.Config.ReadIntervalTimeout;
      const uint32_t multiplier = S.Config.ReadTotalTimeoutMultiplier;
      const uint32_t constant = S.Config.ReadTotalTimeoutConstant;
      // Interval MAXDWORD with no totals: a read returns at once with what is there.
      const bool immediate = interval == MaxDword && multiplier == 0 && constant == 0;
      const bool useInterval = interval != 0 && !immediate;
      const bool useTotal = multiplier != 0 || constant != 0;
      const Clock::time_point totalDeadline =
          ReadStart + milliseconds(uint64_t{multiplier} * ReadBufferSize + constant);

      std::optional<Clock::time_point> deadline;
      auto consider = [&](Clock::time_point t) { deadline = deadline ? std::min(*deadline, t) : t; };
      if (Count > 0 && useInterval) consider(LastByte + milliseconds(interval));
      if (useTotal) consider(totalDeadline);
      if (Watch.Supported()) consider(NextWatch);

      int timeout = -1;
      if (deadline) {
        const auto left = std::chrono::ceil<milliseconds>(*deadline - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
      }

      pollfd fds[2] = {{S.StopFd, POLLIN, 0}, {S.Fd, POLLIN, 0}};
      if (poll(fds, 2, timeout) < 0) {
        if (errno == EINTR) continue;
        S.ReportFailure(TPortFailureKind::WaitError, errno, "Waiting for the serial port failed: " + ErrnoText(errno));
        return;
      }
      if (fds[0].revents) return;                 // the close event comes first
      if (fds[1].revents & POLLNVAL) return;      // the port handle is gone: end quietly
      if (fds[1].revents && !ReadAvailable(fds[1].revents, immediate)) return;

      const auto now = Clock::now();
      if (Count > 0 && useInterval && now >= LastByte + milliseconds(interval) && !Deliver()) return;
      if (useTotal && now >= totalDeadline) {
        // A read that ends on its total limit; with no byte it simply starts again.
        if (Count > 0 && !Deliver()) return;
        ReadStart = now;
      }
      if (Watch.Supported() && now >= NextWatch) {
        NextWatch = now + LineWatchPeriod;
        if (!PostLineEvents(Watch.Sample())) return;
      }
    }
  }

 private:
  // False when the reader must end.
  bool ReadAvailable(short revents, bool immediate) {
    const ssize_t got = read(S.Fd, Buffer.data() + Count, ReadBufferSize - Count);
    if (got > 0) {
      size_t kept = static_cast<size_t>(got);
      if (S.Config.IgnoreNullChar) {
        uint8_t* first = Buffer.data() + Count;
        kept = static_cast<size_t>(std::remove(first, first + got, uint8_t{0}) - first);
      }
      if (kept == 0) return true;
      if (Count == 0) ChunkPurgeSeq = S.Config.PurgeSeq.load();
      Count += kept;
      LastByte = Clock::now();
      if (Count == ReadBufferSize || immediate) return Deliver();
      return true;
    }
    if (got == 0) {  // end of file: a hung-up terminal
      return Fail(TPortFailureKind::HangUp, 0);
    }
    const int err = errno;
    if (err == EINTR) return true;
    if (err == EAGAIN) {
      if (revents & (POLLHUP | POLLERR)) return Fail(TPortFailureKind::HangUp, 0);
      return true;
    }
    if (err == EBADF) return false;
    return Fail(IsGoneError(err) ? TPortFailureKind::HangUp : TPortFailureKind::ReadError, err);
  }

  // Bytes that arrived before the failure are still delivered.
  bool Fail(TPortFailureKind kind, int err) {
    if (Count > 0) Deliver();
    std::string text = kind == TPortFailureKind::HangUp
                           ? "The far end closed the line or the device was removed"
                           : "Reading from the serial port failed";
    if (err != 0) text += ": " + ErrnoText(err);
    S.ReportFailure(kind, err, std::move(text));
    return false;
  }

  bool Deliver() {
    // A chunk that began before the owner purged the input belongs to an
    // earlier request: dropped whole.
    if (ChunkPurgeSeq != S.Config.PurgeSeq.load()) {
      Count = 0;
      ReadStart = Clock::now();
      return true;
    }
    TNotification n;
    n.Code = NotifyDataReceived;
    try {
      n.Data.reserve(Count + 1);
      n.Data.assign(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(Count));
      n.Data.push_back(0);
    } catch (...) {
      S.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "No memory for received data");
      return false;
    }
    n.Value = static_cast<uint32_t>(Count);
    Count = 0;
    ReadStart = Clock::now();
    if (!S.Notify.Post(std::move(n))) {
      S.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "Posting received data failed");
      return false;
    }
    return true;
  }

  bool PostLineEvents(const TLineEvents& e) {
    if (e.ErrorFlags != 0 && !S.Notify.Post({NotifyReceiveError, e.ErrorFlags, {}, {}})) {
      S.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "Posting a line error failed");
      return false;
    }
    if (e.ModemEvent != 0 && !S.Notify.Post({NotifyModemState, e.ModemEvent, {}, {}})) {
      S.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "Posting a modem event failed");
      return false;
    }
    return true;
  }

  static constexpr size_t ReadBufferSize = TComm::ReadBufferSize;
  TCommSession& S;
  TLineWatch Watch;
  std::array<uint8_t, ReadBufferSize> Buffer{};
  size_t Count = 0;
  uint32_t ChunkPurgeSeq = 0;
  Clock::time_point ReadStart;
  Clock::time_point LastByte;
  Clock::time_point NextWatch;
};

void ReaderMain(TCommSession& s) noexcept {
  try {
    TReader reader(s);
    reader.Run();
  } catch (...) {
    s.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "The reader thread ran out of memory");
  }
  tcflush(s.Fd, TCIFLUSH);
}

// ---- writer thread -------------------------------------------------------

// False when the writer must end (closed, or failed and reported).
bool WriteRequest(TCommSession& s, const std::vector<uint8_t>& bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    const ssize_t done = write(s.Fd, bytes.data() + offset, bytes.size() - offset);
    if (done > 0) {
      offset += static_cast<size_t>(done);  // partial writes are continued
      continue;
    }
    const int err = done < 0 ? errno : EIO;
    if (err == EINTR) continue;
    if (err == EAGAIN) {
      pollfd fds[2] = {{s.StopFd, POLLIN, 0}, {s.Fd, POLLOUT, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        s.ReportFailure(TPortFailureKind::WaitError, errno, "Waiting for the serial port failed: " + ErrnoText(errno));
        return false;
      }
      if (fds[0].revents) return false;
      if (fds[1].revents & POLLNVAL) return false;
      if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLOUT)) {
        s.ReportFailure(TPortFailureKind::HangUp, 0, "The far end closed the line or the device was removed");
        return false;
      }
      continue;
    }
    if (err == EBADF) return false;
    if (IsGoneError(err))
      s.ReportFailure(TPortFailureKind::HangUp, err,
                      "The far end closed the line or the device was removed: " + ErrnoText(err));
    else
      s.ReportFailure(TPortFailureKind::WriteError, err, "Writing to the serial port failed: " + ErrnoText(err));
    return false;
  }
  return true;
}

void RunWriter(TCommSession& s) {
  bool completed = true;  // post a send-queue-empty notification at the next idle moment
  for (;;) {
    std::vector<uint8_t> request;
    if (!s.TryDequeue(request)) {
      if (completed) {
        if (!s.PostSendQueueEmpty()) return;
        completed = false;
      }
      pollfd fds[2] = {{s.StopFd, POLLIN, 0}, {s.WakeFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        s.ReportFailure(TPortFailureKind::WaitError, errno, "Waiting for write requests failed: " + ErrnoText(errno));
        return;
      }
      if (fds[0].revents) return;
      if (fds[1].revents) s.ClearWake();
      continue;
    }
    pollfd stop = {s.StopFd, POLLIN, 0};
    if (poll(&stop, 1, 0) > 0) return;
    if (!WriteRequest(s, request)) return;
    completed = true;
  }
}

void WriterMain(TCommSession& s) noexcept {
  try {
    RunWriter(s);
  } catch (...) {
    s.ReportFailure(TPortFailureKind::OutOfResources, ENOMEM, "The writer thread ran out of memory");
  }
  tcflush(s.Fd, TCOFLUSH);
  s.SendDataEmpty = true;
}

}  // namespace

// ---- the component -------------------------------------------------------

TComm::TComm() = default;

TComm::~TComm() { ClosePort(); }

std::optional<std::string> TComm::DevicePath(const std::string& commName) {
  const std::optional<TPortName> name = ParsePortName(commName);
  if (!name || name->IsNetwork()) return std::nullopt;
  return name->Path;
}

void TComm::OpenPort() {
  if (IsOpen()) throw ECommsError(MsgAlreadyOpened);

  const std::optional<std::string> path = DevicePath(FCommName);
  if (!path) throw ECommsError(MsgErrorOpening, ENOENT);

  int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw ECommsError(MsgErrorOpening, errno);
  if (fd <= 2) {  // keep the handle non-zero (0 means closed) and off the standard streams
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    if (moved < 0) throw ECommsError(MsgErrorOpening, err);
    fd = moved;
  }
  // No sharing: flock refuses a second opener in any process (also one running
  // as root, whom TIOCEXCL does not stop); TIOCEXCL refuses plain opens by others.
  // A device node without flock support is not refused for that alone.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    throw ECommsError(MsgErrorOpening, EBUSY);
  }
  if (!isatty(fd)) {
    close(fd);
    throw ECommsError(MsgNotCommHandle, ENOTTY);
  }
  (void)ioctl(fd, TIOCEXCL);

  FFd = fd;
  tcflush(fd, TCIOFLUSH);
  FSendDataEmpty = true;
  // The timeouts live in FReadConfig and apply by themselves. A port left at
  // its old speed would look open and never hear a device: refused here.
  if (!ApplyLineSettings(fd, FLine) || !LineSpeedIs(fd, FLine.BaudRate)) {
    (void)ioctl(fd, TIOCNXCL);
    CloseFd(FFd);
    throw ECommsError(MsgBaudRateRefused, EINVAL);
  }

  auto session = std::make_unique<TCommSession>(fd, FNotify, FSendDataEmpty, FReadConfig);
  if (!session->CreateEvents()) {
    const int err = errno;
    FSession = std::move(session);
    StopThreadsAndClose();
    throw ECommsError(MsgUnableCreateEvent, err);
  }
  FSession = std::move(session);

  try {
    FSession->Reader = std::thread(ReaderMain, std::ref(*FSession));
  } catch (const std::system_error& e) {
    StopThreadsAndClose();
    throw ECommsError(MsgUnableCreateReadThread, e.code().value());
  }
  try {
    FSession->Writer = std::thread(WriterMain, std::ref(*FSession));
  } catch (const std::system_error& e) {
    StopThreadsAndClose();
    throw ECommsError(MsgUnableCreateWriteThread, e.code().value());
  }
}

void TComm::ClosePort() {
  if (!IsOpen()) return;
  StopThreadsAndClose();
  // Nothing of this open reaches a callback after the close.
  FNotify.Discard();
}

void TComm::StopThreadsAndClose() {
  TCommSession* s = FSession.get();
  if (s) s->SetStop();
  // Every wait of both threads includes the close event and no call of theirs
  // blocks, so they end at once.
  tcflush(FFd, TCIFLUSH);
  if (s && s->Reader.joinable()) s->Reader.join();
  FSendDataEmpty = true;
  tcflush(FFd, TCOFLUSH);  // also keeps close() from waiting for the output to drain
  if (s && s->Writer.joinable()) s->Writer.join();
  FSession.reset();  // requests still queued are discarded
  FSendDataEmpty = true;
  (void)ioctl(FFd, TIOCNXCL);
  CloseFd(FFd);
}

bool TComm::SendData(const uint8_t* data, size_t count) {
  if (!IsOpen() || count == 0 || !FSession) return false;
  std::vector<uint8_t> copy;
  try {
    copy.assign(data, data + count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return FSession->Enqueue(std::move(copy));
}

void TComm::SetIgnoreNullChar(bool v) {
  FReadConfig.IgnoreNullChar = v;
  SetLine(&TLineSettings::IgnoreNullChar, v);
}

void TComm::PurgeInput() {
  if (!IsOpen()) return;
  ++FReadConfig.PurgeSeq;
  tcflush(FFd, TCIFLUSH);
  FNotify.DiscardReceived();
}

void TComm::DispatchNotifications() { DispatchPortNotifications(FNotify, *this); }

void ConfigureProgramPort(TComm& comm) {
  comm.SetOutx_XonXoffFlow(false);
  comm.SetInx_XonXoffFlow(false);
  comm.SetReadIntervalTimeout(300);
}

}  // namespace tessaro
