#pragma once
// What the add-device and the property dialogs share: a name row, an
// address row and the button row, their texts, and the operator's word on a
// name the list cannot take or a list file that could not be written.

#include <QString>

#include <optional>
#include <system_error>

#include "core/DeviceName.h"
#include "ui/main/LangTable.h"

class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace tessaro {

struct TNameForm {
  // Lays the rows out on `dialog`; Cancel rejects it. `acceptName` is the
  // object name of the accepting button.
  TNameForm(QDialog* dialog, const char* acceptName);
  void SetTexts(TTextId caption, TTextId acceptText, int language) const;

  QDialog* Dialog;
  QLabel* NameLabel;
  QLineEdit* Name;
  QLabel* AddressLabel;
  QComboBox* Address;
  QPushButton* Accept;
  QPushButton* Cancel;
};

// The text telling what is wrong with a name; none for a good one.
std::optional<TTextId> NameProblem(TNameCheck check, TTextId emptyText);
// The device list file could not be written.
void ReportSaveFailure(QWidget* parent, int language, const std::system_error& error);

}  // namespace tessaro
