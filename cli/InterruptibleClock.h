// The engine's pauses for kavlet-flash, cut short when a signal comes: the run stops at once.
//
// Threads: Sleep on whichever thread the engine pauses (the run's, during the handshake).
#pragma once

#include "cli/InterruptSource.h"
#include "upgrade/EngineClock.h"

namespace flash {

class InterruptibleClock final : public EngineClock {
  public:
    // interrupts: null when none can come.
    explicit InterruptibleClock(const InterruptSource* interrupts) : interrupts_(interrupts) {}
    void Sleep(std::chrono::milliseconds duration) override;
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }

  private:
    const InterruptSource* const interrupts_;
};

}  // namespace flash
