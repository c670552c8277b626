#pragma once
// The data log viewer: one month of the data log (optionally one day and one
// device) as a 15-column grid, every record shown however many there are.
// The month is read on a worker thread while a progress bar and Cancel show.

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>

#include "query/DataTable.h"
#include "ui/logs/ViewerParts.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableView;

namespace tessaro {

class TContext;
class TPollEngine;
class TfrmProgress;
class TLogTableModel;

class TFrmDataLog final : public QDialog {
  Q_OBJECT

 public:
  enum TViewMode : int { ModeMonth = 0, ModeDate = 1 };

  TFrmDataLog(TContext& context, TPollEngine& engine, TfrmProgress& progress, QWidget* parent = nullptr);

  // ---- operations
  void LoadDataRecords();
  void SortGrid();
  TRecFilter BuildFilter() const;

  // ---- event handlers
  void btnSearchClick() { LoadDataRecords(); }
  void btnRefreshClick() { LoadDataRecords(); }
  void bsSkinButton1Click();  // Export
  void bsSkinButton2Click();  // Log Setting
  void btnClearMonthDataClick();
  void rdDataViewModeClick();

  uint8_t SortCol() const { return FSortCol; }
  uint8_t SortDir() const { return FSortDir; }
  const std::shared_ptr<TDataTable>& Table() const { return FTable; }
  bool Loading() const { return FLoading; }

  // ---- components
  QGroupBox* rdDataViewMode;
  QButtonGroup* ViewModes;
  QRadioButton* rbMonth;
  QRadioButton* rbDate;
  QSpinBox* spedtYearD;
  QSpinBox* spedtMonthD;
  QSpinBox* spedtDateD;
  QCheckBox* CheckBox1;
  QSpinBox* SpinAddr;
  QPushButton* btnSearch;
  QPushButton* btnRefresh;
  QPushButton* bsSkinButton2;
  QPushButton* bsSkinButton1;
  QPushButton* btnClearMonthData;
  QTableView* grdRecData;
  QLineEdit* edt1;
  QProgressBar* pbLoad;
  QPushButton* btnCancelLoad;

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  void SetTexts();
  void CellPressed(int column);
  void ShowTable(std::shared_ptr<TDataTable> table);
  void SetBusy(bool busy);
  int Language() const;

  TContext& FCtx;
  TPollEngine& FEngine;
  TfrmProgress& FProgress;
  TFilterFields FFields;
  TLogTableModel* FModel;
  std::shared_ptr<TDataTable> FTable;
  uint8_t FSortCol = 0;
  uint8_t FSortDir = 0;
  bool FLoading = false;
  bool FCloseWhenLoaded = false;
  std::atomic<bool> FCancelLoad{false};
};

}  // namespace tessaro
