#pragma once
// ExportGridToCsv of the main window, used by both log viewers: the save
// dialog (with the choice of encoding), then the export on a worker thread
// while the progress window shows how far it got and offers Cancel.

#include <QString>

#include <memory>
#include <string>

#include "query/CsvExport.h"

class QWidget;

namespace tessaro {

class TfrmProgress;

// The save dialog's two choices; GBK, the program's own code page, first.
QString CsvFilterGbk();
QString CsvFilterUtf8();

// Asks for a file name and writes the grid. Nothing happens when the
// operator cancels the dialog.
void ExportGridToCsv(QWidget* parent, std::shared_ptr<const TLogTable> table, int language, TfrmProgress& progress);

// Writes the grid to `path` without asking. The event loop runs meanwhile;
// a failure closes the progress window and shows the reason in a box.
TExportResult WriteGridCsv(QWidget* parent, std::shared_ptr<const TLogTable> table, const std::string& path,
                           TCsvEncoding encoding, int language, TfrmProgress& progress);

}  // namespace tessaro
