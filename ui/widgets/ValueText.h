#pragma once
// A value text: black background, bold lime digits (right-aligned unless told
// otherwise), as used beside the gauges and under the load bars.

#include <QLabel>

namespace tessaro {

class TValueText : public QLabel {
  Q_OBJECT

 public:
  explicit TValueText(QWidget* parent = nullptr, Qt::Alignment alignment = Qt::AlignRight | Qt::AlignVCenter);
};

}  // namespace tessaro
