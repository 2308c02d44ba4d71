// kavlet-flash --list-ports: the ports of this machine (serial/PortList.h) as lines of text or
// JSON.
#pragma once

#include <string>
#include <vector>

#include "serial/PortList.h"

namespace flash {

// One line a port; "No serial ports found." when there is none.
std::string PortsText(const std::vector<PortEntry>& ports);
// One JSON object a line: {"event":"port","path":...}.
std::string PortsJson(const std::vector<PortEntry>& ports);

}  // namespace flash
