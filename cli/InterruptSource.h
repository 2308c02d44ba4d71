// Where kavlet-flash hears that it must stop: on POSIX the signals SIGHUP, SIGINT, SIGQUIT and
// SIGTERM, on Windows the console's Ctrl events, which stand for them. Caught once for the whole
// process; the run waits for them with RunWaiter and pauses with InterruptibleClock. One
// implementation a platform: InterruptSourcePosix.cpp (a pipe the handler writes the signal's
// number into), InterruptSourceWin32.cpp (a manual-reset event and the first event's number).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace flash {

class InterruptSource {
  public:
    // Starts catching this platform's interrupts (POSIX also ignores SIGPIPE: a closed output
    // pipe shows as a failed write). Null when they cannot be caught. Once a process.
    static InterruptSource* Catch();

    // What a platform's waiter waits on: POSIX a file descriptor readable once an interrupt
    // came, Windows an event's HANDLE set once one came.
    std::intptr_t Waitable() const { return waitable_; }
    // The number of the interrupt that came (SIGINT, ...), taken: POSIX reads it (0 when none
    // waits); Windows keeps the first one.
    int Take();
    // Waits at most timeout for an interrupt, without taking it; true once one has come.
    bool Came(std::chrono::milliseconds timeout) const;

    // A source on a waitable of the caller's (a plan run hands each port its own: see
    // PortSignal).
    explicit InterruptSource(std::intptr_t waitable) : waitable_(waitable) {}

  private:
    const std::intptr_t waitable_;
};

// The name the operator knows an interrupt the run stops for by: "SIGINT", ... (this
// platform's).
std::string SignalName(int number);

}  // namespace flash
