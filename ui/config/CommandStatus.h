#pragma once
// What the windows that send writes share: the question before a command
// goes out, and a line that says "queued" at once and then what became of it.

#include <QLabel>

#include <cstdint>

#include "engine/CommandTracker.h"
#include "ui/config/ControlHost.h"

namespace tessaro {

class TCommandStatus : public QLabel {
  Q_OBJECT

 public:
  TCommandStatus(TContext& context, QWidget* parent = nullptr);
  ~TCommandStatus() override;

  // Follows command `id` from now on: its state now, then its outcome.
  void Track(uint32_t id, int language);

 private:
  void Show(const TTrackedCommand& command);
  TContext& FCtx;
  int FToken = 0;
  uint32_t FId = 0;
  int FLanguage = 0;
};

// A window's title with the device it works on: "Data Set - UPS "name" (address 5)".
QString TitleWithDevice(const TContext& ctx, const QString& title, uint8_t addr, int language);

// Checks the request, asks whether to send it (naming the device and what the
// command does, No the default) and queues it. The id, or 0 when it was
// refused (said in a box) or the answer was No.
uint32_t AskAndQueue(QWidget* parent, const TControlHost& host, const TCommandRequest& request, int language);

}  // namespace tessaro
