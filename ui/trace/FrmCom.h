#pragma once
// The trace window: the service engineer's view into the poll engine. Echo
// of every frame sent and received, manual sending with polling paused, line
// statistics, a dump of numbered debug registers, the data log countdown and
// the main window's debug overlay switch. English only. The engine stays
// where it is; this window only reads it, pauses it and sends through it.

#include <QString>
#include <QWidget>

#include <cstdint>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QGroupBox;
class QTableWidget;

namespace tessaro {

class TContext;
class TPollEngine;

class TFrmCom : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MemoLineCap = 400;

  explicit TFrmCom(TPollEngine& engine, QWidget* parent = nullptr);
  ~TFrmCom() override;

  // ---- engine hooks (while shown)
  void EchoTx(const uint8_t* bytes, int count);
  void EchoRx(const uint8_t* bytes, int count);
  void RefreshTrace();

  // ---- event handlers
  void rgSendModeClick(int index);  // 0 Auto, 1 Manual
  void btnMSendClick();
  void btnClrRxClick();
  void strGrdDbgDblClick();
  void FormActivate();

  // The line an echo adds: hexadecimal with `hex`, else the bytes as text.
  static QString EchoLine(const uint8_t* bytes, int count, bool hex);

  QGroupBox* rgSendMode;
  QRadioButton* rbAuto;
  QRadioButton* rbManual;
  QPlainTextEdit* MemoTx;
  QPlainTextEdit* MemoRx;
  QCheckBox* CheckBox2;  // send echo in hexadecimal
  QCheckBox* checkbox1;  // receive echo in hexadecimal
  QLineEdit* edtTx;
  QPushButton* btnMSend;
  QPushButton* btnClrRx;
  QLabel* lb_CommInfo;
  QLabel* lb_CommErr;
  QLineEdit* edtReCnt;
  QTableWidget* strGrdDbg;
  QLineEdit* medtAddr;
  QCheckBox* chkHex;
  QCheckBox* chkDbgShow;
  QLineEdit* edtRecDly;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static void Echo(QPlainTextEdit* memo, const QString& line);

  TPollEngine& FEngine;
  TContext& FCtx;
};

}  // namespace tessaro
