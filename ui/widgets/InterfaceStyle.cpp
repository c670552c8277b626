#include "ui/widgets/InterfaceStyle.h"

#include <QApplication>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>

namespace tessaro {

QSize TInterfaceStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                        const QWidget* widget) const {
  QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
  const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
  if (type != CT_GroupBox || !box || box->text.isEmpty()) return result;
  // The box measures its title in the regular weight, but the title is drawn
  // in bold, so a box narrower than its bold title cut it off.
  QFont bold = widget ? widget->font() : QApplication::font();
  bold.setBold(true);
  const QRect label = subControlRect(CC_GroupBox, box, SC_GroupBoxLabel, widget);
  const int indent = std::max(0, label.left() - box->rect.left());
  const int title = QFontMetrics(bold).horizontalAdvance(box->text + QLatin1Char(' '));
  result.setWidth(std::max(result.width(), 2 * indent + title));
  return result;
}

void UseInterfaceStyle(QApplication& app) {
  QStyle* base = QStyleFactory::create(app.style()->name());
  app.setStyle(new TInterfaceStyle(base));
}

}  // namespace tessaro
