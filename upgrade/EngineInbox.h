// What the engine's worker threads hand to the front end's thread: received chunks, the end of
// a receive loop, and the sender's reports. Every message is taken and acted on inside
// UpgradeEngine::Pump, on the front end's thread, in the order it was posted.
//
// Thread rules: Post and Ring from any thread; Take and DropChunks on the front end's thread.
// The waker is rung when a message finds the inbox empty (the front end will take everything
// that comes until it is empty again), and by Ring.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "upgrade/EngineClock.h"

struct EngineMessage {
    enum class Kind {
        Chunk,           // bytes from the head (1 to 4096)
        LoopEnded,       // the receive loop ended by a failure
        AnswerDue,       // the sender started a frame, or its last write is going out
        FrameSent,       // the first write of a frame went out
        WriteFailed,     // the sender could not hand a byte to the port
        FileUnreadable,  // the sender found no image to send (it was given up meanwhile)
    };
    explicit EngineMessage(Kind what, std::vector<std::uint8_t> chunk = {},
                           EngineClock::TimePoint when = {}, std::uint64_t from = 0)
        : kind(what), bytes(std::move(chunk)), at(when), sender(from) {}

    Kind kind;
    std::vector<std::uint8_t> bytes;  // Chunk
    EngineClock::TimePoint at{};      // AnswerDue: when the wait began
    std::uint64_t sender = 0;         // AnswerDue, FrameSent: the sender that posted it
    std::int32_t offset = 0;          // FrameSent: file offset of the frame's block
    // Chunk: the frame whose every byte had left the driver's output queue when the chunk came
    // (see UpgradeEngine::FrameOutNow), 0 for none.
    std::uint64_t frameOut = 0;
};

class EngineInbox {
  public:
    using Waker = std::function<void()>;
    explicit EngineInbox(Waker waker) : waker_(std::move(waker)) {}

    void Post(EngineMessage message);
    // Rings the waker without a message: something the engine looks at in Pump has changed.
    void Ring() const;
    std::optional<EngineMessage> Take();
    // Forgets the chunks not yet taken (bytes from before the head was greeted).
    void DropChunks();
    void Clear();

  private:
    const Waker waker_;
    std::mutex mutex_;
    std::deque<EngineMessage> messages_;
};
