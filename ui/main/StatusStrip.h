#pragma once
// The four panels of the main window's status bar: the port, the word on
// polling or the log stores, the version and the clock.

#include <QString>

#include <array>

class QLabel;
class QStatusBar;

namespace tessaro {

class TStatusStrip {
 public:
  explicit TStatusStrip(QStatusBar* bar);

  // The port's state; with a reason (why it is closed, a setting that stops
  // polling) the reason follows, cut to the panel, and shows in full on hover.
  void ShowPort(const QString& text, const QString& reason = {}, bool warn = false);
  // Polling held by the trace window stands out; a word on the log stores
  // shows in full on hover.
  void ShowMiddle(const QString& text, bool paused);
  void ShowVersion(const QString& text);
  void ShowClock(const QString& text);

  QLabel* Panel(int index) const { return StatusPanel[static_cast<size_t>(index)]; }

 private:
  std::array<QLabel*, 4> StatusPanel{};
};

}  // namespace tessaro
