#include "ui/main/QtTexts.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLibraryInfo>

namespace tessaro {

TQtTexts::~TQtTexts() {
  if (FInstalled) QCoreApplication::removeTranslator(&FTranslator);
}

QString TQtTexts::CatalogueDir() { return QLibraryInfo::path(QLibraryInfo::TranslationsPath); }

bool TQtTexts::Apply(int language) {
  const bool wanted = language == 1;
  bool ok = true;
  bool changed = false;
  if (wanted && !FInstalled) {
    ok = FTranslator.load(QStringLiteral("qtbase_zh_CN"), CatalogueDir()) &&
         QCoreApplication::installTranslator(&FTranslator);
    FInstalled = ok;
    changed = ok;
  } else if (!wanted && FInstalled) {
    QCoreApplication::removeTranslator(&FTranslator);
    FInstalled = false;
    changed = true;
  }
  // Installing or removing a catalogue tells every window; otherwise it is
  // done here, as the program's own texts changed language all the same.
  if (!changed) {
    QEvent event(QEvent::LanguageChange);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &event);
  }
  return ok;
}

}  // namespace tessaro
