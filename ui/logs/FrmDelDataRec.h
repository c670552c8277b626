#pragma once
// Deletes one month of the data log: lists the month files of the Record
// directory (DataLog2008_12 for DataLog2008_12.dat) and deletes the chosen
// one after a confirmation. The program's current directory is left alone.

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QListWidget;
class QPushButton;

namespace tessaro {

class TFrmDelDataRec final : public QDialog {
  Q_OBJECT

 public:
  // `reload` runs after a deletion, so the viewer stops showing the month.
  TFrmDelDataRec(std::string recordDir, int language, std::function<void()> reload, QWidget* parent = nullptr);

  void ListMonths();
  void btnDeleteClick();
  // The question before deleting a list entry, naming its month.
  static QString Question(int language, const QString& entry);

  QListWidget* ListBox1;
  QPushButton* btnDelete;
  QLabel* lbl1;
  QLabel* lbl2;

 private:
  const std::string FRecordDir;
  const int FLanguage;
  std::function<void()> FReload;
};

}  // namespace tessaro
