#pragma once
// Test helpers: a pseudo-terminal pair made with posix_openpt, bounded waits
// that pump a port's notifications, and bounded reads from the master side.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/SerialPort.h"

namespace tessaro::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The master stays with the test (it plays the device); the slave path is
// what TComm opens.
class TPtyPair {
 public:
  TPtyPair() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) throw std::runtime_error("posix_openpt failed");
    if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) throw std::runtime_error("grantpt/unlockpt failed");
    char name[128];
    if (ptsname_r(FMaster, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    FSlavePath = name;
    // Raw master side: what the slave writes arrives unchanged.
    termios t{};
    tcgetattr(FMaster, &t);
    cfmakeraw(&t);
    tcsetattr(FMaster, TCSANOW, &t);
  }
  ~TPtyPair() { CloseMaster(); }
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  int Master() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }

  void CloseMaster() {
    if (FMaster >= 0) close(FMaster);
    FMaster = -1;
  }

  // Writes all bytes with one write() where the pty takes them at once: a burst.
  void Write(const std::string& bytes) const { Write(std::vector<uint8_t>(bytes.begin(), bytes.end())); }
  void Write(const std::vector<uint8_t>& bytes) const {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = write(FMaster, bytes.data() + off, bytes.size() - off);
      if (n <= 0) throw std::runtime_error("write to pty master failed");
      off += static_cast<size_t>(n);
    }
  }

  // Reads from the master until `count` bytes arrived or the bound passed.
  std::vector<uint8_t> ReadExactly(size_t count, std::chrono::milliseconds bound = 5000ms) const {
    std::vector<uint8_t> out;
    const auto deadline = Clock::now() + bound;
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t n = read(FMaster, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

 private:
  int FMaster = -1;
  std::string FSlavePath;
};

// Pumps the port's notifications on this thread until done() holds or the
// bound passes; true when done() held. Waits on NotifyFd in short slices, so
// a condition that no notification announces is seen too.
template <class TDone>
bool PumpUntil(TSerialPort& port, TDone done, std::chrono::milliseconds bound = 5000ms) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{port.NotifyFd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 10))) > 0) port.DispatchNotifications();
  }
  return true;
}

// Pumps for a while and fails nothing: for checking that something does NOT happen.
inline void PumpFor(TSerialPort& port, std::chrono::milliseconds span) {
  PumpUntil(port, [] { return false; }, span);
}

}  // namespace tessaro::test
