#pragma once
// Shared by the file-loader fuzz targets: a scratch directory made once per
// fuzzing process (in /dev/shm where there is one, so the runs stay off the
// disk), whole-file writes, and a trap on a broken property.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tessaro::fuzz {

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The scratch directory, ending with "/"; removed when the process exits.
inline const std::string& ScratchDir() {
  struct TScratch {
    std::string Path;
    TScratch() {
      const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
      std::string tmpl = base + "/tessaro-fuzz-XXXXXX";
      if (!::mkdtemp(tmpl.data())) std::abort();
      Path = tmpl + "/";
    }
    ~TScratch() {
      std::error_code ec;
      std::filesystem::remove_all(Path, ec);
    }
  };
  static const TScratch scratch;
  return scratch.Path;
}

inline void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    Check(n > 0);
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace tessaro::fuzz
