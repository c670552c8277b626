#include "ui/logs/LogTableModel.h"

#include "ui/widgets/MsgBox.h"

namespace tessaro {

void TLogTableModel::SetTable(std::shared_ptr<TLogTable> table) {
  beginResetModel();
  FTable = std::move(table);
  endResetModel();
}

void TLogTableModel::Reordered() {
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int TLogTableModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !FTable) return 0;
  return static_cast<int>(std::min<size_t>(FTable->GridRows() - 1, INT32_MAX));
}

int TLogTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !FTable ? 0 : FTable->ColumnCount();
}

QVariant TLogTableModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !FTable || !index.isValid()) return {};
  const size_t row = static_cast<size_t>(index.row());
  if (row >= FTable->RowCount()) return QString();
  std::string text;
  FTable->AppendCell(row, index.column(), text);
  return QString::fromStdString(text);
}

QVariant TLogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || !FTable) return {};
  if (orientation == Qt::Vertical) return section + 1;
  return QString::fromStdString(FTable->Title(section));
}

bool AskWarningYesNo(QWidget* parent, const QString& caption, const QString& text) {
  if (Stopping()) return false;
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace tessaro
