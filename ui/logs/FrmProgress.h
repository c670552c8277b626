#pragma once
// The export's progress window: a small stay-on-top window centred on the
// main window, created once and reused, with a Cancel button.

#include <QDialog>

#include <atomic>
#include <cstdint>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tessaro {

class TfrmProgress final : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmProgress(QWidget* mainWindow);

  // Position limited to the maximum; the label reads "Remitting......" in
  // the language, the count field shows the position.
  void ShowProgress(int64_t position, int64_t maximum, int language);
  // True once Cancel was pressed since the last Begin.
  bool CancelRequested() const { return FCancel.load(); }
  void Begin() { FCancel = false; }

  QLabel* lblText;
  QProgressBar* ProgressBar1;
  QLineEdit* edtCount;
  QPushButton* btnCancel;

 protected:
  void reject() override;  // Esc or the close box: cancel, as the button does

 private:
  std::atomic<bool> FCancel{false};
};

}  // namespace tessaro
