// Which device a port name stands for on this platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// On POSIX "COMn" (n from 1) is /dev/ttyS<n-1>, the PC convention: COM1 is /dev/ttyS0. A name
// that starts with "/" is a device path and stands as it is (/dev/ttyUSB0, a pseudo-terminal).
// On Windows "COMn" (any case) is \\.\COMn, and a name in that namespace stands as it is.
// A network port ("rfc2217://HOST:PORT", "socket://HOST:PORT", see serial/net/NetPortName.h)
// stands as it is on both. Anything else names no device and gives an empty path.
std::string DevicePathForPortName(const std::string& portName);

// n of a name "COMn" (n from 1, at most six digits), or nothing for any other name. The letters
// COM in capitals only, or in any case when anyCase is set.
std::optional<unsigned long> ComPortNumber(std::string_view portName, bool anyCase);
