#include "serial/PortNames.h"

#include <cctype>

std::optional<unsigned long> ComPortNumber(std::string_view portName, bool anyCase) {
    if (portName.size() < 4) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = portName[i];
        const char letter =
            anyCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        if (letter != "COM"[i]) return std::nullopt;
    }
    unsigned long number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        const char c = portName[i];
        if (c < '0' || c > '9' || number > 100000) return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0) return std::nullopt;
    return number;
}
