#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

namespace tessaro {

namespace fs = std::filesystem;

namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::error_code Errno(int err) { return {err ? err : EIO, std::generic_category()}; }

}  // namespace

std::error_code CopyFileExclusive(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return Errno(errno);
  // A FIFO or a device has no content to keep, and may never end.
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return std::make_error_code(std::errc::invalid_argument);
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return Errno(err);
  }
  int err = 0;
  char buf[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) err = Errno(errno).value();
      break;
    }
    if (!WriteAll(out, std::string_view(buf, static_cast<size_t>(n)))) {
      err = Errno(errno).value();
      break;
    }
  }
  if (!err && ::fsync(out) != 0) err = Errno(errno).value();
  if (::close(out) != 0 && !err) err = Errno(errno).value();
  ::close(in);
  if (err) {
    ::unlink(to.c_str());
    return Errno(err);
  }
  SyncParentDirectory(to);
  return {};
}

void SyncParentDirectory(const std::string& path) {
  const fs::path dir = fs::path(path).parent_path();
  const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

std::error_code ReplaceFileAtomically(const std::string& path, std::string_view data) {
  // Write through a symbolic link rather than replace the link by a file.
  std::string target = path;
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    const fs::path resolved = fs::weakly_canonical(path, ec);
    if (!ec) target = resolved.string();
  }

  struct stat oldStat {};
  const bool hadFile = ::stat(target.c_str(), &oldStat) == 0 && S_ISREG(oldStat.st_mode);

  // Unique within the process too: two saves must never share a temporary file.
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    // Not 0666: a settings file that group or others may write is refused
    // at the next start, whatever the umask.
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return Errno(errno);
  }
  if (fd < 0) return std::make_error_code(std::errc::file_exists);

  bool ok = WriteAll(fd, data);
  if (ok && hadFile) {
    // Keep the owner when allowed (root saving a user's file); when not, the
    // file becomes ours, as a new one would.
    if (oldStat.st_uid != ::geteuid() || oldStat.st_gid != ::getegid()) {
      [[maybe_unused]] const int ignored = ::fchown(fd, oldStat.st_uid, oldStat.st_gid);
    }
    ok = ::fchmod(fd, oldStat.st_mode & 07777) == 0;
  }
  if (ok) ok = ::fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return Errno(err);
  }
  // A directory that cannot be synced still holds the new file: not reported.
  SyncParentDirectory(target);
  return {};
}

}  // namespace tessaro
