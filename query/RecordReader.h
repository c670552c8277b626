#pragma once
// Whole log files read in large blocks into one buffer, for the viewers and
// the export: one allocation, no per-record system call.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace tessaro {

struct TRecordBuffer {
  std::unique_ptr<unsigned char[]> Data;  // Count * record size bytes
  size_t Count = 0;
};

// Called after each block with the records [first, first + count) now in the
// buffer and the file's total; returning false stops the read (the result is
// then std::errc::operation_canceled).
using TBlockFn = std::function<bool(size_t first, size_t count, size_t total)>;

// Reads the whole records of `path` (a trailing partial record, and whatever
// is appended while reading, are left out). A missing file is
// no_such_file_or_directory; a link, anything but a regular file, or a file
// of another user than its directory's owner is refused (OpenOwnedFile).
std::error_code ReadRecordFile(const std::string& path, size_t recSize, TRecordBuffer& out,
                               const TBlockFn& afterBlock = {});

// The same read for one pass over a file without holding it: `out` holds
// one block of about a megabyte at a time, each block read over the one
// before at the front of the buffer, before `afterBlock` is called.
std::error_code ReadRecordBlocks(const std::string& path, size_t recSize, TRecordBuffer& out,
                                 const TBlockFn& afterBlock);

// A record of nothing but zero bytes: the tail a power cut leaves in a file
// whose length was extended before its data reached the disk.
bool IsZeroRecord(const unsigned char* record, size_t recSize);

}  // namespace tessaro
