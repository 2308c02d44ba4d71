// How a port runs, and which one: the record the front ends fill, the engine keeps for each
// opening, CSerialPort is configured with and every platform line applies (a line looks only
// at the line settings, never at the name).
//
// The line is always a raw binary one with XON/XOFF (0x11/0x13) in both directions; these
// are the values that may vary.
#pragma once

#include <cstdint>
#include <string>

struct SerialSettings {
    std::uint32_t baudRate = 0;  // bits per second
    std::uint8_t byteSize = 8;   // data bits per character, 5 to 8
    std::uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    // 0 one, 1 one and a half (two on a POSIX terminal, which has no such setting), 2 two
    std::uint8_t stopBits = 0;
    std::string portName{};  // "COMn", or a device path starting with "/"
};
