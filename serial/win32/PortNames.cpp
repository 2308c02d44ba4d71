#include "serial/PortNames.h"

#include "serial/net/NetPortName.h"

// On Windows "COMn" (any case, n from 1) is the device \\.\COMn, the form that also opens
// COM10 and above. A name already in the device namespace (\\.\...) stands as it is.
// Anything else names no device and gives an empty path.
std::string DevicePathForPortName(const std::string& portName) {
    if (NetPortName::Parse(portName)) return portName;  // a serial device server's port
    if (portName.size() > 4 && portName.compare(0, 4, "\\\\.\\") == 0) return portName;
    const auto number = ComPortNumber(portName, true);
    if (!number) return {};
    return "\\\\.\\COM" + std::to_string(*number);
}
