#pragma once
// A grid of the log viewers as a Qt table model over a TLogTable: no widget
// and no stored string per cell; a row is formatted when it is drawn. The
// model shows the grid's empty rows below the records too.

#include <QAbstractTableModel>
#include <QMessageBox>
#include <QString>

#include <memory>

#include "query/LogTable.h"

class QWidget;

namespace tessaro {

class TLogTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TLogTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Shows `table` (which the model then shares); nullptr shows nothing.
  void SetTable(std::shared_ptr<TLogTable> table);
  const std::shared_ptr<TLogTable>& Table() const { return FTable; }
  // After the table's order changed.
  void Reordered();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::shared_ptr<TLogTable> FTable;
};

// Chinese when language is 1, English otherwise.
inline QString LangPick(int language, const char* chinese, const char* english) {
  return QString::fromUtf8(language == 1 ? chinese : english);
}

// A warning with Yes and No, No the default; true for Yes. Answers No at
// once when the program is stopping.
bool AskWarningYesNo(QWidget* parent, const QString& caption, const QString& text);

}  // namespace tessaro
