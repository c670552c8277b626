#pragma once
// The platform's widget style with what it gets wrong for our texts put
// right: a group box's title gets the room it takes as it is drawn.

#include <QProxyStyle>

class QApplication;
class QWidget;

namespace tessaro {

class TInterfaceStyle final : public QProxyStyle {
  Q_OBJECT

 public:
  using QProxyStyle::QProxyStyle;

  QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                       const QWidget* widget) const override;
};

// Makes every group box under root wide enough for its title as drawn (in
// bold, after its indent); call after the titles change. Boxes measure their
// titles in the regular weight and style sheets leave the indent out.
void FitGroupTitles(QWidget* root);

// Gives the application that style, over the style it has now.
void UseInterfaceStyle(QApplication& app);

}  // namespace tessaro
