#pragma once
// The locks of a data directory, both on its file ".tessaro.lock":
// - the instance lock, held by a running monitor (desktop or headless) for
//   its whole run, so that no second monitor appends to the same logs;
// - the write lock, held for one read-modify-write of the device list or the
//   settings file, so that changes made at the same time all land.
// Open file description locks on two different bytes: they do not get in each
// other's way, belong to no thread, and go when the process ends however it
// ends.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <system_error>

namespace tessaro {

inline constexpr char LockFileName[] = ".tessaro.lock";
// Long enough for any number of quick configuration commands in a row.
inline constexpr std::chrono::milliseconds WriteLockWait{10000};

class TInstanceLock {
 public:
  TInstanceLock() = default;
  ~TInstanceLock() { Release(); }
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Takes the lock of dataDir (which exists) and writes this process's id in
  // the lock file. False, with `error` set, when another program holds it
  // ("another Tessaro (pid N) is running on DIR") or the lock file cannot be
  // used (a link, not a plain file, not writable).
  [[nodiscard]] bool Acquire(const std::string& dataDir, std::string& error);
  void Release();
  bool Held() const { return FFd >= 0; }
  // The holder's process id after a refused Acquire; 0 when unknown.
  pid_t Holder() const { return FHolder; }

 private:
  int FFd = -1;
  pid_t FHolder = 0;
};

class TWriteLock {
 public:
  TWriteLock() = default;
  ~TWriteLock() { Release(); }
  TWriteLock(const TWriteLock&) = delete;
  TWriteLock& operator=(const TWriteLock&) = delete;

  // Waits for the lock of dataDir (which exists) at most `bound`; an error of
  // LockCategory() when someone holds it all that time, whose message says so.
  [[nodiscard]] std::error_code Acquire(const std::string& dataDir, std::chrono::milliseconds bound = WriteLockWait);
  void Release();
  bool Held() const { return FFd >= 0; }

 private:
  int FFd = -1;
};

// The error of a write lock held by another program for the whole wait.
const std::error_category& LockCategory();

// What to tell the operator when a write lock could not be had.
std::string DescribeWriteLockError(std::error_code ec, const std::string& dataDir);

}  // namespace tessaro
