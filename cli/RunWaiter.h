// Where kavlet-flash's run waits: for the engine's ring (any thread), for an interrupt (the run's
// InterruptSource, if any), or for a time-out. One implementation a platform: RunWaiterPosix.cpp
// (an eventfd and the signal pipe), RunWaiterWin32.cpp (events).
#pragma once

#include <chrono>
#include <string>

#include "cli/FlashRun.h"

namespace flash {

class RunWaiter {
  public:
    explicit RunWaiter(const RunIo& io);
    ~RunWaiter();
    RunWaiter(const RunWaiter&) = delete;
    RunWaiter& operator=(const RunWaiter&) = delete;

    // Empty when the waiter works; else the sentence saying what could not be made.
    std::string Problem() const;

    // Any thread: ends the wait under way, or the next one.
    void Wake();

    enum class Result { Woken, TimedOut, Interrupted };
    // Waits until woken, a signal comes (its number then in Signal), or timeout has passed.
    // A failed wait counts as a signal.
    Result Wait(std::chrono::milliseconds timeout);
    int Signal() const { return signal_; }

  private:
    const RunIo& io_;
    void* event_ = nullptr;  // Windows: an auto-reset event
    int fd_ = -1;            // POSIX: an eventfd
    int signal_ = 0;
};

}  // namespace flash
