#include "cli/EnginePump.h"

#include <algorithm>
#include <chrono>

#include "cli/RunWaiter.h"
#include "upgrade/EngineClock.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {
namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 100ms;  // the longest wait without a look at the progress

}  // namespace

bool EnginePump::Until(const std::function<bool()>& done, const std::function<void()>& tick) {
    for (;;) {
        engine_.Pump();
        if (done()) return true;
        tick();
        // Until the engine rings, its next timer, or the progress line's next look.
        auto wait = std::chrono::milliseconds(kTick);
        if (const auto deadline = engine_.NextDeadline())
            wait =
                std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock_.Now()),
                           std::chrono::milliseconds(0), wait);
        if (waiter_.Wait(wait) == RunWaiter::Result::Interrupted) {
            signal_ = waiter_.Signal();
            return false;
        }
    }
}

}  // namespace flash
