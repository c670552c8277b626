#pragma once
// The platform's widget style with what it gets wrong for our texts put
// right: a group box is made wide enough for its title as it is drawn.

#include <QProxyStyle>

class QApplication;

namespace tessaro {

class TInterfaceStyle final : public QProxyStyle {
  Q_OBJECT

 public:
  using QProxyStyle::QProxyStyle;

  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;
};

// Gives the application that style, over the style it has now.
void UseInterfaceStyle(QApplication& app);

}  // namespace tessaro
