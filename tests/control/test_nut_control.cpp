// Network commands take the windows' path: the same request, the same checks
// and the same queue entry; the users file named in the settings or no
// commands at all; and each outcome as GET TRACKING tells it.

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "control/Control.h"
#include "control/NutControl.h"
#include "core/Clock.h"
#include "engine/Context.h"

using namespace tessaro;

namespace {

class NutControl : public ::testing::Test {
 protected:
  NutControl() : Dir(std::filesystem::temp_directory_path() / "tessaro-nut-control-test"), Ctx(Dir.string() + "/", Clock) {
    std::filesystem::create_directories(Dir);
    Ctx.Settings.PortInfo.Protocol = ProtocolModbus;
    TDeviceNode node;
    node.Address = 3;
    Ctx.DeviceList.Nodes[1] = node;
    Ctx.DeviceList.Count = 1;
    Ctx.UpsInfo[3].CommState = 0;
  }
  ~NutControl() override { std::filesystem::remove_all(Dir); }
  std::unique_ptr<TNutCommandHost> Host() {
    return MakeNutCommandHost(Ctx, [this] { return PortOpen; }, [](const std::string&) {},
                              [this](const std::string& t) { Said.push_back(t); });
  }
  std::vector<TWriteCommand> Queue() const {
    std::vector<TWriteCommand> out;
    TCommandQueue copy = Ctx.CommandQueue;
    while (auto c = copy.TakeFirst()) out.push_back(*c);
    return out;
  }
  std::filesystem::path Dir;
  TManualClock Clock;
  TContext Ctx;
  bool PortOpen = true;
  std::vector<std::string> Said;
};

TEST_F(NutControl, ACommandQueuesWhatTheWindowQueues) {
  const auto host = Host();
  struct TCase {
    net::TNutCommand Command;
    const char* Value;  // null: none given
    TCommandKind Kind;
    uint16_t Seconds;
  } const cases[] = {
      {net::TNutCommand::BatteryTestStart, nullptr, TCommandKind::BatteryTest, DefaultTestSeconds},
      {net::TNutCommand::BatteryTestStart, "600", TCommandKind::BatteryTest, 600},
      {net::TNutCommand::BatteryTestStop, nullptr, TCommandKind::CancelTest, 0},
      {net::TNutCommand::LoadOff, nullptr, TCommandKind::LoadOff, 0},
      {net::TNutCommand::LoadOn, nullptr, TCommandKind::LoadOn, 0},
  };
  for (const TCase& c : cases) {
    Ctx.CommandQueue = TCommandQueue();
    const std::string value = c.Value ? c.Value : "";
    const net::TNutQueued queued = host->Control.Queue(3, c.Command, c.Value ? &value : nullptr);
    ASSERT_NE(queued.Id, 0u) << queued.Reason;
    const std::vector<TWriteCommand> fromNet = Queue();
    EXPECT_EQ(Ctx.Commands.Find(queued.Id)->Request.Kind, c.Kind);
    // The window's press of the same command leaves the same queue.
    Ctx.CommandQueue = TCommandQueue();
    ASSERT_EQ(QueueControlCommand(Ctx, TCommandRequest{3, c.Kind, 0, c.Seconds}, true).Check, TCommandCheck::Ok);
    const std::vector<TWriteCommand> fromWindow = Queue();
    ASSERT_EQ(fromNet.size(), 1u);
    ASSERT_EQ(fromWindow.size(), 1u);
    EXPECT_EQ(fromNet[0].Reg, fromWindow[0].Reg);
    EXPECT_EQ(fromNet[0].Addr, fromWindow[0].Addr);
    EXPECT_EQ(fromNet[0].Func, fromWindow[0].Func);
    EXPECT_EQ(fromNet[0].CommandValue, fromWindow[0].CommandValue);
  }
}

TEST_F(NutControl, RefusalsQueueNothing) {
  const auto host = Host();
  const std::string bad[] = {"", "-1", "65536", "1.5", "12x"};
  for (const std::string& v : bad) {
    const net::TNutQueued q = host->Control.Queue(3, net::TNutCommand::BatteryTestStart, &v);
    EXPECT_EQ(q.Id, 0u) << v;
    EXPECT_TRUE(q.BadValue) << v;
  }
  const std::string five = "5";
  EXPECT_TRUE(host->Control.Queue(3, net::TNutCommand::LoadOff, &five).BadValue);
  PortOpen = false;
  const net::TNutQueued closed = host->Control.Queue(3, net::TNutCommand::LoadOff, nullptr);
  EXPECT_EQ(closed.Id, 0u);
  EXPECT_FALSE(closed.BadValue);
  EXPECT_EQ(closed.Reason, CheckText(TCommandCheck::PortClosed, 0));
  EXPECT_TRUE(Queue().empty());
  // Only the protocols that write to devices offer commands.
  EXPECT_TRUE(host->Control.Offers(3));
  Ctx.Settings.PortInfo.Protocol = ProtocolYdtV31;
  EXPECT_FALSE(host->Control.Offers(3));
}

TEST_F(NutControl, TheUsersFileOfTheSettingsOrNoCommands) {
  EXPECT_EQ(Host()->Control.Users, nullptr);
  EXPECT_TRUE(Said.empty());  // none is the default
  const std::string path = (Dir / "users").string();
  std::ofstream(path) << "operator:" << ::crypt("right", ::crypt_gensalt("$6$", 0, nullptr, 0)) << ":all\n";
  ::chmod(path.c_str(), 0644);
  Ctx.Settings.NutUsersFile = path;
  EXPECT_EQ(Host()->Control.Users, nullptr);
  EXPECT_NE(Said.back().find("refused"), std::string::npos) << Said.back();
  ::chmod(path.c_str(), 0600);
  const auto host = Host();
  ASSERT_NE(host->Control.Users, nullptr) << Said.back();
  EXPECT_TRUE(host->Control.Users->MayRun("operator", "load.off"));
}

TEST(NutOutcome, EachStateAsTrackingTellsIt) {
  TTrackedCommand c;
  const std::pair<TCommandState, net::TNutOutcome> rows[] = {
      {TCommandState::Pending, net::TNutOutcome::Pending},   {TCommandState::Confirmed, net::TNutOutcome::Success},
      {TCommandState::NotAnswered, net::TNutOutcome::Failed}, {TCommandState::Superseded, net::TNutOutcome::Failed},
      {TCommandState::NotSent, net::TNutOutcome::Failed},
  };
  for (const auto& [state, outcome] : rows) {
    c.State = state;
    EXPECT_EQ(NutOutcome(&c), outcome) << static_cast<int>(state);
  }
  c.State = TCommandState::Refused;
  c.ExceptionCode = 3;
  EXPECT_EQ(NutOutcome(&c), net::TNutOutcome::InvalidArgument);
  c.ExceptionCode = 4;
  EXPECT_EQ(NutOutcome(&c), net::TNutOutcome::Failed);
  EXPECT_EQ(NutOutcome(nullptr), net::TNutOutcome::Unknown);
}

}  // namespace
