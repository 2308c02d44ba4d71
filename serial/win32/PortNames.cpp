#include "serial/PortNames.h"

#include <cctype>

// On Windows "COMn" (any case, n from 1) is the device \\.\COMn, the form that also opens
// COM10 and above. A name already in the device namespace (\\.\...) stands as it is.
// Anything else names no device and gives an empty path.
std::string DevicePathForPortName(const std::string& portName) {
    if (portName.size() > 4 && portName.compare(0, 4, "\\\\.\\") == 0) return portName;
    if (portName.size() < 4) return {};
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(portName[i])) != "COM"[i]) return {};
    }
    unsigned long number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        const char c = portName[i];
        if (c < '0' || c > '9' || number > 100000) return {};
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0) return {};
    return "\\\\.\\COM" + std::to_string(number);
}
