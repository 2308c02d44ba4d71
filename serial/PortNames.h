// Which device a port name stands for on this platform.
#pragma once

#include <string>

// "COMn" (n from 1) is /dev/ttyS<n-1>, the PC convention: COM1 is /dev/ttyS0. A name that
// starts with "/" is a device path and stands as it is (/dev/ttyUSB0, a pseudo-terminal).
// Anything else names no device and gives an empty path.
std::string DevicePathForPortName(const std::string& portName);
