#pragma once
// Qt's own texts (the buttons of every question, the file dialogs) in the
// program's language: Debian's qtbase catalogue, switched at run time.

#include <QObject>
#include <QTranslator>

namespace tessaro {

class TQtTexts final : public QObject {
  Q_OBJECT

 public:
  explicit TQtTexts(QObject* parent = nullptr) : QObject(parent) {}
  ~TQtTexts() override;

  // Installs the Chinese catalogue for language 1 and removes it for any
  // other. Every window is then sent a LanguageChange event, also when no
  // catalogue changed (the program's own texts did). False when Chinese is
  // asked for and the catalogue cannot be loaded: Qt's texts stay English.
  bool Apply(int language);
  bool Installed() const { return FInstalled; }

  // Where the catalogue is looked for: Qt's translations directory.
  static QString CatalogueDir();

 private:
  QTranslator FTranslator;
  bool FInstalled = false;
};

}  // namespace tessaro
