#include "ui/logs/ViewerParts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>

#include "query/LogTable.h"
#include "ui/logs/LogTableModel.h"

namespace tessaro {

QSpinBox* MakeSpin(QWidget* parent, const char* name, int low, int high) {
  auto* s = new QSpinBox(parent);
  s->setObjectName(QString::fromLatin1(name));
  s->setRange(low, high);
  return s;
}

QPushButton* MakeButton(QWidget* parent, const char* name) {
  auto* b = new QPushButton(parent);
  b->setObjectName(QString::fromLatin1(name));
  return b;
}

TFilterFields BuildFilterFields(QWidget* parent, const char* yearName, const char* monthName, const char* dayName) {
  TFilterFields f;
  f.Layout = new QGridLayout;
  f.lblYear = new QLabel(parent);
  f.lblMonth = new QLabel(parent);
  f.lblDate = new QLabel(parent);
  f.Year = MakeSpin(parent, yearName, 2000, 2100);
  f.Month = MakeSpin(parent, monthName, 1, 12);
  f.Day = MakeSpin(parent, dayName, 1, 31);
  f.Layout->addWidget(f.Year, 0, 0);
  f.Layout->addWidget(f.lblYear, 0, 1);
  f.Layout->addWidget(f.Month, 0, 2);
  f.Layout->addWidget(f.lblMonth, 0, 3);
  f.Layout->addWidget(f.Day, 0, 4);
  f.Layout->addWidget(f.lblDate, 0, 5);
  f.CheckBox1 = new QCheckBox(parent);
  f.CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  f.SpinAddr = MakeSpin(parent, "SpinAddr", 1, 254);
  f.SpinAddr->setEnabled(false);
  f.Layout->addWidget(f.CheckBox1, 1, 0, 1, 4);
  f.Layout->addWidget(f.SpinAddr, 1, 4);
  QObject::connect(f.CheckBox1, &QCheckBox::toggled, f.SpinAddr, &QWidget::setEnabled);
  return f;
}

void TFilterFields::SetTexts(int language) {
  lblYear->setText(LangPick(language, "年", "Year"));
  lblMonth->setText(LangPick(language, "月", "Month"));
  lblDate->setText(LangPick(language, "日", "Date"));
  CheckBox1->setText(LangPick(language, "指定设备地址:", "Specify Equipment Address:"));
}

void TFilterFields::SetToday(TDateTime now) {
  const TDateParts today = DecodeDateTime(now);
  Year->setValue(today.Year);
  Month->setValue(today.Month);
  Day->setValue(today.Day);
}

QTableView* BuildGrid(QWidget* parent, const char* name, TLogTableModel* model) {
  auto* grid = new QTableView(parent);
  grid->setObjectName(QString::fromLatin1(name));
  grid->setModel(model);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->verticalHeader()->setVisible(false);
  grid->verticalHeader()->setDefaultSectionSize(20);
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid->horizontalHeader()->setSortIndicatorShown(true);
  return grid;
}

QLineEdit* BuildSortStateLine(QWidget* parent) {
  auto* edt1 = new QLineEdit(parent);
  edt1->setObjectName(QStringLiteral("edt1"));
  edt1->setReadOnly(true);
  edt1->hide();
  return edt1;
}

bool SortingButton() { return QGuiApplication::mouseButtons() & (Qt::LeftButton | Qt::MiddleButton); }

void PressSortColumn(uint8_t& sortCol, uint8_t& sortDir, int column) {
  if (sortCol == column)
    sortDir = sortDir == 0 ? 1 : 0;
  else
    sortCol = static_cast<uint8_t>(column);
}

void SortAndShow(TLogTable* table, TLogTableModel* model, QTableView* grid, QLineEdit* edt1, bool debugShow,
                 uint8_t sortCol, uint8_t sortDir) {
  if (table && sortCol < table->ColumnCount()) {
    table->Sort(sortCol, sortDir == 1);
    model->Reordered();
    grid->horizontalHeader()->setSortIndicator(sortCol, sortDir == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
  }
  edt1->setVisible(debugShow);
  if (debugShow)
    edt1->setText(QStringLiteral("FSortCol:%1    FSortDir: %2").arg(sortCol).arg(sortDir == 1 ? "DEC" : "ASC"));
}

}  // namespace tessaro
