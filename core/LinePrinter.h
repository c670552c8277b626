#pragma once
// Lines for an output nobody may be reading (a terminal scrolled back and
// stopped, a pipe into a stuck program, a journal that stalls), written by a
// thread of its own so that the caller never waits. The descriptor is used as
// it is: its file description may be shared with the parent's shell, so it
// is never switched to non-blocking mode. When the queue is full a line is
// dropped and counted; once output flows again, one notice with the count goes
// to a second descriptor (standard error).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tessaro {

class TLinePrinter {
 public:
  static constexpr size_t DefaultCapacity = 4096;  // lines
  static constexpr std::chrono::milliseconds StopBound{2000};

  // `notice` words the notice for a number of dropped lines (no newline).
  TLinePrinter(int fd, int noticeFd, std::function<std::string(uint64_t)> notice,
               size_t capacity = DefaultCapacity);
  ~TLinePrinter();
  TLinePrinter(const TLinePrinter&) = delete;
  TLinePrinter& operator=(const TLinePrinter&) = delete;

  // Queues one line (a newline is added). Never blocks.
  void Print(std::string line);

  // Writes what is queued, waiting at most `bound` for the output to take it;
  // the rest is dropped. Then the notice of every line not printed since the
  // last one is written if the notice descriptor takes it without waiting.
  // True when every line was printed. Called again, it does nothing.
  bool Stop(std::chrono::milliseconds bound = StopBound);

  // Lines dropped since the start.
  uint64_t Dropped() const;

 private:
  struct TShared;
  static void Run(std::shared_ptr<TShared> shared);

  std::shared_ptr<TShared> FShared;
  std::thread FThread;
};

}  // namespace tessaro
