// The fixed pauses that order the steps of talking to the head, and the time that tells a
// silent head, go through a clock, so that tests can see them (and skip them) without sleeping.
//
// Thread rules: Sleep may be called from any thread the engine runs on; Now from any thread.
#pragma once

#include <chrono>

class EngineClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~EngineClock() = default;
    // Returns after the duration has passed.
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
    // The time now.
    virtual TimePoint Now() const = 0;
};

// The real clock: Sleep blocks the calling thread.
class SystemClock final : public EngineClock {
  public:
    void Sleep(std::chrono::milliseconds duration) override;
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    static SystemClock& Instance();
};
