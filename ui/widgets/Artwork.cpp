#include "ui/widgets/Artwork.h"

#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

// Outside the namespace, as Q_INIT_RESOURCE requires: resources compiled into
// a static library must be registered by hand.
static void InitTessaroResources() { Q_INIT_RESOURCE(tessaro); }

namespace tessaro {

QPixmap AssetPixmap(const QString& name, int size) {
  static bool initialised = false;
  if (!initialised) {
    InitTessaroResources();
    initialised = true;
  }
  QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
  if (!renderer.isValid()) return {};
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  renderer.render(&p);
  return pixmap;
}

QIcon AssetIcon(const QString& name) {
  static QHash<QString, QIcon> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return *it;
  QIcon icon;
  for (int size : {16, 32, 64}) {
    const QPixmap pm = AssetPixmap(name, size);
    if (!pm.isNull()) icon.addPixmap(pm);
  }
  cache.insert(name, icon);
  return icon;
}

QIcon TreeIcon(int index) {
  static const char* const names[] = {"tree_lost", "tree_ok", "tree_alarm", "tree_page"};
  if (index < 0 || index > 3) return {};
  return AssetIcon(QString::fromLatin1(names[index]));
}

}  // namespace tessaro
