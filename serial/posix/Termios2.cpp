#include "serial/posix/Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace termios2_io {

namespace {

constexpr unsigned char kXonChar = 0x11;   // DC1: the peer may send again
constexpr unsigned char kXoffChar = 0x13;  // DC3: the peer must stop sending

bool CharacterSizeFlag(std::uint8_t byteSize, tcflag_t& flag) {
    switch (byteSize) {
        case 5:
            flag = CS5;
            return true;
        case 6:
            flag = CS6;
            return true;
        case 7:
            flag = CS7;
            return true;
        case 8:
            flag = CS8;
            return true;
        default:
            return false;
    }
}

bool ParityFlags(std::uint8_t parity, tcflag_t& flags) {
    switch (parity) {
        case 0:
            flags = 0;
            return true;
        case 1:
            flags = PARENB | PARODD;
            return true;
        case 2:
            flags = PARENB;
            return true;
        case 3:
            flags = PARENB | PARODD | CMSPAR;
            return true;
        case 4:
            flags = PARENB | CMSPAR;
            return true;
        default:
            return false;
    }
}

}  // namespace

bool BuildRawSettings(const SerialSettings& settings, struct termios2& built) {
    tcflag_t sizeFlag = 0;
    tcflag_t parityFlags = 0;
    if (settings.baudRate == 0 || !CharacterSizeFlag(settings.byteSize, sizeFlag) ||
        !ParityFlags(settings.parity, parityFlags) || settings.stopBits > 2) {
        return false;
    }
    // Built anew every time, never read back first, so nothing depends on what the last
    // program left in the driver.
    struct termios2 tio {};
    tio.c_iflag = IXON | IXOFF | (parityFlags ? INPCK : 0);
    tio.c_oflag = 0;
    tio.c_cflag = sizeFlag | parityFlags | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT) |
                  (settings.stopBits != 0 ? CSTOPB : 0);
    tio.c_lflag = 0;
    tio.c_cc[VSTART] = kXonChar;
    tio.c_cc[VSTOP] = kXoffChar;
    tio.c_cc[VMIN] = 0;  // reads return what is queued and never wait
    tio.c_cc[VTIME] = 0;
    tio.c_ispeed = settings.baudRate;
    tio.c_ospeed = settings.baudRate;
    built = tio;
    return true;
}

bool ApplyRawSettings(int fd, const SerialSettings& settings) {
    struct termios2 tio {};
    return BuildRawSettings(settings, tio) && ioctl(fd, TCSETS2, &tio) == 0;
}

std::optional<std::uint32_t> ReadBaudRate(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return std::nullopt;
    return tio.c_ospeed;
}

bool IsTerminal(int fd) {
    struct termios2 tio {};
    return ioctl(fd, TCGETS2, &tio) == 0;
}

bool RestartOutput(int fd) {
    // TCOON only undoes a stop made by tcflow(); the stop an XOFF byte left behind is undone
    // by the line discipline when XON/XOFF on output is switched off, so switch it off and
    // on again.
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    if (!(tio.c_iflag & IXON)) return ioctl(fd, TCXONC, TCOON) == 0;
    struct termios2 withoutXon = tio;
    withoutXon.c_iflag &= ~tcflag_t(IXON);
    return ioctl(fd, TCSETS2, &withoutXon) == 0 && ioctl(fd, TCSETS2, &tio) == 0;
}

bool DiscardInput(int fd) {
    return ioctl(fd, TCFLSH, TCIFLUSH) == 0;
}
bool DiscardOutput(int fd) {
    return ioctl(fd, TCFLSH, TCOFLUSH) == 0;
}

}  // namespace termios2_io
