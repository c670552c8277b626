#pragma once
// The pictures of assets/ (drawn by us as SVG, compiled into the program):
// the four device tree icons and the tool-bar pictures.

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tessaro {

// 16 x 16 tree icon 0..3 (TTreeIcon).
QIcon TreeIcon(int index);
// A picture of assets/icons by base name ("tb_exit", "app"), rendered at 16,
// 32 and 64 pixels.
QIcon AssetIcon(const QString& name);
// One asset rendered at the given size; a null pixmap when it does not exist.
QPixmap AssetPixmap(const QString& name, int size);

}  // namespace tessaro
