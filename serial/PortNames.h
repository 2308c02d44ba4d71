// Which device a port name stands for.
#pragma once

#include <functional>
#include <string>

// "COMn" (n from 1) is /dev/ttyS<n-1>, the PC convention: COM1 is /dev/ttyS0. A name that
// starts with "/" is a device path and stands as it is (/dev/ttyUSB0, a pseudo-terminal).
// Anything else names no device and gives an empty path.
std::string DevicePathForPortName(const std::string& portName);

// Replaces the mapping for the whole process (tests point COMn at pseudo-terminals so that
// they never touch the machine's real serial devices). An empty function restores the default.
using PortNameResolver = std::function<std::string(const std::string&)>;
void SetPortNameResolver(PortNameResolver resolver);
