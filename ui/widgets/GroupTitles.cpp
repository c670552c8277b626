#include "ui/widgets/GroupTitles.h"

#include <QGroupBox>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <algorithm>

namespace tessaro {

void FitGroupTitles(QWidget* root) {
  for (QGroupBox* g : root->findChildren<QGroupBox*>()) {
    g->setMinimumWidth(0);
    if (g->title().isEmpty()) continue;
    QFont bold = g->font();
    bold.setBold(true);
    QStyleOptionGroupBox box;
    box.initFrom(g);
    box.text = g->title();
    box.textAlignment = Qt::AlignLeft;
    box.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    const int title = QFontMetrics(bold).horizontalAdvance(box.text + QLatin1Char(' '));
    // The indent under the box's own style (a style sheet's title rules
    // included), measured on a box wide enough to show the title whole.
    box.rect = QRect(0, 0, 4 * title + 100, std::max(100, g->height()));
    const QRect label = g->style()->subControlRect(QStyle::CC_GroupBox, &box, QStyle::SC_GroupBoxLabel, g);
    const int indent = std::max(0, label.left());
    g->setMinimumWidth(std::max(g->minimumSizeHint().width(), 2 * indent + std::max(title, label.width())));
  }
}

}  // namespace tessaro
