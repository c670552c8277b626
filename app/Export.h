#pragma once

#include "app/Options.h"

namespace tessaro {

// --export-events / --export-data: the viewer's grid written as CSV, without
// windows. 0 on success; 1 with the reason on stderr, leaving no file.
int RunExport(const TAppOptions& options);

}  // namespace tessaro
