#pragma once

#include "app/Options.h"

namespace tessaro {

// Probes the addresses options.SearchFrom..SearchTo with the configured port
// and protocol, printing "found N" for each that answers, then a summary.
// Writes no file in the data directory. 0 when the search ran to its end.
int RunSearch(const TAppOptions& options);

}  // namespace tessaro
