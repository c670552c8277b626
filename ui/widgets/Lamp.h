#pragma once
// A round activity lamp: its colour when lit, a dark shade of it when out.

#include <QColor>
#include <QWidget>

namespace tessaro {

class TLamp : public QWidget {
  Q_OBJECT

 public:
  explicit TLamp(const QColor& color, QWidget* parent = nullptr);

  void SetLit(bool lit);
  bool IsLit() const { return FLit; }
  QColor Color() const { return FColor; }

  QSize sizeHint() const override { return {17, 17}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor FColor;
  bool FLit = false;
};

}  // namespace tessaro
