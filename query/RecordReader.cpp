#include "query/RecordReader.h"

#include "core/PathTrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace tessaro {

namespace {
constexpr size_t BlockBytes = size_t{8} << 20;
// A block read for one pass and then overwritten: small enough to stay in
// the cache between the read and the pass.
constexpr size_t WindowBytes = size_t{1} << 20;

class TFdCloser {
 public:
  explicit TFdCloser(int fd) : FFd(fd) {}
  ~TFdCloser() {
    if (FFd >= 0) ::close(FFd);
  }
  TFdCloser(const TFdCloser&) = delete;
  TFdCloser& operator=(const TFdCloser&) = delete;

 private:
  int FFd;
};

std::error_code ReadRecords(const std::string& path, size_t recSize, TRecordBuffer& out, const TBlockFn& afterBlock,
                            bool window) {
  out.Data.reset();
  out.Count = 0;
  std::error_code openEc;
  const int fd = OpenOwnedFile(path, openEc);
  if (fd < 0) return openEc;
  TFdCloser closer(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {errno, std::generic_category()};
  const size_t total = static_cast<size_t>(st.st_size) / recSize;
  if (total == 0) return {};
  const size_t blockRecords = std::max<size_t>(1, (window ? WindowBytes : BlockBytes) / recSize);
  // Left uninitialised: every byte kept is read from the file.
  out.Data.reset(new (std::nothrow) unsigned char[(window ? std::min(total, blockRecords) : total) * recSize]);
  if (!out.Data) return std::make_error_code(std::errc::not_enough_memory);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  size_t done = 0;
  while (done < total) {
    const size_t want = std::min(blockRecords, total - done);
    size_t got = 0;
    unsigned char* dest = out.Data.get() + (window ? 0 : done * recSize);
    while (got < want * recSize) {
      const ssize_t n = ::read(fd, dest + got, want * recSize - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const std::error_code ec{errno, std::generic_category()};
        out.Data.reset();
        return ec;
      }
      if (n == 0) break;  // cut shorter meanwhile
      got += static_cast<size_t>(n);
    }
    const size_t records = got / recSize;
    if (records > 0 && afterBlock && !afterBlock(done, records, total)) {
      out.Data.reset();
      out.Count = 0;
      return std::make_error_code(std::errc::operation_canceled);
    }
    done += records;
    out.Count = window ? records : done;
    if (got < want * recSize) break;
  }
  return {};
}
}  // namespace

std::error_code ReadRecordFile(const std::string& path, size_t recSize, TRecordBuffer& out,
                               const TBlockFn& afterBlock) {
  return ReadRecords(path, recSize, out, afterBlock, false);
}

std::error_code ReadRecordBlocks(const std::string& path, size_t recSize, TRecordBuffer& out,
                                 const TBlockFn& afterBlock) {
  return ReadRecords(path, recSize, out, afterBlock, true);
}

bool IsZeroRecord(const unsigned char* record, size_t recSize) {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= recSize; i += 8) {
    uint64_t w;
    std::memcpy(&w, record + i, 8);
    acc |= w;
  }
  for (; i < recSize; ++i) acc |= record[i];
  return acc == 0;
}

}  // namespace tessaro
