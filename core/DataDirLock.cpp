#include "core/DataDirLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tessaro {

namespace {

constexpr off_t InstanceByte = 0;
constexpr off_t WriteByte = 1;

std::string LockPath(const std::string& dataDir) {
  return dataDir + (dataDir.empty() || dataDir.back() != '/' ? "/" : "") + LockFileName;
}

// Never through a link (it could point into someone else's file) and never
// anything but a plain file.
int OpenLockFile(const std::string& path, std::error_code& ec) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    ec = {errno, std::generic_category()};
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    ec = std::make_error_code(std::errc::invalid_argument);
    return -1;
  }
  ec.clear();
  return fd;
}

// 0, or the errno of a refused lock (EAGAIN or EACCES while another holds it).
int TryLock(int fd, off_t byte) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

bool HeldByAnother(int err) { return err == EAGAIN || err == EACCES; }

class TLockCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "tessaro.lock"; }
  std::string message(int) const override {
    return "another program kept the data directory locked for " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(WriteLockWait).count()) +
           " s while changing the settings or the device list; nothing was written, try again";
  }
};

std::string OpenFailure(const std::string& path, std::error_code ec) {
  if (ec == std::errc::too_many_symbolic_link_levels) return path + " is a symbolic link; remove it";
  if (ec == std::errc::invalid_argument) return path + " is not a plain file; remove it";
  return "cannot open " + path + ": " + ec.message();
}

}  // namespace

bool TInstanceLock::Acquire(const std::string& dataDir, std::string& error) {
  Release();
  FHolder = 0;
  const std::string path = LockPath(dataDir);
  std::error_code ec;
  const int fd = OpenLockFile(path, ec);
  if (fd < 0) {
    error = OpenFailure(path, ec);
    return false;
  }
  if (const int err = TryLock(fd, InstanceByte)) {
    if (HeldByAnother(err)) {
      char buf[32] = {};
      if (::pread(fd, buf, sizeof buf - 1, 0) > 0) FHolder = static_cast<pid_t>(std::strtol(buf, nullptr, 10));
      if (FHolder < 0) FHolder = 0;
      error = "another Tessaro" + (FHolder > 0 ? " (pid " + std::to_string(FHolder) + ")" : std::string()) +
              " is running on " + dataDir;
    } else {
      error = "cannot lock " + path + ": " + std::strerror(err);
    }
    ::close(fd);
    return false;
  }
  // For the message a second program gives; only read while the lock is held.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // Not fatal: the lock holds all the same; the message then lacks the pid.
  }
  FFd = fd;
  return true;
}

void TInstanceLock::Release() {
  if (FFd < 0) return;
  [[maybe_unused]] const int ignored = ::ftruncate(FFd, 0);
  ::close(FFd);
  FFd = -1;
}

std::error_code TWriteLock::Acquire(const std::string& dataDir, std::chrono::milliseconds bound) {
  Release();
  std::error_code ec;
  const int fd = OpenLockFile(LockPath(dataDir), ec);
  if (fd < 0) return ec;
  const auto end = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const int err = TryLock(fd, WriteByte);
    if (err == 0) {
      FFd = fd;
      return {};
    }
    if (!HeldByAnother(err) || std::chrono::steady_clock::now() >= end) {
      ::close(fd);
      return HeldByAnother(err) ? std::error_code(1, LockCategory()) : std::error_code(err, std::generic_category());
    }
    // Holders keep it for a few milliseconds: a short poll is enough.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void TWriteLock::Release() {
  if (FFd < 0) return;
  ::close(FFd);
  FFd = -1;
}

const std::error_category& LockCategory() {
  static const TLockCategory category;
  return category;
}

std::string DescribeWriteLockError(std::error_code ec, const std::string& dataDir) {
  if (ec.category() == LockCategory()) return dataDir + ": " + ec.message();
  return OpenFailure(LockPath(dataDir), ec);
}

}  // namespace tessaro
