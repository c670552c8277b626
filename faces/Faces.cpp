#include "faces/Faces.h"

#include <algorithm>

#include "faces/HookFace.h"
#include "faces/MqttFace.h"
#include "faces/NutFace.h"
#include "faces/ShutdownFace.h"
#include "faces/TestFace.h"
#include "faces/WebFace.h"

namespace tessaro {

TProgramEngine::TProgramEngine(TContext& context) : Engine(context, Port) { ConfigureProgramPort(Port.Serial()); }

TFaces::TFaces(TContext& context, TPollEngine& engine, TFaceOverrides overrides, TFaceSay say)
    : FEnv{context, engine, std::move(overrides), std::move(say), std::make_shared<TFaceShared>()} {
  // Each maker returns null when the settings leave its face off. Hooks come
  // first: their failures at start are said before the listeners'.
  for (const auto make : {MakeHookFace, MakeShutdownFace, MakeTestFace, MakeNutFace, MakeWebFace, MakeMqttFace})
    if (std::unique_ptr<TFace> face = make(FEnv)) FFaces.push_back(std::move(face));
  engine.OnAnswerAccepted = [this](uint8_t address) {
    for (const auto& face : FFaces) face->AnswerAccepted(address);
  };
}

TFaces::~TFaces() { FEnv.Engine.OnAnswerAccepted = nullptr; }

void TFaces::Start() {
  for (const auto& face : FFaces) face->Start();
}

void TFaces::Stop() {
  for (const auto& face : FFaces) face->Stop();
}

void TFaces::Tick() {
  for (const auto& face : FFaces) face->Tick();
}

void TFaces::Publish(int ticks) {
  for (const auto& face : FFaces) face->Publish(ticks);
}

int TFaces::IdleTicks() const {
  int idle = TFace::NoWork;
  for (const auto& face : FFaces) idle = std::min(idle, face->IdleTicks());
  return idle;
}

bool TFaces::Serves() const {
  return std::any_of(FFaces.begin(), FFaces.end(), [](const auto& face) { return face->Serves(); });
}

void TFaces::AppendPollFds(std::vector<pollfd>& fds) const {
  for (const auto& face : FFaces)
    if (face->Serves()) face->AppendPollFds(fds);
}

int TFaces::ServeDueInMs() const {
  int due = -1;
  for (const auto& face : FFaces) {
    const int next = face->Serves() ? face->ServeDueInMs() : -1;
    if (next >= 0) due = due < 0 ? next : std::min(due, next);
  }
  return due;
}

void TFaces::Serve() {
  for (const auto& face : FFaces)
    if (face->Serves()) face->Serve();
}

}  // namespace tessaro
