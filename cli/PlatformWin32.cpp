#include <io.h>

#include "cli/Platform.h"

namespace flash {

// Windows knows COM ports only.
const PlatformWords& ThisPlatformWords() {
    static const PlatformWords words{
        "COMn",
        "\" is not a port name such as COM1, COM2, ...",
        "the serial port: COMn (COM1, COM10, ...), or\n"
        "                           rfc2217://HOST:PORT, socket://HOST:PORT (a device server)",
        "COM3",
        "Ctrl-C or Ctrl-Break 130, the console closed 129, logoff or shutdown 143",
    };
    return words;
}

bool IsTerminal(std::FILE* file) {
    return _isatty(_fileno(file)) != 0;
}

}  // namespace flash
