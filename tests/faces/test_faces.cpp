// The composition root: which faces the settings and the command line attach,
// what a face that cannot run says, and that the root leaves the engine and
// the event log as it found them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "faces/Faces.h"
#include "faces/HookFace.h"
#include "faces/NutFace.h"
#include "faces/WebFace.h"
#include "serial/FakeSerialPort.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

class Faces : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_faces_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Ctx = std::make_unique<TContext>(Dir.string() + "/", Clock);
    Ctx->Start();
    Engine = std::make_unique<TPollEngine>(*Ctx, Port);
  }
  void TearDown() override {
    Engine.reset();
    Ctx.reset();
    fs::remove_all(Dir);
  }
  std::unique_ptr<TFaces> Attach(TFaceOverrides overrides = {}) {
    return std::make_unique<TFaces>(*Ctx, *Engine, std::move(overrides),
                                    [this](const TFaceMessage& m) { Said.push_back(m); });
  }
  std::string Hook() const {
    const fs::path script = Dir / "hook.sh";
    if (!fs::exists(script)) {
      std::FILE* f = std::fopen(script.c_str(), "w");
      std::fputs("#!/bin/sh\nexit 0\n", f);
      std::fclose(f);
      fs::permissions(script, fs::perms::owner_all);
    }
    return script.string();
  }

  fs::path Dir;
  TManualClock Clock{45000.5};
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Ctx;
  std::unique_ptr<TPollEngine> Engine;
  std::vector<TFaceMessage> Said;
};

}  // namespace

TEST_F(Faces, TheSettingsAndTheCommandLineChooseTheFaces) {
  const struct {
    const char* Name;
    std::string Nut, Web;
    bool Hook;
    TFaceOverrides Overrides;
    bool HasNut, HasWeb, HasHook;
  } cases[] = {
      {"nothing asked for", "", "", false, {}, false, false, false},
      {"all three in the settings", "127.0.0.1:0", "127.0.0.1:0", true, {}, true, true, true},
      {"the command line turns them off", "127.0.0.1:0", "127.0.0.1:0", false, {"", ""}, false, false, false},
      {"the command line turns them on", "", "", false, {"127.0.0.1:0", "127.0.0.1:0"}, true, true, false},
  };
  for (const auto& c : cases) {
    Ctx->Settings.NutListen = c.Nut;
    Ctx->Settings.WebListen = c.Web;
    Ctx->Settings.HookOnEvent = c.Hook ? Hook() : "";
    const auto faces = Attach(c.Overrides);
    EXPECT_EQ(faces->Find<TNutFace>() != nullptr, c.HasNut) << c.Name;
    EXPECT_EQ(faces->Find<TWebFace>() != nullptr, c.HasWeb) << c.Name;
    EXPECT_EQ(faces->Find<THookFace>() != nullptr, c.HasHook) << c.Name;
    EXPECT_FALSE(faces->Serves()) << c.Name << ": nothing listens before Start";
    EXPECT_TRUE(Said.empty()) << c.Name;
  }
}

TEST_F(Faces, AFaceThatCannotRunIsSaidAndLeftOut) {
  Ctx->Settings.HookOnEvent = (Dir / "missing.sh").string();
  Ctx->Settings.NutListen = "127.0.0.1:65536";  // no such port
  const auto faces = Attach();
  ASSERT_EQ(Said.size(), 1u);
  EXPECT_EQ(Said[0].Text.rfind("event hook " + (Dir / "missing.sh").string() + " not run: ", 0), 0u) << Said[0].Text;
  EXPECT_TRUE(Said[0].Lasting);
  EXPECT_EQ(faces->Find<THookFace>(), nullptr);

  faces->Start();
  ASSERT_EQ(Said.size(), 2u);
  EXPECT_EQ(Said[1].Text.rfind("network UPS server not started: ", 0), 0u) << Said[1].Text;
  EXPECT_FALSE(Said[1].Lasting);
  EXPECT_FALSE(faces->Serves());
  EXPECT_EQ(faces->ServeDueInMs(), -1);
  std::vector<pollfd> fds;
  faces->AppendPollFds(fds);
  EXPECT_TRUE(fds.empty());
}

TEST_F(Faces, StartedFacesAreServedAndTheHostMaySleepOnlyWhileNoHookIsBusy) {
  Ctx->Settings.NutListen = "127.0.0.1:0";
  Ctx->Settings.HookOnEvent = Hook();
  const auto faces = Attach();
  EXPECT_EQ(faces->IdleTicks(), TFace::NoWork);
  faces->Start();
  ASSERT_EQ(Said.size(), 1u);
  EXPECT_EQ(Said[0].Text.rfind("network UPS server listening on 127.0.0.1:", 0), 0u) << Said[0].Text;
  EXPECT_TRUE(faces->Serves());
  std::vector<pollfd> fds;
  faces->AppendPollFds(fds);
  EXPECT_FALSE(fds.empty());
  // A record starts a hook run: the host must tick until it is done.
  Ctx->EventLogger->LogProgramEvent(ProgEventStarted);
  EXPECT_EQ(faces->IdleTicks(), 0);
}

TEST_F(Faces, TheRootLeavesTheEngineAndTheEventLogAsItFoundThem) {
  Ctx->Settings.HookOnEvent = Hook();
  const size_t observers = Ctx->EventLogger->Observers.size();
  {
    const auto faces = Attach();
    EXPECT_EQ(Ctx->EventLogger->Observers.size(), observers + 1);
    EXPECT_TRUE(Engine->OnAnswerAccepted != nullptr);
  }
  EXPECT_EQ(Ctx->EventLogger->Observers.size(), observers);
  EXPECT_TRUE(Engine->OnAnswerAccepted == nullptr);
}
