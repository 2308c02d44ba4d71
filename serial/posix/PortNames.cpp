#include "serial/PortNames.h"

#include "serial/net/NetPortName.h"

std::string DevicePathForPortName(const std::string& portName) {
    if (NetPortName::Parse(portName)) return portName;  // a serial device server's port
    if (!portName.empty() && portName.front() == '/') return portName;
    const auto number = ComPortNumber(portName, false);
    if (!number) return {};
    return "/dev/ttyS" + std::to_string(*number - 1);
}
