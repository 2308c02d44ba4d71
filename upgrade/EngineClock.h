// The fixed pauses that order the steps of talking to the head go through a clock, so that
// tests can see them (and skip them) without sleeping.
//
// Thread rules: Sleep may be called from any thread the engine runs on.
#pragma once

#include <chrono>

class EngineClock {
  public:
    virtual ~EngineClock() = default;
    // Returns after the duration has passed.
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// The real clock: Sleep blocks the calling thread.
class SystemClock final : public EngineClock {
  public:
    void Sleep(std::chrono::milliseconds duration) override;
    static SystemClock& Instance();
};
