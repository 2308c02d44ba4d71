// kavlet-flash --plan: every row of a plan checked before anything is sent, each image read
// once, the rows of one port one after the other and different ports at the same time (at
// most --jobs at once), each row's end noted in the journal, and one summary of every row.
//
// Threads: the caller's waits for the ports and for signals; each port runs on its own thread
// (cli/PortRun.h); their events share one lock (cli/SharedEvents.h).
#pragma once

#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"

namespace flash {

// Runs options (with a plan) and returns the exit status (see FlashOptions.h).
int RunPlan(const FlashOptions& options, RunIo io);

}  // namespace flash
