#include <signal.h>
#include <windows.h>

#include <thread>

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
    const HANDLE waits[2] = {event_, io_.interruptEvent};
    const DWORD r = WaitForMultipleObjects(io_.interruptEvent ? 2 : 1, waits, FALSE,
                                           static_cast<DWORD>(timeout.count()));
    if (r == WAIT_OBJECT_0) return Result::Woken;
    if (r == WAIT_TIMEOUT) return Result::TimedOut;
    signal_ = io_.interruptSignal ? io_.interruptSignal->load() : SIGINT;
    return Result::Interrupted;
}

bool RunWaiter::InterruptCame(std::chrono::milliseconds timeout) const {
    if (!io_.interruptEvent) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    return WaitForSingleObject(io_.interruptEvent, static_cast<DWORD>(timeout.count()) + 1) !=
           WAIT_TIMEOUT;
}

std::string SignalName(int number) {
    switch (number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case kConsoleClosed:
            return "the console closing";
    }
    return "signal " + std::to_string(number);
}

}  // namespace flash
