#pragma once
// The event log viewer: the event log as a four-column grid (index, time,
// address, event), filtered by date and device, sorted by any column,
// exported to CSV and cleared with a backup. One instance for the whole
// run; closing only hides it. Reloads within two seconds of a new event.

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

#include "query/EventTable.h"
#include "ui/logs/ViewerParts.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableView;

namespace tessaro {

class TContext;
class TfrmProgress;
class TLogTableModel;

class TFrmEventLog final : public QWidget {
  Q_OBJECT

 public:
  enum TViewMode : int { ModeAll = 0, ModeYear = 1, ModeMonth = 2, ModeDate = 3 };

  TFrmEventLog(TContext& context, TfrmProgress& progress, QWidget* mainWindow);

  // ---- operations
  void LoadEvents();
  void SortGrid();
  void SetTexts();
  void Timer1Timer();

  // ---- event handlers
  void btnSearchClick() { LoadEvents(); }
  void bsSkinButton1Click() { SortGrid(); }  // Refresh: sorts again, no reload
  void bsSkinButton2Click();                 // Export
  void btnClearClick();
  void rdViewModeClick();

  // ---- state
  uint8_t SortCol() const { return FSortCol; }
  uint8_t SortDir() const { return FSortDir; }
  int32_t SelRow() const { return FSelRow; }
  const std::shared_ptr<TEventTable>& Table() const { return FTable; }

  // ---- components
  QGroupBox* rdViewMode;
  QButtonGroup* ViewModes;
  QRadioButton* rbMode[4];
  QSpinBox* spedtYear;
  QSpinBox* spedtMonth;
  QSpinBox* spedtDate;
  QCheckBox* CheckBox1;
  QSpinBox* SpinAddr;
  QPushButton* btnSearch;
  QPushButton* bsSkinButton1;
  QPushButton* bsSkinButton2;
  QPushButton* btnClear;
  QTableView* grdEvntRec;
  QLineEdit* edt1;
  QTimer Timer1;

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void HeaderPressed(int column);
  void CellPressed(int row);
  void ShowTable(std::shared_ptr<TEventTable> table);
  int Language() const;

  TContext& FCtx;
  TfrmProgress& FProgress;
  TFilterFields FFields;
  TLogTableModel* FModel;
  std::shared_ptr<TEventTable> FTable;
  uint8_t FSortCol = 0;
  uint8_t FSortDir = 0;
  int32_t FSelRow = 0;
  bool FExporting = false;
};

}  // namespace tessaro
