#include "ui/main/StatusStrip.h"

#include <QLabel>
#include <QStatusBar>

#include <algorithm>

namespace tessaro {

TStatusStrip::TStatusStrip(QStatusBar* bar) {
  bar->setSizeGripEnabled(false);
  const int widths[4] = {180, 272, 232, 174};
  for (int i = 0; i < 4; ++i) {
    StatusPanel[i] = new QLabel(bar);
    StatusPanel[i]->setAlignment(Qt::AlignCenter);
    // The port's panel takes the room left: it may have a reason to tell.
    if (i == 0)
      StatusPanel[i]->setMinimumWidth(widths[i]);
    else
      StatusPanel[i]->setFixedWidth(widths[i]);
    bar->addWidget(StatusPanel[i], i == 0 ? 1 : 0);
  }
}

void TStatusStrip::ShowPort(const QString& text, const QString& reason, bool warn) {
  QLabel* panel = StatusPanel[0];
  const QString full = reason.isEmpty() ? text : text + reason;
  if (panel->toolTip() == full && !full.isEmpty()) return;
  const int room = panel->contentsRect().width() - 8;  // the style's padding
  panel->setText(panel->fontMetrics().elidedText(full, Qt::ElideRight, std::max(room, 40)));
  panel->setToolTip(full);
  panel->setStyleSheet(warn ? QStringLiteral("QLabel { color: #b3261e; }") : QString());
}

void TStatusStrip::ShowMiddle(const QString& text, bool paused) {
  QLabel* panel = StatusPanel[1];
  if (panel->text() == text) return;
  panel->setText(text);
  panel->setToolTip(text);
  panel->setStyleSheet(paused ? QStringLiteral("QLabel { color: #b34700; font-weight: bold; }") : QString());
}

void TStatusStrip::ShowVersion(const QString& text) { StatusPanel[2]->setText(text); }

void TStatusStrip::ShowClock(const QString& text) { StatusPanel[3]->setText(text); }

}  // namespace tessaro
