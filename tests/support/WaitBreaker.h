// Ends every wait of the test fixtures at once (ProcessEventsUntil, EngineFixture::PumpUntil,
// a kavlet-flash child's run) when a probe finds the outcome decided the wrong way, and fails
// the test then, once, with what the probe says: a tool that sends a broken frame or greets at
// the wrong speed is known at that moment, and nothing waits out answers that cannot come.
// One breaker is in force at a time, the one made last; made and used on the test's thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class WaitBreaker {
  public:
    // probe: empty while the run may still go either way, else what went wrong.
    explicit WaitBreaker(std::function<std::string()> probe);
    ~WaitBreaker();
    WaitBreaker(const WaitBreaker&) = delete;
    WaitBreaker& operator=(const WaitBreaker&) = delete;

    // True once the breaker in force has found something (the test has failed with it).
    static bool Broken();
    // Whether a breaker is in force (a wait that hears of nothing should look now and then).
    static bool InForce();
    // When a wait until deadline should wake to look at the breaker: soon while one is in force
    // (a tool waiting for an answer that cannot come hears nothing), else at the deadline.
    static std::chrono::steady_clock::time_point WakeBy(
        std::chrono::steady_clock::time_point deadline);

  private:
    std::function<std::string()> probe_;
    bool broken_ = false;
    WaitBreaker* previous_;
};
