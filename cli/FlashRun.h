// One run of kavlet-flash: the image into each head named, one after the other, through the
// transfer engine, told to the operator as text, a progress line or JSON lines.
//
// Threads: the run's own thread (the caller's) makes every call into the engine and pumps it
// whenever the engine rings (cli/RunWaiter.h) or its next timer is due.
#pragma once

#include <cstdio>

#include "cli/FlashOptions.h"
#include "serial/SerialLine.h"
#include "upgrade/EngineClock.h"
#include "upgrade/ImageCheck.h"

namespace flash {

class InterruptSource;

struct RunIo {
    std::FILE* out = stdout;  // progress, events, JSON lines, the summary
    std::FILE* err = stderr;  // errors (and, with JSON, the summary table)
    bool terminal = false;    // out is a terminal: one progress line a head, redrawn in place
    // The run stops at once when an interrupt comes from here (SIGHUP, SIGINT, SIGQUIT,
    // SIGTERM, or the console's Ctrl events on Windows). Null: none.
    InterruptSource* interrupts = nullptr;
    LineOpener openLine;  // empty: this platform's devices (OpenPlatformLine)
    // The engine's pauses and timers; null: the system's time, whose pauses a signal ends.
    EngineClock* clock = nullptr;
};

// Runs options (Mode::Flash) and returns the exit status (see FlashOptions.h).
int RunFlash(const FlashOptions& options, RunIo io);

// The sentence for an image that cannot be sent, from what the file system says of it; empty
// when the file could be sent.
std::string ImageProblem(const std::string& path);
// The same sentence for an image already checked.
std::string ImageSentence(const std::string& path, const ImageCheck& check);

}  // namespace flash
