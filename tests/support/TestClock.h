// A clock for the engine's pauses that records each one. Real (the default) sleeps as the
// system clock does; Instant returns at once and moves its own time on instead, for tests that
// only need the order of things; PausesPass returns at once from a pause and moves its time on
// by it, but otherwise keeps the system's time (waits for an answer take as long as they say).
// onPause, if set, runs at the start of each pause, on the pausing thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "upgrade/EngineClock.h"

class TestClock final : public EngineClock {
  public:
    enum class Mode { Real, Instant, PausesPass };
    explicit TestClock(Mode mode = Mode::Real) : mode_(mode) {}

    void Sleep(std::chrono::milliseconds duration) override {
        {
            std::lock_guard lock(mutex_);
            pauses_.push_back(duration);
        }
        if (onPause) onPause(duration);
        if (mode_ == Mode::Real) {
            std::this_thread::sleep_for(duration);
        } else {
            Advance(duration);
        }
    }

    // Real and PausesPass: the system's time; Instant: starts at the epoch and moves only by
    // pauses. Each moves on at once by Advance (PausesPass by its pauses too).
    TimePoint Now() const override {
        std::lock_guard lock(mutex_);
        return (mode_ == Mode::Instant ? TimePoint{} : std::chrono::steady_clock::now()) +
               advanced_;
    }
    void Advance(std::chrono::milliseconds duration) {
        std::lock_guard lock(mutex_);
        advanced_ += duration;
    }

    std::vector<std::chrono::milliseconds> Pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }
    void ClearPauses() {
        std::lock_guard lock(mutex_);
        pauses_.clear();
    }

    std::function<void(std::chrono::milliseconds)> onPause;

  private:
    Mode mode_;
    mutable std::mutex mutex_;
    std::vector<std::chrono::milliseconds> pauses_;
    std::chrono::milliseconds advanced_{0};
};
