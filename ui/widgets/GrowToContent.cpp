#include "ui/widgets/GrowToContent.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLayout>
#include <QWidget>

#include <algorithm>

namespace tessaro {

void GrowToContent(QWidget* window) {
  QLayout* layout = window->layout();
  // Before it is shown, showing sizes it to its content.
  if (!layout || !window->isVisible()) return;
  layout->invalidate();
  layout->activate();
  const int width = std::max({window->width(), window->minimumWidth(), layout->minimumSize().width()});
  // A wrapped label needs its height at the width it has; the plain minimum
  // size knows nothing of that, and so would let the window clip it.
  const int height = std::max(layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : 0,
                              layout->totalMinimumSize().height());
  window->setMinimumHeight(height);
  if (window->width() < width || window->height() < height)
    window->resize(std::max(window->width(), width), std::max(window->height(), height));
}

void HoldTitle(QWidget* window) {
  // The title bar's font is the window manager's; the application's title
  // font stands in for it, with room for the icon and three buttons.
  const QFontMetrics metrics(QApplication::font());
  constexpr int titleBarButtons = 150;
  const int needed = metrics.horizontalAdvance(window->windowTitle()) + titleBarButtons;
  if (window->minimumWidth() < needed) window->setMinimumWidth(needed);
}

}  // namespace tessaro
