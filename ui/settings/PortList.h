#pragma once
// The serial ports this machine has, for the port list of the settings dialog.

#include <string>
#include <vector>

namespace tessaro {

struct TPortEntry {
  std::string Name;   // what ComName holds
  std::string Label;  // what the list shows
};

// devDir/serial/by-id/* (labelled with their id and the device they point
// to), then the devDir/ttyUSB*, ttyACM* and ttyS* that exist, each group in
// natural order (ttyS2 before ttyS10).
std::vector<TPortEntry> MachinePorts(const std::string& devDir = "/dev");

}  // namespace tessaro
