// The Telnet side of RFC 2217, fed with a server's bytes as they would come
// off the socket.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "serial/Rfc2217.h"

using namespace tessaro;

namespace {

using TBytes = std::vector<uint8_t>;

constexpr uint8_t Iac = 255, Sb = 250, Se = 240, Will = 251, Do = 253, Dont = 254;
constexpr uint8_t Binary = 0, Echo = 1, ComPort = 44;

bool Contains(const TBytes& hay, const TBytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TBytes ComPortSb(std::initializer_list<uint8_t> body) {
  TBytes out = {Iac, Sb, ComPort};
  out.insert(out.end(), body);
  out.insert(out.end(), {Iac, Se});
  return out;
}

TLineSettings Line(uint32_t baud, TStopBits stop = TStopBits::_1) {
  TLineSettings line;
  line.BaudRate = baud;
  line.StopBits = stop;
  line.Outx_XonXoffFlow = false;
  line.Inx_XonXoffFlow = false;
  return line;
}

// The server agrees to everything we offered; returns what it sent.
TBytes Agree(TRfc2217Link& link) {
  TBytes data;
  const TBytes server = {Iac, Do, ComPort, Iac, Do, Binary, Iac, Will, Binary};
  link.Receive(server.data(), server.size(), data);
  return data;
}

}  // namespace

TEST(Rfc2217, OffersTheComPortOptionAndBinaryBothWays) {
  TRfc2217Link link(Line(9600));
  link.Start();
  const TBytes& out = link.Out();
  EXPECT_TRUE(Contains(out, {Iac, Will, ComPort}));
  EXPECT_TRUE(Contains(out, {Iac, Will, Binary}));
  EXPECT_TRUE(Contains(out, {Iac, Do, Binary}));
  EXPECT_EQ(link.State(), TRfc2217Link::TState::Negotiating);
}

TEST(Rfc2217, LineSettingsFollowTheServersAgreementInOrderAndItsAckMakesTheLinkReady) {
  TRfc2217Link link(Line(4800, TStopBits::_2));
  link.Start();
  link.Out().clear();
  EXPECT_TRUE(Agree(link).empty());
  EXPECT_EQ(link.State(), TRfc2217Link::TState::Configuring);
  TBytes expected;
  for (const TBytes& sb : {ComPortSb({1, 0x00, 0x00, 0x12, 0xC0}),  // 4800, big-endian
                           ComPortSb({2, 8}), ComPortSb({3, 1}), ComPortSb({4, 2}),  // 8 data bits, no parity, 2 stop bits
                           ComPortSb({5, 1}), ComPortSb({5, 8}), ComPortSb({5, 11})})  // no flow control, DTR on, RTS on
    expected.insert(expected.end(), sb.begin(), sb.end());
  EXPECT_TRUE(Contains(link.Out(), expected));

  TBytes data;
  const TBytes ack = ComPortSb({101, 0x00, 0x00, 0x12, 0xC0});
  link.Receive(ack.data(), ack.size(), data);
  EXPECT_EQ(link.State(), TRfc2217Link::TState::Ready);
  EXPECT_EQ(link.AckedBaudRate(), 4800u);
}

// A refusal of our offer stays unanswered (the port gives up after its
// negotiation time); turning the option off later, or another speed, fails.
TEST(Rfc2217, ServerThatRefusesTheOptionOrTheSpeedNeverMakesTheLinkReady) {
  {
    TRfc2217Link link(Line(9600));
    link.Start();
    TBytes data;
    const TBytes refusal = {Iac, Dont, ComPort};
    link.Receive(refusal.data(), refusal.size(), data);
    EXPECT_EQ(link.State(), TRfc2217Link::TState::Negotiating);
    Agree(link);
    link.Receive(refusal.data(), refusal.size(), data);
    EXPECT_EQ(link.State(), TRfc2217Link::TState::Failed);
    EXPECT_NE(link.Problem().find("turned the RFC 2217 COM port option off"), std::string::npos) << link.Problem();
  }
  {
    TRfc2217Link link(Line(9600));
    link.Start();
    Agree(link);
    TBytes data;
    const TBytes ack = ComPortSb({101, 0x00, 0x00, 0x4B, 0x00});  // 19200
    link.Receive(ack.data(), ack.size(), data);
    EXPECT_EQ(link.State(), TRfc2217Link::TState::Failed);
    EXPECT_NE(link.Problem().find("runs the line at 19200 bit/s, not at the 9600"), std::string::npos)
        << link.Problem();
  }
}

TEST(Rfc2217, IacIsDoubledOnTheWayOutAndSingledOnTheWayInWhereverTheStreamIsCut) {
  TRfc2217Link link(Line(9600));
  link.Start();
  Agree(link);
  link.Out().clear();
  const TBytes frame = {0x01, 0xFF, 0x03, 0xFF, 0xFF, 0x0D};
  link.Send(frame.data(), frame.size());
  EXPECT_EQ(link.Out(), (TBytes{0x01, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D}));

  // The same bytes back from the server, cut at every position (a TCP stream
  // may split an escape), and once byte by byte.
  const TBytes wire = link.Out();
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    TRfc2217Link in(Line(9600));
    TBytes data;
    in.Receive(wire.data(), cut, data);
    in.Receive(wire.data() + cut, wire.size() - cut, data);
    EXPECT_EQ(data, frame) << "cut at " << cut;
  }
  TRfc2217Link in(Line(9600));
  TBytes data;
  for (uint8_t b : wire) in.Receive(&b, 1, data);
  EXPECT_EQ(data, frame);
}

TEST(Rfc2217, EchoIsRefusedAndCarriageReturnsPassUntouched) {
  TRfc2217Link link(Line(9600));
  link.Start();
  link.Out().clear();
  TBytes data;
  const TBytes server = {Iac, Will, Echo, '~', '2', '0', '\r', '\n', 0x00, '\r'};
  link.Receive(server.data(), server.size(), data);
  EXPECT_TRUE(Contains(link.Out(), {Iac, Dont, Echo}));
  EXPECT_FALSE(Contains(link.Out(), {Iac, Do, Echo}));
  EXPECT_EQ(data, (TBytes{'~', '2', '0', '\r', '\n', 0x00, '\r'}));
}
