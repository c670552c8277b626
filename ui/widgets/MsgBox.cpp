#include "ui/widgets/MsgBox.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QMessageBox>

namespace tessaro {

namespace {
const QString Title = QStringLiteral("Tessaro");
const char* const StoppingProperty = "tessaroStopping";
}  // namespace

void MarkStopping() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->setProperty(StoppingProperty, true);
}

bool Stopping() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && app->property(StoppingProperty).toBool();
}

void ShowMessage(QWidget* parent, const QString& text) {
  // Once the program is asked to stop, no new box may hold it up.
  if (Stopping()) return;
  QMessageBox box(QMessageBox::Information, Title, text, QMessageBox::Ok, parent);
  box.exec();
}

void CentreOnScreen(QWidget* dialog) {
  const QWidget* parent = dialog->parentWidget();
  const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  // Moving it beforehand keeps the dialog from being centred on its parent when shown.
  dialog->move(screen->availableGeometry().center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}

bool AskYesNo(QWidget* parent, const QString& text) {
  if (Stopping()) return false;
  QMessageBox box(QMessageBox::Question, Title, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace tessaro
