#include <signal.h>
#include <windows.h>

#include "cli/InterruptSource.h"
#include "cli/RunWaiter.h"

namespace flash {

RunWaiter::RunWaiter(const RunIo& io)
    : io_(io), event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

RunWaiter::~RunWaiter() {
    if (event_) CloseHandle(event_);
}

std::string RunWaiter::Problem() const {
    if (event_) return {};
    return "no event could be made: error " + std::to_string(GetLastError()) + ".";
}

void RunWaiter::Wake() {
    SetEvent(event_);
}

RunWaiter::Result RunWaiter::Wait(std::chrono::milliseconds timeout) {
    InterruptSource* const interrupts = io_.interrupts;
    const HANDLE waits[2] = {
        event_, interrupts ? reinterpret_cast<HANDLE>(interrupts->Waitable()) : nullptr};
    const DWORD r = WaitForMultipleObjects(interrupts ? 2 : 1, waits, FALSE,
                                           static_cast<DWORD>(timeout.count()));
    if (r == WAIT_OBJECT_0) return Result::Woken;
    if (r == WAIT_TIMEOUT) return Result::TimedOut;
    signal_ = interrupts ? interrupts->Take() : SIGINT;
    return Result::Interrupted;
}

}  // namespace flash
