// A signal told to each port of a plan run: every port waits on its own RunWaiter, and the run
// raises the signal on each port's own copy of the run's interrupt. One implementation a
// platform: PortSignalPosix.cpp (a pipe a port), PortSignalWin32.cpp (the console's event,
// which every waiter sees).
//
// Threads: Raise from the run's thread; the port's thread waits on Io().
#pragma once

#include <memory>

#include "cli/FlashRun.h"
#include "cli/InterruptSource.h"

namespace flash {

class PortSignal {
  public:
    explicit PortSignal(const RunIo& run);
    ~PortSignal();
    PortSignal(const PortSignal&) = delete;
    PortSignal& operator=(const PortSignal&) = delete;

    // The port's RunIo: the run's, with the port's own interrupt.
    const RunIo& Io() const { return io_; }
    // The port stops as the run does for signal.
    void Raise(int signal);

  private:
    RunIo io_;
    int readFd_ = -1;
    int writeFd_ = -1;
    std::unique_ptr<InterruptSource> source_;  // the port's own, where it has one
};

}  // namespace flash
