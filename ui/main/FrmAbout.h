#pragma once
// The About box: the program's title and version. Typing the digit code, or
// double-clicking the title line four times, opens the trace window.

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;

namespace tessaro {

class TFrmAbout : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* DigitCode = "52719304";
  static constexpr int MaxDigits = 10;

  // openTrace brings up the trace window, hideTrace hides it if it exists.
  TFrmAbout(int language, const QString& version, std::function<void()> openTrace, std::function<void()> hideTrace,
            QWidget* parent = nullptr);

  QLabel* bsSkinStdLabel2;  // title line
  QLabel* lb1;              // double-click counter
  QLineEdit* Edit1;         // hidden digit buffer

  int DblClickCount() const { return FDblClickCount; }

  void FormKeyPress(QChar key);
  void bsSkinStdLabel2DblClick();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void OpenTrace();
  void FormClose();

  std::function<void()> FOpenTrace;
  std::function<void()> FHideTrace;
  int FDblClickCount = 0;
  bool FWasActive = false;
};

}  // namespace tessaro
