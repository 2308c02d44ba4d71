#include <unistd.h>

#include "cli/Platform.h"

namespace flash {

const PlatformWords& ThisPlatformWords() {
    static const PlatformWords words{
        "a device path or COMn",
        "\" is neither a device path (such as /dev/ttyUSB0) nor a name COM1, COM2, ...",
        "the serial port: a device path (/dev/ttyUSB0), COMn (/dev/ttyS<n-1>), or\n"
        "                           rfc2217://HOST:PORT, socket://HOST:PORT (a device server)",
        "/dev/ttyUSB0",
        "SIGHUP 129, Ctrl-C 130, Ctrl-\\ 131, SIGTERM 143",
    };
    return words;
}

bool IsTerminal(std::FILE* file) {
    return isatty(fileno(file)) == 1;
}

}  // namespace flash
