#include "cli/InterruptibleClock.h"

#include <thread>

namespace flash {

void InterruptibleClock::Sleep(std::chrono::milliseconds duration) {
    if (!interrupts_) {
        std::this_thread::sleep_for(duration);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || interrupts_->Came(left)) return;
    }
}

}  // namespace flash
