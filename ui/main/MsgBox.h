#pragma once
// The two kinds of message box of the windows: a note with an OK button and a
// question with Yes and No. Both carry the application title.

#include <QString>

class QWidget;

namespace tessaro {

void ShowMessage(QWidget* parent, const QString& text);
bool AskYesNo(QWidget* parent, const QString& text);

}  // namespace tessaro
