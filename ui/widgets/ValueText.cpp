#include "ui/widgets/ValueText.h"

namespace tessaro {

TValueText::TValueText(QWidget* parent, Qt::Alignment alignment) : QLabel(parent) {
  setAlignment(alignment);
  setAutoFillBackground(true);
  setStyleSheet(QStringLiteral(
      "QLabel { background: #000000; color: #00ff00; font-weight: bold; font-size: 14px;"
      " border: 1px solid #3a4048; border-radius: 3px; padding: 0px 5px; }"));
  setMinimumHeight(20);
}

}  // namespace tessaro
