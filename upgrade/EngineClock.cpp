#include "upgrade/EngineClock.h"

#include <thread>

void SystemClock::Sleep(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}
