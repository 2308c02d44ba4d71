#include "serial/PortNames.h"

std::string DevicePathForPortName(const std::string& portName) {
    if (!portName.empty() && portName.front() == '/') return portName;
    const auto number = ComPortNumber(portName, false);
    if (!number) return {};
    return "/dev/ttyS" + std::to_string(*number - 1);
}
