// TComm over real pseudo-terminals: the test holds the master side and plays
// the device; TComm opens the slave.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <numeric>
#include <optional>
#include <thread>

#include "serial/Comm.h"
#include "tests/serial/PtyPair.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string OpenErrorOf(TComm& comm) {
  try {
    comm.OpenPort();
  } catch (const ECommsError& e) {
    return e.what();
  }
  return "(no error)";
}

class CommOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    Comm.SetCommName(Pty.SlavePath());
    // As the program's port: no XON/XOFF, so DC1 and DC3 are data.
    ConfigureProgramPort(Comm);
    Comm.SetReadIntervalTimeout(100);
    Comm.OnReceiveData = [this](const uint8_t* buffer, size_t length) {
      ASSERT_EQ(buffer[length], 0) << "chunk is not followed by a zero byte";
      Chunks.emplace_back(buffer, buffer + length);
      ChunkTimes.push_back(Clock::now());
    };
    Comm.OnPortFailure = [this](const TPortFailure& f) { Failures.push_back(f); };
    Comm.OnSendDataEmpty = [this] { ++SendEmptyCount; };
  }

  std::vector<uint8_t> AllReceived() const {
    std::vector<uint8_t> all;
    for (const auto& c : Chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
  }

  bool WaitForChunks(size_t n, std::chrono::milliseconds bound = 5000ms) {
    return PumpUntil(Comm, [&] { return Chunks.size() >= n; }, bound);
  }

  TPtyPair Pty;
  TComm Comm;
  std::vector<std::vector<uint8_t>> Chunks;
  std::vector<Clock::time_point> ChunkTimes;
  std::vector<TPortFailure> Failures;
  int SendEmptyCount = 0;
};

}  // namespace

// ---- names and opening ------------------------------------------------------

TEST(CommNames, ComNumbersOneTo256MapToTtyS) {
  EXPECT_EQ(TComm::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(TComm::DevicePath("COM2"), "/dev/ttyS1");
  EXPECT_EQ(TComm::DevicePath("COM9"), "/dev/ttyS8");
  EXPECT_EQ(TComm::DevicePath("COM10"), "/dev/ttyS9");
  EXPECT_EQ(TComm::DevicePath("COM256"), "/dev/ttyS255");
  EXPECT_EQ(TComm::DevicePath("com3"), "/dev/ttyS2");
  // The device-namespace form the poll engine builds for COM10 and up.
  EXPECT_EQ(TComm::DevicePath("\\\\.\\COM12"), "/dev/ttyS11");
}

TEST(CommNames, NamesOutsideTheRangeOrShapeHaveNoDevice) {
  for (const char* name : {"COM0", "COM257", "COM999", "COM1000", "COM", "COM01", "COMx", "COM1x", "COM-1",
                           "COM 1", "LPT1", "ttyUSB0", "", "\\\\.\\COM0"})
    EXPECT_EQ(TComm::DevicePath(name), std::nullopt) << name;
}

TEST(CommNames, PathsAreTakenAsTheyAre) {
  EXPECT_EQ(TComm::DevicePath("/dev/pts/7"), "/dev/pts/7");
  EXPECT_EQ(TComm::DevicePath("/tmp/ups-link"), "/tmp/ups-link");
}

TEST(CommOpen, DefaultsAreThoseOfTheComponent) {
  TComm comm;
  EXPECT_EQ(comm.CommName(), "COM2");
  EXPECT_EQ(comm.BaudRate(), 9600u);
  EXPECT_FALSE(comm.ParityCheck());
  EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
  EXPECT_TRUE(comm.TxContinueOnXoff());
  EXPECT_TRUE(comm.Outx_XonXoffFlow());
  EXPECT_TRUE(comm.Inx_XonXoffFlow());
  EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
  EXPECT_EQ(comm.XonLimit(), 500);
  EXPECT_EQ(comm.XoffLimit(), 500);
  EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
  EXPECT_EQ(comm.Parity(), TParity::None);
  EXPECT_EQ(comm.StopBits(), TStopBits::_1);
  EXPECT_EQ(comm.XonChar(), 17);
  EXPECT_EQ(comm.XoffChar(), 19);
  EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
  EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 0u);
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.PortHandle(), 0);
  EXPECT_TRUE(comm.SendDataEmpty());
  EXPECT_GE(comm.NotifyFd(), 0);
}

TEST(CommOpen, ComNameOutOfRangeFailsWithErrorOpening) {
  TComm comm;
  for (const char* name : {"COM0", "COM257"}) {
    comm.SetCommName(name);
    EXPECT_EQ(OpenErrorOf(comm), MsgErrorOpening) << name;
    EXPECT_FALSE(comm.IsOpen());
  }
}

TEST(CommOpen, MissingDeviceFailsWithErrorOpening) {
  TComm comm;
  comm.SetCommName("/dev/tessaro-no-such-tty");
  try {
    comm.OpenPort();
    FAIL() << "opened a missing device";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
    EXPECT_EQ(e.ErrorCode(), ENOENT);
  }
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.PortHandle(), 0);
}

TEST(CommOpen, MissingComPortFailsWithErrorOpening) {
  if (std::filesystem::exists("/dev/ttyS255")) GTEST_SKIP() << "this machine has a /dev/ttyS255";
  TComm comm;
  comm.SetCommName("COM256");
  EXPECT_EQ(OpenErrorOf(comm), MsgErrorOpening);
}

TEST(CommOpen, NonTerminalIsNotACommHandle) {
  TComm comm;
  comm.SetCommName("/dev/null");
  EXPECT_EQ(OpenErrorOf(comm), "File handle is not a comm handle ");
  EXPECT_FALSE(comm.IsOpen());
}

TEST_F(CommOverPty, OpenGivesANonZeroHandleAndCloseReturnsItToZero) {
  Comm.OpenPort();
  EXPECT_TRUE(Comm.IsOpen());
  EXPECT_GT(Comm.PortHandle(), 2);
  Comm.ClosePort();
  EXPECT_FALSE(Comm.IsOpen());
  EXPECT_EQ(Comm.PortHandle(), 0);
  Comm.ClosePort();  // closed already: nothing happens
  EXPECT_FALSE(Comm.IsOpen());
}

TEST_F(CommOverPty, SecondOpenPortRaisesAlreadyOpenedAndFirstKeepsWorking) {
  Comm.OpenPort();
  const intptr_t handle = Comm.PortHandle();
  EXPECT_EQ(OpenErrorOf(Comm), "This serial port already opened");
  EXPECT_EQ(Comm.PortHandle(), handle);
  Pty.Write("ping");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("ping"));
}

TEST_F(CommOverPty, SecondComponentOnTheSameDeviceIsRefused) {
  Comm.OpenPort();
  TComm other;
  other.SetCommName(Pty.SlavePath());
  try {
    other.OpenPort();
    FAIL() << "a second component opened the device";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
    EXPECT_EQ(e.ErrorCode(), EBUSY);
  }
  EXPECT_FALSE(other.IsOpen());
  // The refused opener disturbed nothing.
  Pty.Write("still here");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("still here"));
  // Once the first closes, the device is free again.
  Comm.ClosePort();
  EXPECT_NO_THROW(other.OpenPort());
  other.ClosePort();
}

TEST_F(CommOverPty, SecondOpenerInAnotherProcessIsRefused) {
  // Fork while this process has no threads; the child opens once the parent holds the port.
  int go[2], result[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(result), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    close(result[0]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    char verdict = 'x';
    {
      TComm comm;
      comm.SetCommName(Pty.SlavePath());
      try {
        comm.OpenPort();
        verdict = 'o';  // opened: wrong
        comm.ClosePort();
      } catch (const ECommsError& e) {
        verdict = std::string(e.what()) == MsgErrorOpening ? 'r' : 'm';
      }
    }
    (void)!write(result[1], &verdict, 1);
    _exit(0);
  }
  close(go[0]);
  close(result[1]);

  Comm.OpenPort();
  ASSERT_EQ(write(go[1], "g", 1), 1);
  pollfd p{result[0], POLLIN, 0};
  char verdict = '?';
  if (poll(&p, 1, 10000) == 1) (void)!read(result[0], &verdict, 1);
  if (verdict == '?') kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(go[1]);
  close(result[0]);
  EXPECT_EQ(verdict, 'r') << "r: refused with the right message; o: opened; m: other message; ?: no answer";
}

TEST_F(CommOverPty, SymlinkToThePtyOpensAndLocksTheSameDevice) {
  const auto dir = std::filesystem::temp_directory_path() / ("tessaro-comm-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "ups-link";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(Pty.SlavePath(), link);

  Comm.SetCommName(link.string());
  Comm.OpenPort();
  TComm direct;
  direct.SetCommName(Pty.SlavePath());
  EXPECT_EQ(OpenErrorOf(direct), MsgErrorOpening);
  Pty.Write("via link");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("via link"));
  Comm.ClosePort();
  std::filesystem::remove_all(dir);
}

// ---- receiving ------------------------------------------------------------

TEST_F(CommOverPty, OneBurstArrivesAsOneChunk) {
  Comm.OpenPort();
  Pty.Write("~20014A42E00200FD3A\r");
  ASSERT_TRUE(WaitForChunks(1));
  PumpFor(Comm, 300ms);  // nothing else follows
  ASSERT_EQ(Chunks.size(), 1u);
  EXPECT_EQ(Chunks[0], Bytes("~20014A42E00200FD3A\r"));
}

TEST_F(CommOverPty, ChunkIsDeliveredOnlyAfterTheLineFellSilentForTheInterval) {
  Comm.SetReadIntervalTimeout(250);
  Comm.OpenPort();
  const auto before = Clock::now();
  Pty.Write("abc");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_GE(ChunkTimes[0] - before, 250ms);
}

TEST_F(CommOverPty, TwoBurstsSeparatedBySilenceMakeTwoChunks) {
  Comm.OpenPort();
  Pty.Write("first");
  ASSERT_TRUE(WaitForChunks(1));  // the silence after it has been seen
  Pty.Write("second");
  ASSERT_TRUE(WaitForChunks(2));
  EXPECT_EQ(Chunks[0], Bytes("first"));
  EXPECT_EQ(Chunks[1], Bytes("second"));
}

TEST_F(CommOverPty, BytesWithPausesShorterThanTheIntervalFormOneChunk) {
  Comm.SetReadIntervalTimeout(600);
  Comm.OpenPort();
  for (const char* piece : {"01", "03", "04", "00"}) {
    Pty.Write(piece);
    std::this_thread::sleep_for(15ms);  // the pause on the line is the stimulus, not a synchronisation
  }
  ASSERT_TRUE(WaitForChunks(1));
  PumpFor(Comm, 200ms);
  ASSERT_EQ(Chunks.size(), 1u);
  EXPECT_EQ(Chunks[0], Bytes("01030400"));
}

TEST_F(CommOverPty, FullReadBufferCompletesAtOnceAndTheRestStartsANewChunk) {
  // An interval long enough that a loaded machine does not reach it by itself.
  Comm.SetReadIntervalTimeout(3000);
  Comm.OpenPort();
  std::vector<uint8_t> data(TComm::ReadBufferSize + 10);
  std::iota(data.begin(), data.end(), uint8_t{1});
  const auto before = Clock::now();
  Pty.Write(data);
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_LT(ChunkTimes[0] - before, 3000ms) << "the full buffer waited for the silence";
  ASSERT_TRUE(WaitForChunks(2, 10s));
  ASSERT_EQ(Chunks[0].size(), TComm::ReadBufferSize);
  ASSERT_EQ(Chunks[1].size(), 10u);
  EXPECT_EQ(AllReceived(), data);
}

TEST_F(CommOverPty, LargeTransferArrivesCompleteAndInOrder) {
  Comm.OpenPort();
  std::vector<uint8_t> data(20000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::thread feeder([&] { Pty.Write(data); });
  const bool done = PumpUntil(Comm, [&] { return AllReceived().size() >= data.size(); });
  feeder.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(AllReceived(), data);
  for (const auto& c : Chunks) EXPECT_LE(c.size(), TComm::ReadBufferSize);
}

TEST_F(CommOverPty, IgnoreNullCharDropsNulBytes) {
  Comm.SetIgnoreNullChar(true);
  Comm.OpenPort();
  Pty.Write(std::vector<uint8_t>{'A', 0, 'B', 0, 0, 'C'});
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("ABC"));
}

TEST_F(CommOverPty, ReadTotalTimeoutEndsAReadWithoutAnInterval) {
  Comm.SetReadIntervalTimeout(0);  // no interval: only the total limit ends a read
  Comm.SetReadTotalTimeoutConstant(300);
  Comm.OpenPort();
  Pty.Write("xyz");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("xyz"));
}

TEST_F(CommOverPty, NotificationsPendingAtCloseAreNeverDelivered) {
  Comm.OpenPort();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return SendEmptyCount == 1; }));  // the writer's first idle note
  Pty.Write("late");
  pollfd p{Comm.NotifyFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);  // the chunk is queued and not dispatched
  Comm.ClosePort();
  Comm.DispatchNotifications();
  EXPECT_TRUE(Chunks.empty());
  EXPECT_EQ(poll(&p, 1, 0), 0) << "NotifyFd still readable after the close";
}

TEST_F(CommOverPty, ClosePortInsideACallbackStopsFurtherDelivery) {
  Comm.OpenPort();
  int calls = 0;
  Comm.OnReceiveData = [&](const uint8_t*, size_t) {
    ++calls;
    Comm.ClosePort();
  };
  Pty.Write("one");
  ASSERT_TRUE(PumpUntil(Comm, [&] { return calls == 1; }));
  EXPECT_FALSE(Comm.IsOpen());
  PumpFor(Comm, 100ms);
  EXPECT_EQ(calls, 1);
}

// ---- sending --------------------------------------------------------------

TEST_F(CommOverPty, SendDataWhileClosedOrWithNoBytesReturnsFalse) {
  const uint8_t frame[] = {1, 3, 0, 0, 0, 10};
  EXPECT_FALSE(Comm.SendData(frame, sizeof frame));
  EXPECT_TRUE(Comm.SendDataEmpty());
  Comm.OpenPort();
  EXPECT_FALSE(Comm.SendData(frame, 0));
  EXPECT_TRUE(Comm.SendDataEmpty());
}

TEST_F(CommOverPty, SentFramesArriveAtTheFarEndInOrder) {
  Comm.OpenPort();
  std::vector<uint8_t> expected;
  for (int i = 1; i <= 200; ++i) {
    std::vector<uint8_t> frame(static_cast<size_t>(i));
    for (int k = 0; k < i; ++k) frame[static_cast<size_t>(k)] = static_cast<uint8_t>(i + k);
    ASSERT_TRUE(Comm.SendData(frame.data(), frame.size()));
    std::fill(frame.begin(), frame.end(), 0);  // the caller's buffer may be reused at once
    for (int k = 0; k < i; ++k) expected.push_back(static_cast<uint8_t>(i + k));
  }
  EXPECT_EQ(Pty.ReadExactly(expected.size()), expected);
}

TEST_F(CommOverPty, WriterReportsSendQueueEmptyWhenFirstIdleAndAfterEachDrain) {
  Comm.OpenPort();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return SendEmptyCount == 1; }));
  EXPECT_TRUE(Comm.SendDataEmpty());
  const uint8_t frame[] = {'~', '1', '\r'};
  ASSERT_TRUE(Comm.SendData(frame, sizeof frame));
  EXPECT_EQ(Pty.ReadExactly(3), std::vector<uint8_t>(frame, frame + 3));
  ASSERT_TRUE(PumpUntil(Comm, [&] { return SendEmptyCount == 2; }));
  EXPECT_TRUE(Comm.SendDataEmpty());
}

TEST_F(CommOverPty, ClosePortWhileAWriteIsPendingDoesNotHang) {
  Comm.OpenPort();
  // Nobody reads the master: the pty fills and the writer waits for room.
  std::vector<uint8_t> block(65535, 'U');
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(Comm.SendData(block.data(), block.size()));
  pollfd p{Pty.Master(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);      // the writer has started,
  EXPECT_FALSE(Comm.SendDataEmpty());   // and 1 MiB cannot fit into the pty
  const auto before = Clock::now();
  Comm.ClosePort();
  EXPECT_LT(Clock::now() - before, 2s);
  EXPECT_FALSE(Comm.IsOpen());
  EXPECT_TRUE(Comm.SendDataEmpty());
  EXPECT_TRUE(Failures.empty());
  // The port opens again and works.
  Comm.OpenPort();
  Pty.Write("after");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks.back(), Bytes("after"));
}

// ---- the far end going away -----------------------------------------------

TEST_F(CommOverPty, FarEndClosingIsReportedOnceAndCloseStillWorks) {
  Comm.OpenPort();
  Pty.CloseMaster();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return !Failures.empty(); }));
  EXPECT_EQ(Failures[0].Kind, TPortFailureKind::HangUp);
  EXPECT_FALSE(Failures[0].Text.empty());
  EXPECT_TRUE(Comm.IsOpen()) << "the owner decides to close";

  // A send after the failure meets the dead line too, but is not reported again.
  const uint8_t frame[] = {1, 2, 3};
  Comm.SendData(frame, sizeof frame);
  ASSERT_TRUE(PumpUntil(Comm, [&] { return Comm.SendDataEmpty(); }));
  PumpFor(Comm, 200ms);
  EXPECT_EQ(Failures.size(), 1u);

  const auto before = Clock::now();
  Comm.ClosePort();
  EXPECT_LT(Clock::now() - before, 2s);
  EXPECT_FALSE(Comm.IsOpen());
}

TEST_F(CommOverPty, FarEndClosingDuringAPendingWriteIsReportedOnce) {
  Comm.OpenPort();
  std::vector<uint8_t> block(65535, 'W');
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Comm.SendData(block.data(), block.size()));
  Pty.CloseMaster();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return !Failures.empty(); }));
  ASSERT_TRUE(PumpUntil(Comm, [&] { return Comm.SendDataEmpty(); }));
  PumpFor(Comm, 200ms);
  EXPECT_EQ(Failures.size(), 1u);
  Comm.ClosePort();
  EXPECT_FALSE(Comm.IsOpen());
}

TEST_F(CommOverPty, PortReopensOnANewDeviceAfterAFailure) {
  Comm.OpenPort();
  Pty.CloseMaster();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return !Failures.empty(); }));
  Comm.ClosePort();

  TPtyPair replugged;  // the adapter comes back, perhaps under a new name
  Comm.SetCommName(replugged.SlavePath());
  Comm.OpenPort();
  replugged.Write("back");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks.back(), Bytes("back"));
  // A new open may report a failure again.
  replugged.CloseMaster();
  ASSERT_TRUE(PumpUntil(Comm, [&] { return Failures.size() == 2; }));
  Comm.ClosePort();
}

// ---- line settings on the open port ---------------------------------------

TEST_F(CommOverPty, OpenAppliesTheLineSettings) {
  Comm.SetBaudRate(2400);
  Comm.SetStopBits(TStopBits::_2);
  Comm.SetOutx_XonXoffFlow(false);
  Comm.SetInx_XonXoffFlow(false);
  Comm.OpenPort();
  termios t{};
  ASSERT_EQ(tcgetattr(static_cast<int>(Comm.PortHandle()), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B2400);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(t.c_oflag & OPOST);
}

TEST_F(CommOverPty, BaudRateChangeWhileOpenIsAppliedAtOnce) {
  Comm.OpenPort();
  Comm.SetBaudRate(19200);
  termios t{};
  ASSERT_EQ(tcgetattr(static_cast<int>(Comm.PortHandle()), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);
}

TEST_F(CommOverPty, ParityChangeWhileOpenWaitsForTheNextOpen) {
  // A pty forces CS8 and clears PARENB, but keeps PARODD: odd parity shows.
  Comm.OpenPort();
  Comm.SetParity(TParity::Odd);
  termios t{};
  ASSERT_EQ(tcgetattr(static_cast<int>(Comm.PortHandle()), &t), 0);
  EXPECT_FALSE(t.c_cflag & PARODD);
  Comm.ClosePort();
  Comm.OpenPort();
  ASSERT_EQ(tcgetattr(static_cast<int>(Comm.PortHandle()), &t), 0);
  EXPECT_TRUE(t.c_cflag & PARODD);
}

TEST_F(CommOverPty, CommNameChangeWhileOpenWaitsForTheNextOpen) {
  Comm.OpenPort();
  TPtyPair other;
  Comm.SetCommName(other.SlavePath());
  Pty.Write("old");
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(Chunks[0], Bytes("old"));
  Comm.ClosePort();
  Comm.OpenPort();
  other.Write("new");
  ASSERT_TRUE(WaitForChunks(2));
  EXPECT_EQ(Chunks[1], Bytes("new"));
}

TEST_F(CommOverPty, RateWithoutAConstantStillOpens) {
  Comm.SetBaudRate(250000);
  EXPECT_NO_THROW(Comm.OpenPort());
  Pty.Write("ok");
  ASSERT_TRUE(WaitForChunks(1));
}

// Speed 0 means "hang up": the open must fail rather than report a port
// that no device can be heard on, and must leave nothing locked behind.
TEST_F(CommOverPty, BaudRateThePortDoesNotTakeFailsTheOpen) {
  Comm.SetBaudRate(0);
  const std::string error = OpenErrorOf(Comm);
  EXPECT_EQ(error, MsgBaudRateRefused);
  EXPECT_FALSE(Comm.IsOpen());
  EXPECT_EQ(Comm.PortHandle(), 0);
  Comm.SetBaudRate(9600);
  ASSERT_NO_THROW(Comm.OpenPort());
  Pty.Write("ok");
  ASSERT_TRUE(WaitForChunks(1));
}

// A device answer that happens to hold DC3 (0x13) must not stop our output:
// with XON/XOFF on, the tty would hold every later request for good.
TEST_F(CommOverPty, StopCharacterFromTheDeviceIsDataAndNeverHaltsSending) {
  Comm.OpenPort();
  const std::vector<uint8_t> answer = {0x01, 0x04, 0x02, 0x13, 0x11, 0x13, 0xAB};
  Pty.Write(answer);
  ASSERT_TRUE(WaitForChunks(1));
  EXPECT_EQ(AllReceived(), answer);
  const std::vector<uint8_t> request = {0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD};
  ASSERT_TRUE(Comm.SendData(request.data(), request.size()));
  EXPECT_EQ(Pty.ReadExactly(request.size(), 3000ms), request);
}
