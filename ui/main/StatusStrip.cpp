#include "ui/main/StatusStrip.h"

#include <QLabel>
#include <QStatusBar>

namespace tessaro {

TStatusStrip::TStatusStrip(QStatusBar* bar) {
  bar->setSizeGripEnabled(false);
  const int widths[4] = {180, 272, 232, 174};
  for (int i = 0; i < 4; ++i) {
    StatusPanel[i] = new QLabel(bar);
    StatusPanel[i]->setAlignment(Qt::AlignCenter);
    StatusPanel[i]->setFixedWidth(widths[i]);
    bar->addWidget(StatusPanel[i]);
  }
}

void TStatusStrip::ShowPort(const QString& text) { StatusPanel[0]->setText(text); }

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
