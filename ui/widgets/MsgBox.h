#pragma once
// The two kinds of message box of the windows: a note with an OK button and a
// question with Yes and No. Both carry the application title.

#include <QString>

class QWidget;

namespace tessaro {

// Both return at once (AskYesNo with No) once MarkStopping was called.
void ShowMessage(QWidget* parent, const QString& text);
bool AskYesNo(QWidget* parent, const QString& text);

// Places a dialog in the middle of its screen rather than over its parent.
void CentreOnScreen(QWidget* dialog);

// The program was told to stop (a signal): boxes no longer wait for anyone.
void MarkStopping();
bool Stopping();

}  // namespace tessaro
