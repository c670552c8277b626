// The libmodbus peer as a client sees it through its pty link: hand-made
// requests, answers checked byte by byte with an independent CRC.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

uint16_t Crc16(const Bytes& bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

Bytes WithCrc(Bytes frame) {
  uint16_t crc = Crc16(frame);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads from fd until `want` bytes arrived or the deadline passed.
Bytes ReadUpTo(int fd, size_t want, Clock::time_point deadline) {
  Bytes got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
    uint8_t buf[256];
    ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

class ModbusPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/tessaro-peer-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    FDir = dirTemplate;
    FLink = FDir + "/ttyPEER";

    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string exe = TESSARO_BUILD_DIR "/tessaro-modbus-peer";
    std::vector<char*> argv = {exe.data(), const_cast<char*>("--link"), FLink.data(), nullptr};
    int rc = posix_spawn(&FPid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(rc, 0) << "cannot start " << exe;

    std::string expected = "ready " + FLink + "\n";
    Bytes line = ReadUpTo(out[0], expected.size(), Clock::now() + std::chrono::seconds(10));
    close(out[0]);
    ASSERT_EQ(std::string(line.begin(), line.end()), expected);

    OpenLink();
  }

  void OpenLink() {
    FPort = open(FLink.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(FPort, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(FPort, &tio), 0);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    ASSERT_EQ(tcsetattr(FPort, TCSANOW, &tio), 0);
  }

  void TearDown() override {
    if (FPort >= 0) close(FPort);
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    unlink(FLink.c_str());
    rmdir(FDir.c_str());
  }

  Bytes Exchange(const Bytes& request, size_t answerLen) {
    EXPECT_EQ(write(FPort, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    return ReadUpTo(FPort, answerLen, Clock::now() + std::chrono::seconds(5));
  }

  // Waits up to `bound` for the peer to exit; its wait status, or -1.
  int WaitExit(std::chrono::seconds bound) {
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
    if (pidFd < 0) return -1;
    pollfd p{pidFd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(bound).count()));
    close(pidFd);
    int status = 0;
    if (ready != 1 || waitpid(FPid, &status, 0) != FPid) return -1;
    FPid = -1;
    return status;
  }

  std::string FDir;
  std::string FLink;
  pid_t FPid = -1;
  int FPort = -1;
};

TEST_F(ModbusPeer, answersTheFirstCycleReadWithItsMeasurements) {
  Bytes request = WithCrc({0x01, 0x04, 0x75, 0x30, 0x00, 0x0E});
  ASSERT_EQ(request, (Bytes{0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD}));

  Bytes answer = Exchange(request, 1 + 1 + 1 + 28 + 2);
  ASSERT_EQ(answer.size(), 33u);
  EXPECT_EQ(Crc16(answer), 0) << "CRC over a whole frame must come to 0";
  EXPECT_EQ(answer[0], 0x01);
  EXPECT_EQ(answer[1], 0x04);
  EXPECT_EQ(answer[2], 28);
  auto reg = [&](int n) { return answer[3 + 2 * (n - 30001)] << 8 | answer[4 + 2 * (n - 30001)]; };
  EXPECT_EQ(reg(30001), 2201);
  EXPECT_EQ(reg(30002), 2205);
  EXPECT_EQ(reg(30003), 2199);
  EXPECT_EQ(reg(30011), 2200);
  EXPECT_EQ(reg(30014), 500);
}

TEST_F(ModbusPeer, echoesCommandWritesAndRejectsUnknownRegisters) {
  struct Case {
    const char* What;
    Bytes Request;  // without CRC
    Bytes Answer;   // without CRC
  };
  const Case cases[] = {
      {"remote on echoed", {0x01, 0x06, 0x4E, 0x20, 0x00, 0x01}, {0x01, 0x06, 0x4E, 0x20, 0x00, 0x01}},
      {"battery test echoed", {0x01, 0x06, 0x4E, 0x22, 0x00, 0x3C}, {0x01, 0x06, 0x4E, 0x22, 0x00, 0x3C}},
      {"holding register written", {0x01, 0x06, 0x9C, 0x44, 0x00, 0xE6}, {0x01, 0x06, 0x9C, 0x44, 0x00, 0xE6}},
      {"written value read back", {0x01, 0x03, 0x9C, 0x44, 0x00, 0x01}, {0x01, 0x03, 0x02, 0x00, 0xE6}},
      {"illegal data address", {0x01, 0x04, 0x00, 0x00, 0x00, 0x01}, {0x01, 0x84, 0x02}},
  };
  for (const Case& c : cases) {
    Bytes want = WithCrc(c.Answer);
    EXPECT_EQ(Exchange(WithCrc(c.Request), want.size()), want) << c.What;
  }
}

// A device search probes address after address with no other device to
// answer; the request after a foreign one must not be taken for its answer.
TEST_F(ModbusPeer, answersItsAddressRightAfterRequestsForOthers) {
  Bytes own = WithCrc({0x01, 0x04, 0x75, 0x80, 0x00, 0x0B});
  for (uint8_t other : {2, 3}) {
    Bytes foreign = WithCrc({other, 0x04, 0x75, 0x30, 0x00, 0x0E});
    ASSERT_EQ(write(FPort, foreign.data(), foreign.size()), static_cast<ssize_t>(foreign.size()));
  }
  Bytes answer = Exchange(own, 3 + 22 + 2);
  ASSERT_EQ(answer.size(), 27u);
  EXPECT_EQ(answer[0], 0x01);
  EXPECT_EQ(Crc16(answer), 0);
}

TEST_F(ModbusPeer, servesAClientThatClosedAndReopenedTheLink) {
  close(FPort);
  OpenLink();
  Bytes answer = Exchange(WithCrc({0x01, 0x03, 0x9C, 0x44, 0x00, 0x02}), 3 + 4 + 2);
  EXPECT_EQ(answer, WithCrc({0x01, 0x03, 0x04, 0x00, 220, 0x00, 50}));
}

TEST_F(ModbusPeer, stopsCleanlyOnTermAndRemovesItsLink) {
  ASSERT_EQ(kill(FPid, SIGTERM), 0);
  int status = WaitExit(std::chrono::seconds(10));
  ASSERT_NE(status, -1) << "peer did not stop";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat st;
  EXPECT_NE(lstat(FLink.c_str(), &st), 0);
}

}  // namespace
