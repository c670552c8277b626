#include "logs/RecordFile.h"

#include "core/AtomicFile.h"
#include "core/PathTrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace tessaro::recfile {

namespace fs = std::filesystem;

namespace {

std::error_code Errno(int err) { return {err ? err : EIO, std::generic_category()}; }

// Closes on scope exit unless released; close errors matter only where the
// caller checks them through Close().
class TFd {
 public:
  explicit TFd(int fd) : FFd(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  void Reset(int fd) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }
  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  // Closes now and reports the close result (a delayed write error shows here).
  std::error_code Close() {
    const int fd = FFd;
    FFd = -1;
    return ::close(fd) == 0 ? std::error_code{} : Errno(errno);
  }

 private:
  int FFd;
};

std::string WithoutTrailingSlash(const std::string& dir) {
  std::string d = dir;
  while (d.size() > 1 && (d.back() == '/' || d.back() == '\\')) d.pop_back();
  return d;
}

// O_NONBLOCK: a FIFO under a log file's name must not stall the poll loop
// in open() waiting for a writer; it changes nothing for regular files.
std::error_code OpenSized(const std::string& path, int flags, TFd& fd, uint64_t& size, bool* regular = nullptr) {
  fd.Reset(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd.Valid()) return Errno(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return Errno(errno);
  if (S_ISDIR(st.st_mode)) return Errno(EISDIR);
  size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  if (regular) *regular = S_ISREG(st.st_mode);
  return {};
}

std::error_code WriteAll(int fd, const unsigned char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno(errno);
    }
    if (n == 0) return Errno(ENOSPC);
    data += n;
    len -= static_cast<size_t>(n);
  }
  return {};
}

std::error_code CopyInto(const std::string& source, int outFd) {
  TFd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in.Valid()) return Errno(errno);
  std::vector<unsigned char> buf(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(in.Get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno(errno);
    }
    if (n == 0) break;
    if (auto ec = WriteAll(outFd, buf.data(), static_cast<size_t>(n))) return ec;
  }
  // The active file is emptied right after this copy: the copy must be on
  // disk before that happens.
  if (::fsync(outFd) != 0) return Errno(errno);
  return {};
}

// Renames without ever replacing an existing file. EEXIST when the name is taken.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // File systems without RENAME_NOREPLACE: a hard link also refuses an existing name.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

std::error_code EnsureDirectory(const std::string& dir) {
  if (dir.empty()) return {};
  const std::string d = WithoutTrailingSlash(dir);
  std::error_code ec;
  if (fs::is_directory(d, ec)) return {};
  if ((ec = MakeDirectories(d))) return ec;
  if (!fs::is_directory(d, ec)) return ec ? ec : Errno(ENOTDIR);
  return {};
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

std::error_code FileSize(const std::string& path, uint64_t& size, bool create) {
  size = 0;
  TFd fd(-1);
  return OpenSized(path, O_RDONLY | (create ? O_CREAT : 0), fd, size);
}

std::error_code CountRecords(const std::string& path, size_t recSize, int32_t& count, bool create) {
  count = 0;
  uint64_t size = 0;
  if (auto ec = FileSize(path, size, create)) return ec;
  const uint64_t n = size / recSize;
  count = n > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
  return {};
}

std::error_code AppendRecords(const std::string& path, const void* records, size_t count, size_t recSize,
                              size_t& written, bool sync, const TWriteSeam* seam) {
  written = 0;
  TFd fd(-1);
  uint64_t size = 0;
  bool regular = false;
  if (auto ec = OpenSized(path, O_RDWR | O_CREAT, fd, size, &regular)) return ec;
  // /dev/null under a log's name would take every record and keep none.
  if (!regular) return MakeErrorCode(TFileRefusal::NotRegular);
  const off_t offset = static_cast<off_t>(size - size % recSize);
  const size_t bytes = count * recSize;
  ssize_t n;
  do {
    n = seam && seam->Write ? seam->Write(fd.Get(), records, bytes, offset) : ::pwrite(fd.Get(), records, bytes, offset);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(bytes)) {
    const std::error_code ec = Errno(n < 0 ? errno : ENOSPC);
    // A short write keeps its whole records; the partial one is cut off so
    // the file ends on a whole record again.
    const size_t whole = n > 0 ? static_cast<size_t>(n) / recSize : 0;
    if (n > 0 && static_cast<size_t>(n) % recSize != 0 &&
        ::ftruncate(fd.Get(), offset + static_cast<off_t>(whole * recSize)) != 0) {
      /* the tail stays partial; the next append overwrites it */
    }
    written = whole;
    return ec;
  }
  if (sync) {
    const int rc = seam && seam->Sync ? seam->Sync(fd.Get()) : ::fdatasync(fd.Get());
    if (rc != 0) return Errno(errno);
    // A file this append created (or found empty) needs its directory entry on disk too.
    if (offset == 0) SyncParentDirectory(path);
  }
  if (auto ec = fd.Close()) return ec;
  written = count;
  return {};
}

std::error_code ReadRecords(const std::string& path, size_t recSize, std::vector<unsigned char>& out) {
  out.clear();
  std::error_code openEc;
  TFd fd(OpenOwnedFile(path, openEc));
  if (!fd.Valid()) return openEc;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return Errno(errno);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::vector<unsigned char> bytes;
  bytes.reserve(static_cast<size_t>(size));
  std::vector<unsigned char> buf(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno(errno);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
  }
  bytes.resize(bytes.size() - bytes.size() % recSize);
  out = std::move(bytes);
  return {};
}

bool IsAllZero(const unsigned char* record, size_t recSize) {
  for (size_t i = 0; i < recSize; ++i)
    if (record[i] != 0) return false;
  return true;
}

void DropZeroRecords(std::vector<unsigned char>& records, size_t recSize) {
  size_t kept = 0;
  for (size_t at = 0; at + recSize <= records.size(); at += recSize) {
    if (IsAllZero(records.data() + at, recSize)) continue;
    if (kept != at) std::copy_n(records.begin() + static_cast<std::ptrdiff_t>(at), recSize,
                                records.begin() + static_cast<std::ptrdiff_t>(kept));
    kept += recSize;
  }
  records.resize(kept);
}

std::error_code MakeEmpty(const std::string& path) {
  TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd.Valid()) return Errno(errno);
  return fd.Close();
}

std::error_code CopyToFreeName(const std::string& source, const std::string& dir,
                               const std::function<std::string(int)>& nameFor, int first, int last,
                               std::string& placed) {
  placed.clear();
  int i = first;
  while (i <= last && PathExists(dir + nameFor(i))) ++i;
  if (i > last) return std::make_error_code(std::errc::file_exists);

  std::string tmp = dir + ".copy-XXXXXX.tmp";
  TFd out(::mkostemps(tmp.data(), 4, O_CLOEXEC));
  if (!out.Valid()) return Errno(errno);
  std::error_code ec = CopyInto(source, out.Get());
  if (!ec && ::fchmod(out.Get(), 0644) != 0) ec = Errno(errno);
  if (const auto closeEc = out.Close(); !ec) ec = closeEc;
  if (ec) {
    ::unlink(tmp.c_str());
    return ec;
  }
  for (; i <= last; ++i) {
    const std::string target = dir + nameFor(i);
    const int err = RenameNoReplace(tmp, target);
    if (err == 0) {
      placed = target;
      SyncParentDirectory(target);
      return {};
    }
    if (err != EEXIST) {
      ::unlink(tmp.c_str());
      return Errno(err);
    }
  }
  ::unlink(tmp.c_str());
  return std::make_error_code(std::errc::file_exists);
}

std::string DescribeError(const std::string& what, const std::string& path, std::error_code ec) {
  return what + ": " + path + ": " + ec.message();
}

}  // namespace tessaro::recfile
