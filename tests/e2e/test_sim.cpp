// tessaro-sim driven over its pseudo-terminal as a master would drive it:
// hand-made request frames from the protocols' worked examples, and
// frame checks written here, apart from both the simulator and protocols/.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- checks

// Modbus CRC-16, table-driven (the simulator computes it bit by bit).
uint16_t ModbusCrc(const uint8_t* data, size_t count) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      unsigned v = i;
      for (int k = 0; k < 8; ++k) v = (v >> 1) ^ ((v & 1u) * 0xA001u);
      t[i] = static_cast<uint16_t>(v);
    }
    return t;
  }();
  unsigned crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
  return static_cast<uint16_t>(crc);
}

uint16_t ModbusCrc(const Bytes& b) { return ModbusCrc(b.data(), b.size()); }

Bytes WithCrc(Bytes frame) {
  const uint16_t crc = ModbusCrc(frame);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

bool CrcOk(const Bytes& frame) {
  if (frame.size() < 4) return false;
  const uint16_t crc = ModbusCrc(frame.data(), frame.size() - 2);
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

unsigned Reg(const Bytes& answer, size_t index) {  // register `index` of a read answer
  return answer.at(3 + 2 * index) * 256u + answer.at(4 + 2 * index);
}

std::string UpperHex(unsigned value, int digits) {
  static const char d[] = "0123456789ABCDEF";
  std::string s(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = d[value & 0xF];
  return s;
}

// LENGTH of an ASCII frame: LCHKSUM nibble then the 12-bit LENID.
std::string ExpectedLength(size_t infoChars) {
  const unsigned id = static_cast<unsigned>(infoChars) & 0xFFF;
  const unsigned sum = (id >> 8) + ((id >> 4) & 0xF) + (id & 0xF);
  return UpperHex(((16 - sum % 16) % 16) << 12 | id, 4);
}

// CHKSUM over the characters after "~" up to the end of INFO.
std::string ExpectedChecksum(const std::string& frame) {
  unsigned sum = 0;
  for (size_t i = 1; i + 5 < frame.size(); ++i) sum += static_cast<unsigned char>(frame[i]);
  return UpperHex((65536 - sum % 65536) % 65536, 4);
}

// An ASCII answer checked as a master checks it: SOI, LENGTH and CHKSUM.
::testing::AssertionResult AsciiFrameValid(const std::string& f) {
  if (f.size() < 18 || f.front() != '~' || f.back() != '\r')
    return ::testing::AssertionFailure() << "not a frame: " << f;
  if (f.substr(9, 4) != ExpectedLength(f.size() - 18))
    return ::testing::AssertionFailure() << "LENGTH " << f.substr(9, 4) << " in " << f;
  if (f.substr(f.size() - 5, 4) != ExpectedChecksum(f))
    return ::testing::AssertionFailure() << "CHKSUM " << f.substr(f.size() - 5, 4) << " in " << f;
  return ::testing::AssertionSuccess();
}

// Eight hex characters: an IEEE single, least significant byte first.
double FloatAt(const std::string& f, size_t pos) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(std::stoul(f.substr(pos + 2 * static_cast<size_t>(i), 2), nullptr, 16));
  float v;
  std::memcpy(&v, b, 4);
  return v;
}

// ---------------------------------------------------------------- process

class TSim {
 public:
  explicit TSim(const std::vector<std::string>& extra) {
    char dirTemplate[] = "/tmp/tessaro-sim-test-XXXXXX";
    if (!mkdtemp(dirTemplate)) return;
    FDir = dirTemplate;
    FLink = FDir + "/ttyUPS";
    std::vector<std::string> args{TESSARO_BUILD_DIR "/tessaro-sim", "--link", FLink};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FOut = out[0];
    if (FPid > 0 && WaitReady()) OpenLink();
  }

  ~TSim() {
    Stop();
    if (FOut >= 0) close(FOut);
    if (!FDir.empty()) {
      unlink(FLink.c_str());
      rmdir(FDir.c_str());
    }
  }

  bool Ok() const { return FFd >= 0; }
  double SecondsSinceReady() const { return std::chrono::duration<double>(Clock::now() - FReadyAt).count(); }
  const std::string& Link() const { return FLink; }

  // Ends the simulator this test started; true when it exited 0 by itself.
  bool Stop() {
    if (FFd >= 0) close(FFd);
    FFd = -1;
    if (FPid <= 0) return false;
    kill(FPid, SIGTERM);
    int status = 0;
    const auto limit = Clock::now() + std::chrono::seconds(5);
    pid_t done = 0;
    while ((done = waitpid(FPid, &status, WNOHANG)) == 0 && Clock::now() < limit) usleep(10000);
    if (done == 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, &status, 0);
    }
    FPid = -1;
    return done > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  void Send(const Bytes& b) const { ASSERT_EQ(write(FFd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  void Send(const std::string& s) const { Send(Bytes(s.begin(), s.end())); }

  // Everything that arrives until `quietMs` pass without a byte once at least
  // `expected` bytes are in, or until `limitMs` in all.
  Bytes Read(size_t expected, int limitMs = 2000, int quietMs = 60) const {
    Bytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      const auto now = Clock::now();
      if (now >= end) break;
      int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
      if (got.size() >= expected) wait = std::min(wait, quietMs);
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, wait) <= 0) {
        if (got.size() >= expected) break;
        continue;
      }
      uint8_t buf[512];
      const ssize_t n = read(FFd, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  Bytes Ask(const Bytes& request, size_t expected) const {
    Send(request);
    return Read(expected);
  }

  std::string AskText(const std::string& request, size_t expected = 18) const {
    Send(request);
    const Bytes b = Read(expected);
    return std::string(b.begin(), b.end());
  }

  bool SilentFor(int ms) const { return Read(1, ms).empty(); }

 private:
  bool WaitReady() {
    std::string line;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c;
      if (read(FOut, &c, 1) != 1) return false;
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line == "ready " + FLink) {
        FReadyAt = Clock::now();
        return true;
      }
      line.clear();
    }
    return false;
  }

  void OpenLink() {
    FFd = open(FLink.c_str(), O_RDWR | O_NOCTTY);
    if (FFd < 0) return;
    termios tio{};
    tcgetattr(FFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(FFd, TCSANOW, &tio);
  }

  std::string FDir, FLink;
  pid_t FPid = -1;
  int FOut = -1;
  int FFd = -1;
  Clock::time_point FReadyAt;
};

// ---------------------------------------------------------------- Modbus

TEST(Sim, ModbusReadsAnswerWithValidCrcAndPlausibleValues) {
  // The test's CRC agrees with the documented values: check value and the step-1 request.
  const std::string nine = "123456789";
  EXPECT_EQ(ModbusCrc(reinterpret_cast<const uint8_t*>(nine.data()), nine.size()), 0x4B37);
  const Bytes step1{0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD};
  ASSERT_EQ(WithCrc({0x01, 0x04, 0x75, 0x30, 0x00, 0x0E}), step1);

  TSim sim({"--protocol", "modbus", "--devices", "1,2", "--seed", "11"});
  ASSERT_TRUE(sim.Ok());

  // Step 1: 30001..30014, 14 registers -> 3 + 28 + 2 bytes.
  Bytes a = sim.Ask(step1, 33);
  ASSERT_EQ(a.size(), 33u);
  EXPECT_TRUE(CrcOk(a));
  EXPECT_EQ(a[0], 0x01);
  EXPECT_EQ(a[1], 0x04);
  EXPECT_EQ(a[2], 28);
  for (size_t r : {0u, 1u, 2u, 10u, 11u, 12u}) {  // input and output volts x10
    EXPECT_GE(Reg(a, r), 2150u) << r;
    EXPECT_LE(Reg(a, r), 2250u) << r;
  }
  EXPECT_NEAR(Reg(a, 13), 500.0, 2.0);  // 30014: 50.0 Hz

  // Step 2: loads 30021..30023 within 30..60 %, battery 30037 capacity.
  a = sim.Ask({0x01, 0x04, 0x75, 0x44, 0x00, 0x12, 0x2A, 0x1E}, 41);
  ASSERT_EQ(a.size(), 41u);
  EXPECT_TRUE(CrcOk(a));
  for (size_t r : {0u, 1u, 2u}) {
    EXPECT_GE(Reg(a, r), 30u);
    EXPECT_LE(Reg(a, r), 60u);
  }
  EXPECT_GT(Reg(a, 10), 1000u);  // 30031 battery +, x0.1 V
  EXPECT_EQ(Reg(a, 16), 100u);   // 30037 capacity

  // Step 3: status words of a unit online on inverter (gives state 4).
  a = sim.Ask({0x01, 0x04, 0x75, 0x80, 0x00, 0x0B, 0xAA, 0x29}, 27);
  ASSERT_EQ(a.size(), 27u);
  EXPECT_TRUE(CrcOk(a));
  const unsigned cmm1 = Reg(a, 1), inv1 = Reg(a, 3);
  EXPECT_EQ(inv1 & 0x0780, 0x0700u);  // m = 0x0100, b = 0x0600
  EXPECT_EQ(cmm1 & 0x6600, 0x4400u);  // rectifier on, mains, no test, no EPO
  for (size_t r = 5; r <= 8; ++r) EXPECT_EQ(Reg(a, r), 0u) << "alarm word " << r;

  // Step 4: holding registers 40001..40028 with the device parameters.
  a = sim.Ask({0x01, 0x03, 0x9C, 0x40, 0x00, 0x1C, 0x6B, 0x87}, 61);
  ASSERT_EQ(a.size(), 61u);
  EXPECT_TRUE(CrcOk(a));
  EXPECT_EQ(Reg(a, 4), 220u);  // 40005 VoltLevel
  EXPECT_EQ(Reg(a, 5), 50u);   // 40006 FreqLevel

  // Device 2 answers too, from its own address.
  a = sim.Ask(WithCrc({0x02, 0x04, 0x75, 0x30, 0x00, 0x0E}), 33);
  ASSERT_EQ(a.size(), 33u);
  EXPECT_EQ(a[0], 0x02);
  EXPECT_TRUE(CrcOk(a));

  const std::string link = sim.Link();
  EXPECT_TRUE(sim.Stop());
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(Sim, ModbusWritesAreEchoedAndReadBack) {
  TSim sim({"--devices", "1"});
  ASSERT_TRUE(sim.Ok());

  const Bytes voltLevel = WithCrc({0x01, 0x06, 0x9C, 0x44, 0x00, 230});  // 40005 := 230
  EXPECT_EQ(sim.Ask(voltLevel, 8), voltLevel);
  // Function 16: 40018..40019 := 236, 226; the answer is address, 16, start, count.
  const Bytes multi = WithCrc({0x01, 0x10, 0x9C, 0x51, 0x00, 0x02, 0x04, 0x00, 236, 0x00, 226});
  EXPECT_EQ(sim.Ask(multi, 8), WithCrc({0x01, 0x10, 0x9C, 0x51, 0x00, 0x02}));

  Bytes a = sim.Ask({0x01, 0x03, 0x9C, 0x40, 0x00, 0x1C, 0x6B, 0x87}, 61);
  ASSERT_EQ(a.size(), 61u);
  EXPECT_EQ(Reg(a, 4), 230u);
  EXPECT_EQ(Reg(a, 17), 236u);
  EXPECT_EQ(Reg(a, 18), 226u);

  // Battery test for 60 s, the frame: echoed, and the rectifier
  // word then shows the test (bit 9) without mains supply (bit 10).
  const Bytes test{0x01, 0x06, 0x4E, 0x22, 0x00, 0x3C, 0x3E, 0xF9};
  EXPECT_EQ(sim.Ask(test, 8), test);
  a = sim.Ask({0x01, 0x04, 0x75, 0x80, 0x00, 0x0B, 0xAA, 0x29}, 27);
  ASSERT_EQ(a.size(), 27u);
  EXPECT_EQ(Reg(a, 1) & 0x0600, 0x0200u);
  // Cancelling (value 0) brings the mains supply back.
  const Bytes cancel{0x01, 0x06, 0x4E, 0x22, 0x00, 0x00, 0x3E, 0xE8};
  EXPECT_EQ(sim.Ask(cancel, 8), cancel);
  a = sim.Ask({0x01, 0x04, 0x75, 0x80, 0x00, 0x0B, 0xAA, 0x29}, 27);
  ASSERT_EQ(a.size(), 27u);
  EXPECT_EQ(Reg(a, 1) & 0x0600, 0x0400u);
}

TEST(Sim, ModbusUnknownAddressIsSilentAndBadRequestsGetExceptions) {
  TSim sim({"--devices", "1,5"});
  ASSERT_TRUE(sim.Ok());

  sim.Send(WithCrc({0x09, 0x04, 0x75, 0x30, 0x00, 0x0E}));
  EXPECT_TRUE(sim.SilentFor(300));

  // Function 0x2B is not served: exception 01.
  EXPECT_EQ(sim.Ask(WithCrc({0x05, 0x2B, 0x0E, 0x01, 0x00}), 5), WithCrc({0x05, 0xAB, 0x01}));
  // Input register 30201 does not exist: exception 02.
  EXPECT_EQ(sim.Ask(WithCrc({0x01, 0x04, 0x75, 0xF8, 0x00, 0x01}), 5), WithCrc({0x01, 0x84, 0x02}));
  // Holding registers read with count 0: exception 03.
  EXPECT_EQ(sim.Ask(WithCrc({0x01, 0x03, 0x9C, 0x40, 0x00, 0x00}), 5), WithCrc({0x01, 0x83, 0x03}));
  // A request with a broken CRC is not answered; the next good one is.
  Bytes broken = WithCrc({0x01, 0x04, 0x75, 0x30, 0x00, 0x0E});
  broken.back() ^= 0x01;
  sim.Send(broken);
  EXPECT_TRUE(sim.SilentFor(300));
  const Bytes a = sim.Ask({0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD}, 33);
  EXPECT_EQ(a.size(), 33u);
  EXPECT_TRUE(CrcOk(a));
}

TEST(Sim, ModbusGarbledDroppedAndLateDevicesMisbehaveAsConfigured) {
  TSim sim({"--devices", "1-4", "--garble-device", "2", "--garble-every", "2", "--drop-device", "3",
            "--drop-after", "1.5", "--late-device", "4", "--late-ms", "400"});
  ASSERT_TRUE(sim.Ok());
  auto step1 = [](uint8_t address) { return WithCrc({address, 0x04, 0x75, 0x30, 0x00, 0x0E}); };

  // Device 3 answers first thing: its 1.5 s count from the simulator's own
  // start, which came before we read "ready".
  EXPECT_EQ(sim.Ask(step1(3), 33).size(), 33u);

  // Device 2: every second answer has a wrong CRC.
  for (int i = 1; i <= 4; ++i) {
    const Bytes a = sim.Ask(step1(2), 33);
    ASSERT_EQ(a.size(), 33u) << "answer " << i;
    EXPECT_EQ(CrcOk(a), i % 2 == 1) << "answer " << i;
  }

  // Device 4: the answer comes about 400 ms late.
  const auto sent = Clock::now();
  sim.Send(step1(4));
  EXPECT_TRUE(sim.Read(1, 300).empty());
  const Bytes late = sim.Read(33, 2000);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - sent).count(), 0.35);
  EXPECT_EQ(late.size(), 33u);
  EXPECT_TRUE(CrcOk(late));

  // Device 3 falls silent 1.5 s after start; device 1 goes on.
  while (sim.SecondsSinceReady() < 1.6) usleep(20000);
  sim.Send(step1(3));
  EXPECT_TRUE(sim.SilentFor(400));
  EXPECT_EQ(sim.Ask(step1(1), 33).size(), 33u);
}

TEST(Sim, AlarmDeviceRaisesAlarmThenRunsOnBatteryThenClears) {
  // A second and more for each phase: a loaded machine still sees every one.
  TSim sim({"--devices", "1", "--alarm-device", "1", "--alarm-at", "1.5", "--battery-at", "2.7", "--clear-at", "3.9"});
  ASSERT_TRUE(sim.Ok());
  const std::vector<std::pair<unsigned, unsigned>> expected{
      {0x0C00, 0}, {0x0C00, 0x0040}, {0x0800, 0x0040}, {0x0C00, 0}};
  // (CmmState1 bits 11 and 10, CmmAlarm2 bit 6) as seen over time, repeats folded.
  std::vector<std::pair<unsigned, unsigned>> seen;
  bool batteryDischarging = false;
  while (seen.size() < expected.size() && sim.SecondsSinceReady() < 15.0) {
    const Bytes a = sim.Ask({0x01, 0x04, 0x75, 0x80, 0x00, 0x0B, 0xAA, 0x29}, 27);
    ASSERT_EQ(a.size(), 27u);
    ASSERT_TRUE(CrcOk(a));
    const std::pair<unsigned, unsigned> s{Reg(a, 1) & 0x0C00, Reg(a, 6) & 0x0040};
    if (seen.empty() || seen.back() != s) seen.push_back(s);
    if (s.first == 0x0800) {
      const Bytes b = sim.Ask({0x01, 0x04, 0x75, 0x44, 0x00, 0x12, 0x2A, 0x1E}, 41);
      ASSERT_EQ(b.size(), 41u);
      batteryDischarging = Reg(b, 14) > 0 && Reg(b, 0) >= 30;  // 30035 discharge current, load still there
    }
    usleep(80000);  // between polls, not to synchronise
  }
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(batteryDischarging);
}

// ---------------------------------------------------------------- ASCII

TEST(Sim, YdtStatusAnswerHasMatchingLengthAndChecksum) {
  // The test's LENGTH and CHKSUM agree with the worked example.
  EXPECT_TRUE(AsciiFrameValid("~31012A009016000000048C00C100000000F945\r"));
  EXPECT_EQ(ExpectedChecksum(std::string("~31012A420000") + "FDA2\r"), "FDA2");

  TSim sim({"--protocol", "ydt", "--devices", "1,2"});
  ASSERT_TRUE(sim.Ok());
  const std::string f = sim.AskText("~31012A430000FDA1\r", 40);
  ASSERT_EQ(f.size(), 40u) << f;
  EXPECT_TRUE(AsciiFrameValid(f));
  EXPECT_EQ(f.substr(0, 9), "~31012A00");  // VER 31, ADR 01, CID1 2A, RTN 00
  EXPECT_EQ(f.substr(19, 2), "04");         // UpsState: online
  EXPECT_EQ(f.substr(21, 4), "CC00");       // CmmState1
  EXPECT_EQ(f.substr(25, 4), "C700");       // InvState1

  // Analog values of device 2: 220 V (x100) and 50 Hz at their positions.
  const std::string g = sim.AskText("~31022A420000FDA1\r", 64);
  ASSERT_TRUE(AsciiFrameValid(g));
  EXPECT_EQ(g.substr(3, 2), "02");
  EXPECT_NEAR(std::stoul(g.substr(15, 4), nullptr, 16) / 100.0, 220.0, 3.0);
  EXPECT_NEAR(std::stoul(g.substr(27, 4), nullptr, 16) / 100.0, 220.0, 3.0);
  EXPECT_NEAR(std::stoul(g.substr(55, 4), nullptr, 16) / 100.0, 50.0, 0.2);

  // A request with a wrong CHKSUM is answered with RTN 02 and no INFO.
  const std::string e = sim.AskText("~31012A430000FDA2\r");
  EXPECT_TRUE(AsciiFrameValid(e));
  EXPECT_EQ(e.substr(0, 13), "~31012A020000");
  // Address 3 is not on the bus.
  sim.Send(std::string("~31032A430000FD9F\r"));
  EXPECT_TRUE(sim.SilentFor(300));
}

TEST(Sim, QuorvanAnalogAnswerCarriesFloatsAtTheirPositions) {
  EXPECT_DOUBLE_EQ(FloatAt("0000C842", 0), 100.0);  // the example

  TSim sim({"--protocol", "quorvan", "--devices", "1"});
  ASSERT_TRUE(sim.Ok());
  const std::string f = sim.AskText("~11012A410000FDA5\r", 108);
  ASSERT_TRUE(AsciiFrameValid(f));
  EXPECT_EQ(f.substr(0, 9), "~11012A00");
  EXPECT_NEAR(FloatAt(f, 15) / std::sqrt(3.0), 220.0, 3.0);  // line-to-line input
  EXPECT_NEAR(FloatAt(f, 39), 220.0, 3.0);                   // output A
  EXPECT_NEAR(FloatAt(f, 95), 50.0, 0.2);                    // output Hz

  const std::string s = sim.AskText("~11012A430000FDA3\r", 37);
  ASSERT_TRUE(AsciiFrameValid(s));
  EXPECT_EQ(s.substr(15, 2), "01");  // inverter supply
  EXPECT_EQ(s.substr(25, 2), "E0");  // mains
  EXPECT_EQ(s.substr(31, 2), "E0");  // maintenance switch open
}

TEST(Sim, AsciiFaultPlanShowsEachLineFaultInTurn) {
  TSim sim({"--protocol", "ydt", "--devices", "1,2", "--fault-device", "1", "--fault-every", "1", "--faults",
            "lowercase,joined,rtn,truncated,silence,checksum"});
  ASSERT_TRUE(sim.Ok());
  const std::string request = "~31012A430000FDA1\r";

  // Lower-case digits whose LENGTH and CHKSUM values are right for the characters sent.
  std::string f = sim.AskText(request, 40);
  ASSERT_EQ(f.size(), 40u) << f;
  EXPECT_EQ(f.substr(0, 13), "~31012a009016");
  EXPECT_NE(f.find("cc00"), std::string::npos) << f;
  std::string lowerChecksum = ExpectedChecksum(f);
  for (char& c : lowerChecksum) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(f.substr(35, 4), lowerChecksum);

  // Two good frames in one chunk.
  f = sim.AskText(request, 80);
  ASSERT_EQ(f.size(), 80u) << f;
  EXPECT_EQ(f.substr(0, 40), f.substr(40));
  EXPECT_TRUE(AsciiFrameValid(f.substr(0, 40)));

  // A non-zero RTN.
  f = sim.AskText(request);
  EXPECT_TRUE(AsciiFrameValid(f));
  EXPECT_EQ(f.substr(0, 9), "~31012A04");

  // A truncated frame: the first half, without its CR.
  f = sim.AskText(request, 20);
  EXPECT_EQ(f.size(), 20u) << f;
  EXPECT_EQ(f.find('\r'), std::string::npos);

  // Silence.
  sim.Send(request);
  EXPECT_TRUE(sim.SilentFor(300));

  // A wrong CHKSUM with a right LENGTH.
  f = sim.AskText(request, 40);
  ASSERT_EQ(f.size(), 40u);
  EXPECT_EQ(f.substr(9, 4), ExpectedLength(22));
  EXPECT_NE(f.substr(35, 4), ExpectedChecksum(f));

  // Device 2 is not affected.
  EXPECT_TRUE(AsciiFrameValid(sim.AskText("~31022A430000FDA0\r", 40)));
}

}  // namespace
