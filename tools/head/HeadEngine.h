// The camera head's behaviour as a state machine without a line: bytes in, answer bytes out,
// with the time passed in by the caller. VirtualHead feeds it from a serial line; tests may
// drive it directly. Not thread-safe: one caller at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/head/HeadOptions.h"

namespace head {

using Clock = std::chrono::steady_clock;

class HeadEngine {
  public:
    HeadEngine(HeadOptions options, Clock::time_point start);

    // Bytes read from the line. toolSpeed is the far end's line speed at the time they were
    // read, when the head can learn it; bytes read while it differs from LineSpeed() are noise.
    void Receive(std::span<const std::uint8_t> bytes, std::optional<std::uint32_t> toolSpeed,
                 Clock::time_point now);

    // Runs what is due at now: XON after a pause, the drop of a frame left incomplete.
    void Advance(Clock::time_point now);

    // The earliest time at which Advance or TakeDueOutput has work, if any.
    std::optional<Clock::time_point> NextDeadline() const;

    // The writes due on the line at now, in order, each to be handed to the line in one
    // write() (an answer merged with other bytes is one write). They are counted as written.
    std::vector<std::vector<std::uint8_t>> TakeDueWrites(Clock::time_point now);
    // The same bytes, run together.
    std::vector<std::uint8_t> TakeDueOutput(Clock::time_point now);

    // The speed the head's receiver runs at: its own speed, then 115200 in the loader.
    std::uint32_t LineSpeed() const;

    // Replaces the fault settings; their one-shot marks start afresh.
    void SetFaults(const HeadFaults& faults);

    // Adds an event line (with time stamp) to the report and to the new events.
    void Note(const std::string& text, Clock::time_point now);

    const HeadReport& Report() const { return report_; }
    HeadReport& MutableReport() { return report_; }

    // The event lines added since the last call.
    std::vector<std::string> TakeNewEvents();

  private:
    struct Output {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    void Process(Clock::time_point now, bool flush);
    void FlushSkipped(Clock::time_point now);
    void DropFrame(Clock::time_point now, const char* why);
    // The byte count of the frame coming in at which the next fault acts (XOFF, unprompted
    // code, early 84), if one is still due in it; and what acts at the count reached.
    std::optional<std::size_t> NextFrameMark() const;
    void ActAtFrameMark(Clock::time_point now);
    void HandleCommand(const PelcoFrame& frame, std::span<const std::uint8_t> bytes,
                       Clock::time_point now);
    void HandleGreeting(Clock::time_point now);
    void HandleFrame(Clock::time_point now);
    void CompleteImage(Clock::time_point now);
    // True when the loader ends on the tool turning to another head (leaveLoaderWhenDone).
    bool MayLeaveLoader() const;
    void LeaveLoader(const std::string& why, Clock::time_point now);
    void Problem(const std::string& text, Clock::time_point now);
    // Counts the greetings among bytes that came at speed while the loader was not listening
    // there: a tool greets only at the loader's speed, after its start-upgrade command.
    void CountStrayGreetings(std::span<const std::uint8_t> bytes, std::uint32_t speed,
                             Clock::time_point now);
    // Sends the answer due at a point (kGreetingPoint or a frame number), after the silent and
    // garbage faults; code is the answer after the other faults.
    void SendAnswer(unsigned point, std::uint8_t code, Clock::time_point now);
    std::optional<Clock::time_point> SilenceDeadline() const;
    // Queues a write behind every write due no later than it, so a write due later (a delayed
    // echo or garbage) holds back none due earlier.
    void QueueInOrder(Output output);

    HeadOptions options_;
    Clock::time_point start_;
    HeadReport report_;
    std::vector<std::string> newEvents_;

    std::vector<std::uint8_t> pending_;  // bytes not yet taken into a command, greeting or frame
    std::vector<std::uint8_t> skipped_;  // bytes skipped in this step, reported together
    std::vector<std::uint8_t> frame_;    // the frame coming in (starts with 0x73) if inFrame_
    bool inFrame_ = false;
    std::optional<std::uint32_t> chunkSpeed_;  // tool's speed for the bytes being processed
    Clock::time_point lastActivity_;           // last byte received, or XON sent
    std::deque<Output> outputs_;

    // The image in progress: the offset of the next block is report_.image.size().
    bool lastBlockStored_ = false;
    std::uint32_t lastBlockOffset_ = 0;
    std::optional<std::uint32_t> previousFrameAddress_;

    // One-shot marks of the faults.
    bool rejectUsed_ = false;
    bool failUsed_ = false;
    bool garbageUsed_ = false;
    bool withholdUsed_ = false;
    bool xoffUsed_ = false;
    bool mergeUsed_ = false;
    bool unpromptedUsed_ = false;
    bool echoUsed_ = false;
    bool earlyDoneUsed_ = false;
    bool silent_ = false;
    std::optional<Clock::time_point> xonDue_;  // when the XON of the last XOFF is due
};

}  // namespace head
