#pragma once
// A coloured stretch of a scale (gauge arcs, LED bars).

#include <QColor>

namespace tessaro {

struct TColorSection {
  double From;
  double To;
  QColor Color;
};

}  // namespace tessaro
