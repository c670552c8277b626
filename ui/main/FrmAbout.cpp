#include "ui/main/FrmAbout.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/main/LangTable.h"
#include "ui/widgets/MsgBox.h"
#include "ui/widgets/Artwork.h"

namespace tessaro {

TFrmAbout::TFrmAbout(int language, const QString& version, std::function<void()> openTrace,
                     std::function<void()> hideTrace, QWidget* parent)
    : QDialog(parent), FOpenTrace(std::move(openTrace)), FHideTrace(std::move(hideTrace)) {
  setObjectName(QStringLiteral("FrmAbout"));
  // A title bar without buttons of its own
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedSize(415, 217);
  CentreOnScreen(this);
  setWindowTitle(LangText(TTextId::AboutCaption, language));

  auto* icon = new QLabel(this);
  icon->setPixmap(AssetPixmap(QStringLiteral("app"), 64));
  icon->setAlignment(Qt::AlignCenter);
  bsSkinStdLabel2 = new QLabel(this);
  bsSkinStdLabel2->setObjectName(QStringLiteral("bsSkinStdLabel2"));
  bsSkinStdLabel2->setAlignment(Qt::AlignCenter);
  bsSkinStdLabel2->setText(LangText(TTextId::AboutTitleLine, language) + QLatin1Char(' ') +
                            LangText(TTextId::VersionPrefix, language) + version);
  bsSkinStdLabel2->setStyleSheet(QStringLiteral("font-size: 15px; font-weight: bold; color: #e8eef4;"));
  bsSkinStdLabel2->installEventFilter(this);
  auto* product = new QLabel(QStringLiteral("Tessaro"), this);
  product->setAlignment(Qt::AlignCenter);
  product->setStyleSheet(QStringLiteral("font-size: 12px; color: #8fa3b5; letter-spacing: 2px;"));
  lb1 = new QLabel(this);
  lb1->setObjectName(QStringLiteral("lb1"));
  lb1->setAlignment(Qt::AlignRight | Qt::AlignBottom);
  lb1->setStyleSheet(QStringLiteral("font-size: 10px; color: #8fa3b5;"));
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setMaxLength(MaxDigits + 1);
  Edit1->hide();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 18, 10, 6);
  layout->addWidget(icon);
  layout->addSpacing(6);
  layout->addWidget(bsSkinStdLabel2);
  layout->addWidget(product);
  layout->addStretch();
  layout->addWidget(lb1);
  setFocusPolicy(Qt::StrongFocus);
}

void TFrmAbout::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QLinearGradient g(0, 0, 0, height());
  g.setColorAt(0, QColor(0x2a, 0x3a, 0x4c));
  g.setColorAt(1, QColor(0x0f, 0x17, 0x20));
  p.fillRect(rect(), g);
  p.setPen(QColor(0x00, 0xc8, 0x00));
  p.drawLine(24, height() - 40, width() - 24, height() - 40);
}

bool TFrmAbout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == bsSkinStdLabel2 && event->type() == QEvent::MouseButtonDblClick) {
    bsSkinStdLabel2DblClick();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TFrmAbout::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    FormKeyPress(QChar(27));
    return;
  }
  const QString text = event->text();
  if (text.isEmpty()) {
    QDialog::keyPressEvent(event);
    return;
  }
  for (QChar c : text) FormKeyPress(c);
}

void TFrmAbout::FormKeyPress(QChar key) {
  if (key.unicode() == 27) {
    close();
    return;
  }
  if (key < QLatin1Char('0') || key > QLatin1Char('9')) {
    Edit1->clear();
    if (FHideTrace) FHideTrace();
    return;
  }
  QString buffer = Edit1->text() + key;
  if (buffer.size() > MaxDigits) buffer.clear();
  Edit1->setText(buffer);
  if (buffer == QLatin1String(DigitCode)) OpenTrace();
}

void TFrmAbout::bsSkinStdLabel2DblClick() {
  ++FDblClickCount;
  lb1->setVisible(true);
  lb1->setText(QString::number(FDblClickCount));
  if (FDblClickCount > 3) OpenTrace();
}

void TFrmAbout::OpenTrace() {
  Edit1->clear();
  FDblClickCount = 0;
  if (FOpenTrace) FOpenTrace();
  close();
}

void TFrmAbout::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange) {
    if (isActiveWindow()) {
      FWasActive = true;
      lb1->clear();
    } else if (FWasActive && isVisible()) {
      // Another window took the focus: the box goes away.
      close();
    }
  }
  QDialog::changeEvent(event);
}

void TFrmAbout::FormClose() {
  Edit1->clear();
  FDblClickCount = 0;
}

void TFrmAbout::closeEvent(QCloseEvent* event) {
  FormClose();
  QDialog::closeEvent(event);
}

void TFrmAbout::done(int result) {
  FormClose();
  QDialog::done(result);
}

}  // namespace tessaro
