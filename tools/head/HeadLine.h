// The head's own few calls on its line through the kernel's termios2 interface (any speed in
// baud, BOTHER). Kept apart because <asm/termbits.h> cannot be included together with
// <termios.h>.
#pragma once

#include <cstdint>
#include <optional>

namespace head {

// Raw 8N1 at any speed in baud (BOTHER), receiver on, modem lines ignored, and no flow control
// by the driver in either direction: frame data may hold the bytes 0x11 and 0x13, and the head
// sends XON and XOFF itself when it means to. False when the driver refuses.
bool SetRawLine(int fd, std::uint32_t baud);

// The output speed the driver reports for the line. On a pseudo-terminal both sides share one
// set of settings, so the master side reads the speed the tool set on the slave side.
std::optional<std::uint32_t> ReadLineSpeed(int fd);

// True when fd is a terminal whose settings can be read.
bool IsSerialDevice(int fd);

}  // namespace head
