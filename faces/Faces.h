#pragma once
// The composition root of a monitor: the engine on the program's port, and
// the faces the settings ask for attached to it. The daemon and the desktop
// both build theirs here and differ only in the loop that drives them.
// A new face is a file of its own and one line in Faces.cpp.

#include <memory>
#include <vector>

#include "engine/PollEngine.h"
#include "faces/Face.h"
#include "serial/BusPort.h"

namespace tessaro {

// The poll engine on the program's one port.
struct TProgramEngine {
  explicit TProgramEngine(TContext& context);
  TBusPort Port;
  TPollEngine Engine;
};

class TFaces {
 public:
  // Attaches every face the settings (and `overrides`) ask for. Call before
  // the engine starts, so the hooks see its opening record.
  TFaces(TContext& context, TPollEngine& engine, TFaceOverrides overrides, TFaceSay say);
  // Detaches them from the engine and the event log; hooks still running
  // are left to finish.
  ~TFaces();
  TFaces(const TFaces&) = delete;
  TFaces& operator=(const TFaces&) = delete;

  // The calls of TFace (faces/Face.h), for every face in turn.
  void Start();
  void Stop();
  void Tick();
  void Publish(int ticks);
  int IdleTicks() const;
  bool Serves() const;
  void AppendPollFds(std::vector<pollfd>& fds) const;
  int ServeDueInMs() const;
  void Serve();

  // The face of type T, or null when the settings left it off.
  template <class T>
  T* Find() const {
    for (const auto& face : FFaces)
      if (auto* found = dynamic_cast<T*>(face.get())) return found;
    return nullptr;
  }

 private:
  TFaceEnv FEnv;
  std::vector<std::unique_ptr<TFace>> FFaces;
};

}  // namespace tessaro
