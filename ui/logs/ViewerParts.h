#pragma once
// What the two log viewers share: the date and address fields, the grid,
// and the sorting on mouse presses with its debug line.

#include <qnamespace.h>

#include <cstdint>
#include <span>

#include "core/Clock.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class QWidget;

namespace tessaro {

class TLogTable;
class TLogTableModel;

QSpinBox* MakeSpin(QWidget* parent, const char* name, int low, int high);
QPushButton* MakeButton(QWidget* parent, const char* name);

// Year (2000-2100), month and day fields with their labels, and the address
// check box with its field (1-254, enabled only while the box is ticked).
struct TFilterFields {
  QLabel* lblYear;
  QLabel* lblMonth;
  QLabel* lblDate;
  QSpinBox* Year;
  QSpinBox* Month;
  QSpinBox* Day;
  QCheckBox* CheckBox1;
  QSpinBox* SpinAddr;
  QGridLayout* Layout;

  void SetTexts(int language);
  void SetToday(TDateTime now);
};
TFilterFields BuildFilterFields(QWidget* parent, const char* yearName, const char* monthName, const char* dayName);

// A read-only grid over the model: rows of one height (a month of a million
// rows is never measured), no row numbers, the sort indicator shown.
QTableView* BuildGrid(QWidget* parent, const char* name, TLogTableModel* model);
// The debug line showing the sort state; hidden unless DebugShow is set.
QLineEdit* BuildSortStateLine(QWidget* parent);

// Sizes every column to its title (with the sort arrow), the template of
// its widest usual value and the rows in sight, at the grid's font; never
// below least[column].
void FitColumns(QTableView* grid, std::span<const int> least, std::span<const char* const> widest = {});

// Puts the grid's sort arrow on `column` (-1: none); only this moves it.
void ShowSortIndicator(QTableView* grid, int column, Qt::SortOrder order);

// Left and middle presses sort; the right button does nothing.
bool SortingButton();
// A press on `column`: sort by it, or in the other direction when it already is the column.
void PressSortColumn(uint8_t& sortCol, uint8_t& sortDir, int column);
// Sorts the table when the column is valid, redraws the grid with its
// indicator and fills the debug line.
void SortAndShow(TLogTable* table, TLogTableModel* model, QTableView* grid, QLineEdit* edt1, bool debugShow,
                 uint8_t sortCol, uint8_t sortDir);

}  // namespace tessaro
