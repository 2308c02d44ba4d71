#include <signal.h>
#include <windows.h>

#include <atomic>

#include "cli/InterruptSource.h"

namespace flash {
namespace {

// The console was closed: told with SIGHUP's number, as a terminal's hang-up is elsewhere.
constexpr int kConsoleClosed = 1;

// Windows has no SIGINT or SIGTERM to catch from outside: the console's Ctrl events stand for
// them. The run waits for the event; the first event's number counts.
HANDLE interruptEvent = nullptr;
std::atomic<int> interruptSignal{0};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    // Ctrl-C and Ctrl-Break: SIGINT; the console closed: as SIGHUP; logoff, shutdown: SIGTERM.
    int number = SIGTERM;
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) number = SIGINT;
    if (type == CTRL_CLOSE_EVENT) number = kConsoleClosed;
    int none = 0;
    interruptSignal.compare_exchange_strong(none, number);
    SetEvent(interruptEvent);
    return TRUE;
}

}  // namespace

InterruptSource* InterruptSource::Catch() {
    interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!interruptEvent || !SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return nullptr;
    static InterruptSource source(reinterpret_cast<std::intptr_t>(interruptEvent));
    return &source;
}

int InterruptSource::Take() {
    return interruptSignal.load();
}

bool InterruptSource::Came(std::chrono::milliseconds timeout) const {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(waitable_),
                               static_cast<DWORD>(timeout.count()) + 1) != WAIT_TIMEOUT;
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
