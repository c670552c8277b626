#pragma once
// File work shared by the two log stores: headerless files of fixed-size
// records, opened, worked on and closed again by every call. All functions
// report failures by value (a std::error_code); none throws.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <string>
#include <system_error>
#include <vector>

namespace tessaro::recfile {

// Creates `dir` (which may end with "/") and all its missing parents.
std::error_code EnsureDirectory(const std::string& dir);

// True when anything (file, directory, even a dangling link) has that name.
bool PathExists(const std::string& path);

// The file's length in bytes, creating it empty when it is missing.
std::error_code FileSize(const std::string& path, uint64_t& size, bool create);

// Whole records of `recSize` bytes in the file, saturated at INT32_MAX; a
// trailing partial record is not counted. Creates the file when `create`.
std::error_code CountRecords(const std::string& path, size_t recSize, int32_t& count, bool create);

// How appended bytes reach the disk. Empty members mean pwrite and
// fdatasync; tests put a slow or failing disk here.
struct TWriteSeam {
  std::function<ssize_t(int fd, const void* data, size_t length, off_t offset)> Write;
  std::function<int(int fd)> Sync;
};

// Writes `count` records of `recSize` bytes in one write at the end of the
// whole records of the file (a trailing partial record is overwritten),
// creating the file when it is missing; anything but a regular file (after
// links) is refused (TFileRefusal::NotRegular). `written` tells how many of the
// records are in the file afterwards: a short write (a full disk) keeps the
// whole records it wrote, cuts off the partial one and is an error. With
// `sync` the records are on disk (fdatasync) before this returns; a failed
// sync is an error and counts none of them as written.
std::error_code AppendRecords(const std::string& path, const void* records, size_t count, size_t recSize,
                              size_t& written, bool sync = false, const TWriteSeam* seam = nullptr);

// Reads the whole records of the file into `out` (recSize bytes each, a
// trailing partial record dropped). A missing file is an error
// (no_such_file_or_directory) and leaves `out` empty, and so is a link,
// anything but a regular file, or a file of another user than its
// directory's owner (OpenOwnedFile).
std::error_code ReadRecords(const std::string& path, size_t recSize, std::vector<unsigned char>& out);

// A record of only zero bytes: what a crash can leave at the end of a file
// whose length was extended before its data reached the disk. No real record
// is all zeros (its time stamp alone is not 0).
bool IsAllZero(const unsigned char* record, size_t recSize);
// Removes the all-zero records from whole records read by ReadRecords.
void DropZeroRecords(std::vector<unsigned char>& records, size_t recSize);

// Cuts the file to length 0, creating it when it is missing.
std::error_code MakeEmpty(const std::string& path);

// Copies `source` byte for byte into the directory `dir` under the first
// free name nameFor(i), i = first..last, never overwriting a file: the bytes
// go to a temporary file in `dir` first (synced to disk), which is then
// renamed without replacement onto the name; a name taken meanwhile moves on
// to the next. On success `placed` holds the full path used. When every name
// is taken the result is std::errc::file_exists and no file is left behind.
std::error_code CopyToFreeName(const std::string& source, const std::string& dir,
                               const std::function<std::string(int)>& nameFor, int first, int last,
                               std::string& placed);

// "what: path: reason", for status texts.
std::string DescribeError(const std::string& what, const std::string& path, std::error_code ec);

}  // namespace tessaro::recfile
