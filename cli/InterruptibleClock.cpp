#include "cli/InterruptibleClock.h"

namespace flash {

void InterruptibleClock::Sleep(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || waiter_.InterruptCame(left)) return;
    }
}

}  // namespace flash
