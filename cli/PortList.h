// The serial ports of this machine, as kavlet-flash --list-ports shows them: read from the
// device folder and sysfs only, never by opening a device.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace flash {

// Where the device folder and sysfs are; tests give a fake tree.
struct PortRoots {
    std::filesystem::path dev = "/dev";
    std::filesystem::path sys = "/sys";
};

struct PortEntry {
    std::string path;     // as the operator passes it to --port (under the device folder)
    std::string target;   // for a /dev/serial/by-id link: the device it points to
    std::string driver;   // the kernel driver, where sysfs names one
    std::string usbId;    // "vendor:product" in hex, for a USB adapter
    std::string product;  // the USB product name, where the adapter gives one
};

// Links in serial/by-id (with their targets), then ttyUSB*, ttyACM*, and every ttyS* whose
// sysfs entry shows a real port (a driver, and a port type other than 0); each group sorted
// by name, numbers in numeric order.
std::vector<PortEntry> ListPorts(const PortRoots& roots = {});

// One line a port; "No serial ports found." when there is none.
std::string PortsText(const std::vector<PortEntry>& ports);
// One JSON object a line: {"event":"port","path":...}.
std::string PortsJson(const std::vector<PortEntry>& ports);

}  // namespace flash
