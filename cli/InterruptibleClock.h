// The engine's pauses for kavlet-flash, cut short when a signal comes: the run stops at once.
//
// Threads: Sleep on whichever thread the engine pauses (the run's, during the handshake).
#pragma once

#include "cli/RunWaiter.h"
#include "upgrade/EngineClock.h"

namespace flash {

class InterruptibleClock final : public EngineClock {
  public:
    explicit InterruptibleClock(const RunWaiter& waiter) : waiter_(waiter) {}
    void Sleep(std::chrono::milliseconds duration) override;
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }

  private:
    const RunWaiter& waiter_;
};

}  // namespace flash
