// Pumps one engine until a condition holds: whenever the engine rings (cli/RunWaiter.h), its
// next timer is due, or a tick comes round for the progress, until a signal ends the wait.
//
// Threads: the run's own, which makes every call into the engine.
#pragma once

#include <functional>

class UpgradeEngine;
class EngineClock;

namespace flash {

class RunWaiter;

class EnginePump {
  public:
    EnginePump(UpgradeEngine& engine, RunWaiter& waiter, const EngineClock& clock)
        : engine_(engine), waiter_(waiter), clock_(clock) {}

    // Pumps until done() holds (true) or a signal comes (false, and Signal() tells which);
    // tick() is called at least every tenth of a second while waiting.
    bool Until(const std::function<bool()>& done, const std::function<void()>& tick);
    int Signal() const { return signal_; }

  private:
    UpgradeEngine& engine_;
    RunWaiter& waiter_;
    const EngineClock& clock_;
    int signal_ = 0;
};

}  // namespace flash
