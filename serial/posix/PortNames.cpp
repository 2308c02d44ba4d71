#include "serial/PortNames.h"

std::string DevicePathForPortName(const std::string& portName) {
    if (!portName.empty() && portName.front() == '/') return portName;
    if (portName.size() < 4 || portName.compare(0, 3, "COM") != 0) return {};
    unsigned long number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        const char c = portName[i];
        if (c < '0' || c > '9' || number > 100000) return {};
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0) return {};
    return "/dev/ttyS" + std::to_string(number - 1);
}
