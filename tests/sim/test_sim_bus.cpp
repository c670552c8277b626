// The simulator's bus fed chunks directly, without a pseudo-terminal.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/sim/SimBus.h"
#include "tools/sim/SimFrames.h"

namespace tessaro::sim {
namespace {

std::string Frame(std::string body) {
  AppendCrc(body);
  return body;
}

struct TBus {
  TBus() : Bus(Options(), 7, [this](const std::string& line) { Log.push_back(line); }) {}

  static const TSimOptions& Options() {
    static const TSimOptions options;  // Modbus, device 1, no faults
    return options;
  }

  // Sends a chunk, then lets the line fall silent; returns what was answered.
  std::vector<std::string> Send(const std::string& chunk) {
    std::vector<TScheduledWrite> out;
    Bus.Receive(chunk, Now, out);
    Now += 1.0;
    Bus.Idle(Now, out);
    std::vector<std::string> answers;
    for (const TScheduledWrite& w : out) answers.push_back(w.Bytes);
    return answers;
  }

  double Now = 0;
  std::vector<std::string> Log;
  TSimBus Bus;
};

// Chunks of 4 to 6 bytes whose last two bytes are their CRC, so the bus takes
// them whole after the silence: none of them holds a full request.
TEST(SimBus, ShortModbusChunksWithAValidCrcAreDroppedNotRead) {
  const std::vector<std::string> bodies = {
      {'\x01', '\x03'},         {'\x01', '\x03', '\x9C'},         {'\x01', '\x03', '\x9C', '\x40'},
      {'\x01', '\x04'},         {'\x01', '\x04', '\x75', '\x30'}, {'\x01', '\x06', '\x9C'},
      {'\x01', '\x10'},         {'\x01', '\x10', '\x9C', '\x41'}, {'\x00', '\x10', '\x9C'},
      {'\x00', '\x06', '\x9C', '\x41'},
  };
  for (const std::string& body : bodies) {
    TBus bus;
    const std::string chunk = Frame(body);
    SCOPED_TRACE(Printable(chunk, false));
    EXPECT_TRUE(bus.Send(chunk).empty());
    ASSERT_FALSE(bus.Log.empty());
    EXPECT_EQ(bus.Log.back().rfind("dropping short request", 0), 0u) << bus.Log.back();
    // The bus is not thrown off: the next full request is answered.
    const std::vector<std::string> answers = bus.Send(Frame({'\x01', '\x04', '\x75', '\x30', '\x00', '\x0E'}));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].size(), 33u);
    EXPECT_TRUE(CrcValid(answers[0]));
  }
}

TEST(SimBus, ShortChunkOfAnUnservedFunctionStillGetsItsException) {
  TBus bus;
  const std::vector<std::string> answers = bus.Send(Frame({'\x01', '\x2B'}));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], Frame({'\x01', '\xAB', '\x01'}));
}

}  // namespace
}  // namespace tessaro::sim
