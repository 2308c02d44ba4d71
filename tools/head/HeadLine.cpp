#include "tools/head/HeadLine.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace head {

bool SetRawLine(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    tio.c_iflag = IGNBRK;
    tio.c_oflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

std::optional<std::uint32_t> ReadLineSpeed(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return std::nullopt;
    return tio.c_ospeed;
}

bool IsSerialDevice(int fd) {
    struct termios2 tio {};
    return ioctl(fd, TCGETS2, &tio) == 0;
}

}  // namespace head
