#include "ui/logs/ViewerParts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTableView>

#include "query/LogTable.h"
#include "ui/logs/LogTableModel.h"

namespace tessaro {

namespace {
const char* const SortSection = "tessaroSortSection";
const char* const SortOrder = "tessaroSortOrder";
}  // namespace

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
  QHeaderView* h = grid->horizontalHeader();
  h->setSortIndicatorShown(true);
  // The viewers sort on the press; the header would turn the arrow round
  // again on the release. The arrow shows the rows' order, nothing else.
  QObject::connect(h, &QHeaderView::sortIndicatorChanged, h, [h](int section, Qt::SortOrder order) {
    const QVariant wanted = h->property(SortSection);
    if (!wanted.isValid()) return;
    const auto wantedOrder = static_cast<Qt::SortOrder>(h->property(SortOrder).toInt());
    if (section != wanted.toInt() || order != wantedOrder) h->setSortIndicator(wanted.toInt(), wantedOrder);
  });
  ShowSortIndicator(grid, -1, Qt::AscendingOrder);
  return grid;
}

QLineEdit* BuildSortStateLine(QWidget* parent) {
  auto* edt1 = new QLineEdit(parent);
  edt1->setObjectName(QStringLiteral("edt1"));
  edt1->setReadOnly(true);
  edt1->hide();
  return edt1;
}

void ShowSortIndicator(QTableView* grid, int column, Qt::SortOrder order) {
  QHeaderView* h = grid->horizontalHeader();
  h->setProperty(SortSection, column);
  h->setProperty(SortOrder, static_cast<int>(order));
  h->setSortIndicator(column, order);
}

void FitColumns(QTableView* grid, std::span<const int> least, std::span<const char* const> widest) {
  QHeaderView* h = grid->horizontalHeader();
  // The cell's own margins, as the item delegate draws it.
  const int margin = 2 * (grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1) + 2;
  const int columns = grid->model() ? grid->model()->columnCount() : 0;
  for (int c = 0; c < columns; ++c) {
    int width = c < static_cast<int>(least.size()) ? least[c] : 0;
    width = std::max(width, h->sectionSizeHint(c));
    if (c < static_cast<int>(widest.size()) && widest[c])
      width = std::max(width, grid->fontMetrics().horizontalAdvance(QString::fromUtf8(widest[c])) + margin);
    grid->resizeColumnToContents(c);  // the title and the rows in sight
    grid->setColumnWidth(c, std::max(width, grid->columnWidth(c)));
  }
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
    ShowSortIndicator(grid, sortCol, sortDir == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
  }
  edt1->setVisible(debugShow);
  if (debugShow)
    edt1->setText(QStringLiteral("FSortCol:%1    FSortDir: %2").arg(sortCol).arg(sortDir == 1 ? "DEC" : "ASC"));
}

}  // namespace tessaro
