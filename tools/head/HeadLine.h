// Line settings for a head attached to a real serial device. Kept apart because
// <asm/termbits.h> cannot be included together with <termios.h>.
#pragma once

#include <cstdint>

namespace head {

// Raw 8N1 at any speed in baud (BOTHER), receiver on, modem lines ignored, and no flow control
// by the driver in either direction: frame data may hold the bytes 0x11 and 0x13, and the head
// sends XON and XOFF itself when it means to. False when the driver refuses.
bool SetRawLine(int fd, std::uint32_t baud);

}  // namespace head
