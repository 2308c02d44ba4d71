// What kavlet-flash does differently on each platform, beside waiting (RunWaiter) and hearing
// interrupts (InterruptSource): how it names ports and interrupts to the operator, and how it
// tells a terminal. One file a platform: PlatformPosix.cpp, PlatformWin32.cpp.
#pragma once

#include <cstdio>

namespace flash {

struct PlatformWords {
    const char* portForms;    // the forms of a port name, for the usage error without --port
    const char* notAPort;     // the rest of the usage error for a name that is no port
    const char* portHelp;     // --port's line in --help
    const char* examplePort;  // the port of --help's examples
    const char* interrupts;   // what stops a run, with its exit status, for --help
};

const PlatformWords& ThisPlatformWords();

// Whether file writes to a terminal (where the progress line is drawn).
bool IsTerminal(std::FILE* file);

}  // namespace flash
