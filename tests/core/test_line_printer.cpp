// Lines into a pipe nobody reads: the caller never waits, what cannot be
// queued is counted, and the count is told once output flows again.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "core/LinePrinter.h"

using namespace tessaro;
using namespace std::chrono_literals;

namespace {

class TPipe {
 public:
  TPipe() {
    if (::pipe2(FFds, O_CLOEXEC) != 0) FFds[0] = FFds[1] = -1;
    ::fcntl(FFds[1], F_SETPIPE_SZ, 4096);  // fills after a few dozen lines
  }
  ~TPipe() {
    for (int fd : FFds)
      if (fd >= 0) ::close(fd);
  }
  TPipe(const TPipe&) = delete;
  TPipe& operator=(const TPipe&) = delete;
  int Reader() const { return FFds[0]; }
  // Fills the pipe to the brim, as a reader that stopped long ago would leave it.
  void Fill() {
    const int flags = ::fcntl(FFds[1], F_GETFL);
    ::fcntl(FFds[1], F_SETFL, flags | O_NONBLOCK);
    const std::string filler(512, 'f');
    while (::write(FFds[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(FFds[1], F_SETFL, flags);
  }
  // A pipe of one page takes one write per page: the writer waits for every
  // read, and the wake-ups of both sides add up on a loaded machine. A reader
  // that wakes up with room for the whole backlog takes it in a few writes.
  void Widen() { ::fcntl(FFds[1], F_SETPIPE_SZ, 1 << 16); }
  int Writer() const { return FFds[1]; }
  // Reads until `text` has come or the bound passed; returns all read so far.
  std::string ReadUntil(const std::string& text, std::chrono::milliseconds bound) {
    return ReadUntil([&text](const std::string& read) { return read.find(text) != std::string::npos; }, bound);
  }
  // The same until `done` holds for all read so far.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done(FRead) && std::chrono::steady_clock::now() < end) {
      pollfd p{FFds[0], POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(FFds[0], buf, sizeof buf);
      if (n <= 0) break;
      FRead.append(buf, static_cast<size_t>(n));
    }
    return FRead;
  }

 private:
  int FFds[2];
  std::string FRead;
};

std::string Notice(uint64_t n) { return std::to_string(n) + " lines not printed"; }

}  // namespace

TEST(LinePrinter, UnreadOutputDropsAndCountsThenTellsOnceItFlowsAgain) {
  TPipe out, err;
  out.Fill();
  TLinePrinter printer(out.Writer(), err.Writer(), Notice, 100);
  // Far more than the queue holds; none of these calls may wait.
  for (int i = 0; i < 2000; ++i) printer.Print("line " + std::to_string(i));
  const uint64_t dropped = printer.Dropped();
  EXPECT_GE(dropped, 1800u);
  EXPECT_EQ(err.ReadUntil("\n", 200ms), "") << "nothing said while output is stuck";

  // The reader wakes up: the queued lines come out in order, and the notice.
  out.Widen();
  out.ReadUntil("line 0\n", 30s);
  const std::string said = err.ReadUntil("\n", 30s);
  EXPECT_EQ(said, std::to_string(dropped) + " lines not printed\n");
  // Which lines were kept depends on when the printer's thread first took the
  // queue, so they are counted, not named: once all are out, the queue has
  // room again and a new line is printed, not dropped.
  const auto allKeptOut = [kept = 2000 - dropped](const std::string& read) {
    return static_cast<uint64_t>(std::count(read.begin(), read.end(), '\n')) >= kept;
  };
  ASSERT_TRUE(allKeptOut(out.ReadUntil(allKeptOut, 30s)));
  printer.Print("after");
  const std::string printed = out.ReadUntil("after\n", 30s);
  const size_t first = printed.find("line 0\nline 1\nline 2\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(printed.find_first_not_of('f'), first) << "nothing before the first line";
  EXPECT_NE(printed.find("line 99\n"), std::string::npos);
  EXPECT_TRUE(printed.ends_with("after\n"));
  EXPECT_FALSE(printer.Stop());
  EXPECT_EQ(err.ReadUntil("never", 50ms), said) << "the notice is said once";
}

TEST(LinePrinter, StopGivesUpOnOutputNobodyReadsAndSaysWhatWasNotPrinted) {
  TPipe out, err;
  TLinePrinter printer(out.Writer(), err.Writer(), Notice);
  for (int i = 0; i < 500; ++i) printer.Print(std::string(100, 'x'));
  EXPECT_FALSE(printer.Stop(200ms));
  const std::string said = err.ReadUntil("\n", 1s);
  // Of 500 lines of 101 bytes a 4 KiB pipe takes 40.
  EXPECT_EQ(said, std::to_string(printer.Dropped()) + " lines not printed\n");
  EXPECT_GE(printer.Dropped(), 450u);
}

TEST(LinePrinter, OutputThatTakesEverythingLosesNothing) {
  TPipe out, err;
  TLinePrinter printer(out.Writer(), err.Writer(), Notice);
  for (int i = 0; i < 10; ++i) printer.Print(std::to_string(i));
  EXPECT_EQ(out.ReadUntil("9\n", 10s), "0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n");
  EXPECT_TRUE(printer.Stop());
  EXPECT_EQ(err.ReadUntil("\n", 50ms), "");
}
