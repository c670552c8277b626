#pragma once
// A value box: a coloured title bar holding the caption (centred), over a black
// body with the value in bold lime, right-aligned in its field, and the unit
// text beside it.

#include <QColor>
#include <QString>
#include <QWidget>

namespace tessaro {

class TValueBox : public QWidget {
  Q_OBJECT
  // The texts it paints.
  Q_PROPERTY(QString Caption READ Caption)
  Q_PROPERTY(QString ValueText READ ValueText)
  Q_PROPERTY(QString Unit READ Unit)

 public:
  explicit TValueBox(QWidget* parent = nullptr);

  void SetCaption(const QString& caption);
  void SetValueText(const QString& text);
  void SetUnit(const QString& unit);
  void SetTitleColor(const QColor& color);

  QString Caption() const { return FCaption; }
  QString ValueText() const { return FValue; }
  QString Unit() const { return FUnit; }

  QSize sizeHint() const override { return {150, 58}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString FCaption;
  QString FValue = QStringLiteral("0");
  QString FUnit;
  QColor FTitleColor = QColor(0x1d, 0x5f, 0x8a);
};

}  // namespace tessaro
