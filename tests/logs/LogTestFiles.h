#pragma once
// Small file helpers for the log store tests: a private temporary directory
// per test, whole-file reads and writes, and hex fixtures.

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace logtest {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system temp directory, removed with everything
// in it when the test ends. Path() ends with "/".
class TTempDir {
 public:
  TTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tessaro-logs-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    FPath = tmpl + "/";
  }
  ~TTempDir() {
    std::error_code ec;
    // Undo permission changes a test made so the tree can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(FPath, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline long long SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline void Touch(const std::string& path) { WriteAll(path, {}); }

// "00 1a ff" -> {0x00, 0x1a, 0xff}; spaces and line breaks are ignored.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

template <class T>
Bytes BytesOf(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(p, p + sizeof(T));
}

// Names in a directory (without "." and "..").
inline std::set<std::string> List(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
  return names;
}

// Open file descriptors of this process; a store must leave none behind.
inline int OpenFdCount() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// True when this process can create a file in a directory of mode 0555
// (root can), so a permission test would prove nothing.
inline bool PermissionsAreBypassed(const std::string& scratchDir) {
  const std::string probe = scratchDir + "probe-ro/";
  ::mkdir(probe.c_str(), 0555);
  ::chmod(probe.c_str(), 0555);
  const std::string file = probe + "x";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
  const bool bypassed = fd >= 0;
  if (fd >= 0) {
    ::close(fd);
    ::unlink(file.c_str());
  }
  ::chmod(probe.c_str(), 0755);
  ::rmdir(probe.c_str());
  return bypassed;
}

// Makes an existing directory read-only by a read-only bind mount over it,
// which stops root too; the process first moves to a mount namespace of its
// own so nothing shows outside. Active() is false where mounting is not
// allowed (no privileges): the caller then falls back or skips.
class TReadOnlyMount {
 public:
  explicit TReadOnlyMount(const std::string& dir) : FDir(dir) {
    FActive = ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              ::mount(FDir.c_str(), FDir.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (FActive && ::mount(nullptr, FDir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) Release();
  }
  ~TReadOnlyMount() { Release(); }
  TReadOnlyMount(const TReadOnlyMount&) = delete;
  TReadOnlyMount& operator=(const TReadOnlyMount&) = delete;
  bool Active() const { return FActive; }
  // Writable again.
  void Release() {
    if (FActive) ::umount2(FDir.c_str(), MNT_DETACH);
    FActive = false;
  }

 private:
  std::string FDir;
  bool FActive = false;
};

}  // namespace logtest
