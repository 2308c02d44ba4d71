// The serial ports of this machine, read without opening a device: on POSIX from the device
// folder and sysfs, on Windows from the ports the serial drivers have registered.
#pragma once

#include <string>
#include <vector>

// Where the device folder and sysfs are; tests give a fake tree. Windows ignores them (plain
// strings, so that the Windows programs do not carry the path library for nothing).
struct PortRoots {
    std::string dev = "/dev";
    std::string sys = "/sys";
};

struct PortEntry {
    std::string path;     // the name to open it by: a device path, or "COMn" on Windows
    std::string target;   // for a /dev/serial/by-id link: the device it points to; on Windows
                          // the driver's device name
    std::string driver;   // the kernel driver, where sysfs names one
    std::string usbId;    // "vendor:product" in hex, for a USB adapter
    std::string product;  // the USB product name, where the adapter gives one
};

// POSIX: links in serial/by-id (with their targets) that point to a device, then ttyUSB*,
// ttyACM*, and every ttyS* whose sysfs entry shows a real port (a driver, and a port type other
// than 0), each device only when no by-id link stands for it; each group sorted by name,
// numbers in numeric order. Windows: the registered COM ports in numeric order.
std::vector<PortEntry> ListPorts(const PortRoots& roots = {});
