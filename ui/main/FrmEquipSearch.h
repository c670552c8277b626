#pragma once
// The device search window: puts the poll engine into search mode, hands it
// one address after the other and lists the addresses that answered; the
// operator names the chosen ones and appends them to the device list. It
// never talks to the bus itself.

#include <QDialog>
#include <QString>

#include <cstdint>

class QGroupBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QCheckBox;

namespace tessaro {

class TContext;
class TPollEngine;

class TFrmEquipSearch : public QDialog {
  Q_OBJECT

 public:
  // Takes over the engine's search hooks until it is destroyed; a search
  // still running then is stopped.
  TFrmEquipSearch(TContext& context, TPollEngine& engine, QWidget* parent = nullptr);
  ~TFrmEquipSearch() override;

  // ---- engine hooks
  uint8_t NextSearchAddress();
  void DeviceFound(uint8_t address);

  // ---- event handlers
  void btnSearchClick();
  void btnSelect1Click();
  void btnSelectAllClick();
  void btnClearClick();
  void btnAddClick();
  void FormShow();

  uint8_t ScanAddr() const { return FScanAddr; }
  // Rows of grdAppend that hold a device (the last row is the input row).
  int DataRows() const;

  QGroupBox* GroupBox1;
  QGroupBox* GroupBox2;
  QLabel* Label2;
  QLabel* Label3;
  QSpinBox* seAddrS;
  QSpinBox* seAddrE;
  QPushButton* btnSearch;
  QProgressBar* PrgBarSearch;
  QLabel* txtFinished;
  QGroupBox* grpSearched;
  QListWidget* lstSearched;
  QPushButton* btnSelect1;
  QPushButton* btnSelectAll;
  QLabel* lbEdit;
  QTableWidget* grdAppend;
  QPushButton* btnClear;
  QPushButton* btnAdd;
  QGroupBox* grpExist;
  QListWidget* lstExist;
  QCheckBox* CheckBox1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  bool Searching() const;
  void UpdateControls();
  void ClearGrid();
  void AppendGridRow(int address);
  bool Configured(int address) const;
  void FillExisting();
  QString Txt(int index) const;

  TContext& FCtx;
  TPollEngine& FEngine;
  uint8_t FScanAddr = 0;
};

}  // namespace tessaro
