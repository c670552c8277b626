// The in-memory port that engine tests drive.

#include <gtest/gtest.h>

#include "serial/FakeSerialPort.h"

using namespace tessaro;

TEST(FakeSerialPort, RecordsFramesOnlyWhileOpen) {
  TFakeSerialPort port;
  const uint8_t frame[] = {1, 3, 0, 1, 0, 2};
  EXPECT_FALSE(port.SendData(frame, sizeof frame));
  port.OpenPort();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_NE(port.PortHandle(), 0);
  EXPECT_FALSE(port.SendData(frame, 0));
  EXPECT_TRUE(port.SendData(frame, sizeof frame));
  port.RefuseSends = true;
  EXPECT_FALSE(port.SendData(frame, sizeof frame));
  ASSERT_EQ(port.SentFrames.size(), 1u);
  EXPECT_EQ(port.SentFrames[0], std::vector<uint8_t>(frame, frame + 6));
  port.ClosePort();
  port.ClosePort();
  EXPECT_EQ(port.CloseCount, 1);
  EXPECT_EQ(port.PortHandle(), 0);
}

TEST(FakeSerialPort, DeliversInjectedChunksSynchronouslyWithATrailingZero) {
  TFakeSerialPort port;
  std::vector<std::string> got;
  port.OnReceiveData = [&](const uint8_t* b, size_t n) {
    EXPECT_EQ(b[n], 0);
    got.emplace_back(reinterpret_cast<const char*>(b), n);
  };
  port.InjectReceive(std::string("lost"));  // closed: dropped
  port.OpenPort();
  port.InjectReceive(std::string("~2001"));
  port.InjectReceive(std::string("4A00\r"));
  EXPECT_EQ(got, (std::vector<std::string>{"~2001", "4A00\r"}));
}

TEST(FakeSerialPort, FailureIsReportedOncePerOpen) {
  TFakeSerialPort port;
  int failures = 0;
  port.OnPortFailure = [&](const TPortFailure& f) {
    EXPECT_EQ(f.Kind, TPortFailureKind::HangUp);
    ++failures;
  };
  port.OpenPort();
  port.InjectFailure();
  port.InjectFailure();
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(port.IsOpen());
  port.ClosePort();
  port.OpenPort();
  port.InjectFailure();
  EXPECT_EQ(failures, 2);
}

TEST(FakeSerialPort, OpenFailuresCarryTheComponentsMessages) {
  TFakeSerialPort port;
  port.SetCommName("COM7");
  port.FailNextOpen();
  try {
    port.OpenPort();
    FAIL();
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
  }
  EXPECT_FALSE(port.IsOpen());
  port.OpenPort();
  EXPECT_EQ(port.OpenedNames, std::vector<std::string>{"COM7"});
  try {
    port.OpenPort();
    FAIL();
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "This serial port already opened");
  }
}

TEST(FakeSerialPort, WorksThroughTheInterface) {
  TFakeSerialPort fake;
  TSerialPort& port = fake;
  port.SetBaudRate(2400);
  port.SetReadIntervalTimeout(300);
  port.SetStopBits(TStopBits::_2);
  EXPECT_EQ(port.BaudRate(), 2400u);
  EXPECT_EQ(port.ReadIntervalTimeout(), 300u);
  EXPECT_EQ(port.StopBits(), TStopBits::_2);
  EXPECT_EQ(port.NotifyFd(), -1);
  port.DispatchNotifications();
}
