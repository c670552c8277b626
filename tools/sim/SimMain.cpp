// tessaro-sim: a bus of UPS devices on a pseudo-terminal (see --help).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "tools/sim/SimBus.h"
#include "tools/sim/SimOptions.h"

using namespace tessaro;
using namespace tessaro::sim;

namespace {

volatile sig_atomic_t GStop = 0;

void OnSignal(int) { GStop = 1; }

void Log(const std::string& line) {
  static const TSystemClock clock;
  const TDateTime now = clock.Now();
  const int ms = DecodeDateTime(now).Millisecond;
  std::fprintf(stderr, "%s.%03d tessaro-sim: %s\n", FormatDateTime(now).c_str(), ms, line.c_str());
}

bool MakeParents(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool SetRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The line speed the port's owner set on the slave side (a serial server
// applying RFC 2217 settings, say), in bit/s; 0 when not a common one.
unsigned LineSpeed(int slave) {
  static const struct {
    speed_t Code;
    unsigned Baud;
  } speeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  termios tio{};
  if (tcgetattr(slave, &tio) != 0) return 0;
  for (const auto& s : speeds)
    if (cfgetospeed(&tio) == s.Code) return s.Baud;
  return 0;
}

// Writes what the line takes now; returns false when the master is gone.
bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  int stalls = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // Nobody reads the slave and its queue is full: the line loses the rest.
      if (++stalls > 20) {
        Log("line full, " + std::to_string(bytes.size() - done) + " bytes lost");
        return true;
      }
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 5);
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TSimOptions options;
  bool wantHelp = false;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, wantHelp, error)) {
    std::fprintf(stderr, "tessaro-sim: %s\n", error.c_str());
    return 2;
  }
  if (wantHelp) {
    std::fputs(kHelpText, stdout);
    return 0;
  }
  const auto start = std::chrono::steady_clock::now();
  if (!options.SeedGiven) {
    options.Seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                   (static_cast<uint64_t>(getpid()) << 32);
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "tessaro-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const char* slaveName = ptsname(master);
  if (!slaveName) {
    std::fprintf(stderr, "tessaro-sim: ptsname: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string slavePath = slaveName;
  // Keeping a slave descriptor open ourselves means the master never sees a
  // hang-up while the monitor has the port closed, and the raw settings stay.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0 || !SetRaw(slave)) {
    std::fprintf(stderr, "tessaro-sim: cannot set up %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // The stop signals are blocked except inside ppoll, so none slips in
  // between the check of GStop and the wait.
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);

  struct stat st{};
  if (lstat(options.LinkPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "tessaro-sim: %s exists and is not a symlink\n", options.LinkPath.c_str());
      return 1;
    }
    unlink(options.LinkPath.c_str());
  }
  if (!MakeParents(options.LinkPath) || symlink(slavePath.c_str(), options.LinkPath.c_str()) != 0) {
    std::fprintf(stderr, "tessaro-sim: cannot create %s: %s\n", options.LinkPath.c_str(), std::strerror(errno));
    return 1;
  }

  const bool verbose = options.Verbose;
  TSimBus bus(options, options.Seed, [verbose](const std::string& line) {
    if (verbose) Log(line);
  });
  if (verbose) {
    std::string devices;
    for (int a : options.Devices) devices += (devices.empty() ? "" : ",") + std::to_string(a);
    Log(slavePath + " as " + options.LinkPath + ", devices " + devices + ", seed " + std::to_string(options.Seed));
  }
  std::printf("ready %s\n", options.LinkPath.c_str());
  std::fflush(stdout);

  auto Now = [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  std::vector<TScheduledWrite> pending;  // kept in order of due time, ties in order of scheduling
  std::vector<TScheduledWrite> fresh;
  int status = 0;
  char buf[4096];
  unsigned lineSpeed = LineSpeed(slave);
  while (!GStop) {
    double deadline = -1;
    if (!pending.empty()) deadline = pending.front().Due;
    const double idle = bus.IdleDeadline();
    if (idle >= 0 && (deadline < 0 || idle < deadline)) deadline = idle;
    int timeoutMs = 1000;
    if (deadline >= 0) timeoutMs = std::clamp(static_cast<int>(std::ceil((deadline - Now()) * 1000.0)), 0, 1000);

    pollfd p{master, POLLIN, 0};
    const timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    const int ready = ppoll(&p, 1, &timeout, &waitMask);
    if (ready < 0 && errno != EINTR) {
      Log(std::string("poll: ") + std::strerror(errno));
      status = 1;
      break;
    }
    fresh.clear();
    if (ready > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) bus.Receive(std::string(buf, static_cast<size_t>(n)), Now(), fresh);
      if (const unsigned speed = LineSpeed(slave); verbose && speed != lineSpeed) {
        lineSpeed = speed;
        Log("line speed " + std::to_string(speed));
      }
    }
    bus.Idle(Now(), fresh);
    for (auto& w : fresh) {
      const auto at = std::upper_bound(pending.begin(), pending.end(), w.Due,
                                       [](double due, const TScheduledWrite& x) { return due < x.Due; });
      pending.insert(at, std::move(w));
    }
    const double now = Now();
    size_t sent = 0;
    while (sent < pending.size() && pending[sent].Due <= now) {
      if (!WriteAll(master, pending[sent].Bytes)) {
        Log(std::string("write: ") + std::strerror(errno));
        GStop = 1;
        status = 1;
        break;
      }
      ++sent;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(sent));
  }

  // Remove the link only if it is still ours.
  char target[PATH_MAX];
  const ssize_t len = readlink(options.LinkPath.c_str(), target, sizeof target - 1);
  if (len > 0 && std::string(target, static_cast<size_t>(len)) == slavePath) unlink(options.LinkPath.c_str());
  close(slave);
  close(master);
  if (verbose) Log("stopped");
  return status;
}
