#include "ui/widgets/InterfaceStyle.h"

#include <QApplication>
#include <QGroupBox>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>

namespace tessaro {

namespace {
// Some styles draw a group box's title in bold but measure it, and the room
// they give it, in the regular weight: the last letters are cut off.
int BoldTitleWidth(const QStyleOptionGroupBox& box, const QWidget* widget) {
  QFont bold = widget ? widget->font() : QApplication::font();
  bold.setBold(true);
  return QFontMetrics(bold).horizontalAdvance(box.text + QLatin1Char(' '));
}
}  // namespace

QRect TInterfaceStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                                      const QWidget* widget) const {
  QRect rect = QProxyStyle::subControlRect(control, option, sub, widget);
  const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
  if (control != CC_GroupBox || sub != SC_GroupBoxLabel || !box || box->text.isEmpty()) return rect;
  const int wanted = BoldTitleWidth(*box, widget);
  if (rect.width() < wanted) {
    if (box->textAlignment & Qt::AlignRight)
      rect.setLeft(rect.right() + 1 - wanted);
    else
      rect.setWidth(wanted);
  }
  return rect;
}

void FitGroupTitles(QWidget* root) {
  for (QGroupBox* g : root->findChildren<QGroupBox*>()) {
    g->setMinimumWidth(0);
    if (g->title().isEmpty()) continue;
    // The title's indent under the box's own style (a style sheet's title
    // rules included), measured on a box wide enough to show it whole.
    QStyleOptionGroupBox box;
    box.initFrom(g);
    box.text = g->title();
    box.textAlignment = Qt::AlignLeft;
    box.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    QFont bold = g->font();
    bold.setBold(true);
    const int title = QFontMetrics(bold).horizontalAdvance(box.text + QLatin1Char(' '));
    box.rect = QRect(0, 0, 4 * title + 100, std::max(100, g->height()));
    const QRect label = g->style()->subControlRect(QStyle::CC_GroupBox, &box, QStyle::SC_GroupBoxLabel, g);
    const int indent = std::max(0, label.left());
    g->setMinimumWidth(std::max(g->minimumSizeHint().width(), 2 * indent + std::max(title, label.width())));
  }
}

void UseInterfaceStyle(QApplication& app) {
  QStyle* base = QStyleFactory::create(app.style()->name());
  app.setStyle(new TInterfaceStyle(base));
}

}  // namespace tessaro
