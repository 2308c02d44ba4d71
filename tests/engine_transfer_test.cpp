// Sending the image through the engine alone, with the test playing the head on a memory line:
// which frame goes out after each answer, the pauses, the hand-off between the head's answer
// and the sender, failed writes, and the sent count.
#include <mutex>

#include "tests/support/EngineFixture.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"

namespace engine_test {
namespace {

struct Step {
    std::size_t offset;  // block offset of the frame expected on the line
    Bytes answer;        // empty: none (the next frame is already on its way)
};

class EngineTransferTest : public EngineFixture {
  protected:
    // Image loaded, head greeted, sender started; events from here on. beforeStart runs just
    // before the sender starts (to set a hook on a byte of its first frame).
    void Begin(std::size_t imageSize, const std::function<void()>& beforeStart = {}) {
        LoadImage(imageSize);
        Greet();
        observer.ClearEvents();
        framesBase = port.WrittenCount();
        if (beforeStart) beforeStart();
        Start();
    }

    // Plays the head: for each frame expected on the line (by its block offset), waits for it,
    // checks its bytes, and answers it with the step's answer unless the sender has already
    // been woken for the next one.
    void Play(const std::vector<Step>& steps) {
        for (std::size_t k = 0; k < steps.size(); ++k) {
            SCOPED_TRACE(::testing::Message() << "frame " << k << " on the line");
            ASSERT_TRUE(WaitForFrames(k + 1));
            ASSERT_EQ(FrameOnLine(k), Expected(steps[k].offset));
            if (!steps[k].answer.empty()) {
                AnswerChunk(steps[k].answer);
            }
        }
    }

    // Stops the sender and the line, so that nothing more can be written, and returns the
    // count of frame bytes on the line.
    std::size_t FrameBytesAtTheEnd() {
        engine->StopAll();
        return FrameBytesWritten();
    }

    std::int32_t FileOffset() { return engine->FileOffset(); }

    // Each frame's data, in the order accepted, cut to the image's size.
    Bytes Reassemble(const std::vector<std::size_t>& acceptedFrames) {
        Bytes result;
        for (std::size_t k : acceptedFrames) {
            const Bytes frame = FrameOnLine(k);
            result.insert(result.end(), frame.begin() + FRAME_DATA_OFFSET,
                          frame.begin() + FRAME_DATA_OFFSET + FRAME_DATA_SIZE);
        }
        result.resize(std::min(result.size(), image.size()));
        return result;
    }
};

const Bytes kOk{RSP_BLOCK_OK};
const Bytes kDone{RSP_DONE};

// --- Checksum errors

struct RejectRow {
    std::size_t imageSize;
    std::size_t rejectedBlock;  // index of the block answered with code, once
    std::uint8_t code;
};

TEST_F(EngineTransferTest, AChecksumErrorSendsTheSameFrameAgainAndTheImageArrivesWhole) {
    const RejectRow rows[] = {
        {10000, 2, RSP_CHECKSUM_ERROR},    // the short last block
        {10000, 2, RSP_CHECKSUM_ERROR_2},  // the same with 83
        {4097, 1, RSP_CHECKSUM_ERROR_2},   // a last block of one byte
        {100, 0, RSP_CHECKSUM_ERROR},      // the only block, short
        {10000, 0, RSP_CHECKSUM_ERROR},    // a whole block
        {8192, 1, RSP_CHECKSUM_ERROR_2},   // a whole last block
    };
    for (const RejectRow& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.imageSize << " bytes, block " << row.rejectedBlock
                                          << " answered " << std::hex << int(row.code));
        SetUp();  // a fresh engine and line for each row
        Begin(row.imageSize);
        const std::size_t blocks = (row.imageSize + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE;
        std::vector<Step> steps;
        std::vector<std::size_t> accepted;
        std::vector<std::string> events;
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t offset = b * FRAME_DATA_SIZE;
            if (b == row.rejectedBlock) {
                steps.push_back({offset, {row.code}});
                events.push_back("checksum-error");
            }
            accepted.push_back(steps.size());
            const bool last = b + 1 == blocks;
            steps.push_back({offset, last ? kDone : kOk});
            const std::size_t reached = std::min(offset + FRAME_DATA_SIZE, row.imageSize);
            events.push_back((last ? "done " : "accepted ") + std::to_string(reached));
        }
        Play(steps);
        EXPECT_EQ(observer.Events(), events);
        EXPECT_EQ(Reassemble(accepted), image);
        EXPECT_EQ(FrameBytesAtTheEnd(), steps.size() * FRAME_SIZE);
        TearDown();
        if (HasFatalFailure()) return;
    }
}

// --- The pause before each wake-up

TEST_F(EngineTransferTest, EachAcceptedBlockPauses20msBeforeTheNextFrameAndNothingElsePauses) {
    std::vector<std::size_t> frameBytesAtPause;
    std::vector<int> senderAwakeAtPause;  // still parked: nothing is woken before the pause
    std::mutex mutex;
    clock.onPause = [&](std::chrono::milliseconds) {
        std::lock_guard lock(mutex);
        frameBytesAtPause.push_back(FrameBytesWritten());
        senderAwakeAtPause.push_back(engine->State().senderAwake.load());
    };
    Begin(10000);
    ASSERT_TRUE(WaitForFrames(1));
    port.Hold();  // a sender woken too early would stand at its first byte, still awake
    Answer(RSP_BLOCK_OK);
    port.Release();
    Play({{0, {}}, {4096, {RSP_CHECKSUM_ERROR}}, {4096, kOk}, {8192, kDone}});
    using std::chrono::milliseconds;
    EXPECT_EQ(clock.Pauses(), (std::vector<milliseconds>{milliseconds{20}, milliseconds{20}}));
    std::lock_guard lock(mutex);
    EXPECT_EQ(frameBytesAtPause, (std::vector<std::size_t>{FRAME_SIZE, 3 * FRAME_SIZE}))
        << "the pause comes after the answer and before the next frame";
    EXPECT_EQ(senderAwakeAtPause, (std::vector<int>{0, 0})) << "the sender is woken after it";
    clock.onPause = nullptr;
}

// --- Answers at an exact byte of a frame

struct InjectRow {
    const char* name;
    std::size_t byteIndex;  // of frame 0, after which the answer arrives
    std::uint8_t code;
    std::vector<Step> steps;  // frames expected on the line from frame 0 on
    std::vector<std::string> events;
};

TEST_F(EngineTransferTest, AnAnswerCountsOnlyOnceTheFramesLastWriteIsOut) {
    // The frame goes out in writes of kFrameWrite bytes; the last one begins here.
    constexpr std::size_t kLastWrite = FRAME_SIZE - FRAME_SIZE % kFrameWrite;
    const InjectRow rows[] = {
        // Right after the last byte: the answer is never lost, the next frame follows.
        {"82 after the last byte",
         FRAME_SIZE - 1,
         RSP_BLOCK_OK,
         {{0, {}}, {4096, kOk}, {8192, kDone}},
         {"accepted 4096", "accepted 8192", "done 10000"}},
        {"81 after the last byte",
         FRAME_SIZE - 1,
         RSP_CHECKSUM_ERROR,
         {{0, {}}, {0, kOk}, {4096, kOk}, {8192, kDone}},
         {"checksum-error", "accepted 4096", "accepted 8192", "done 10000"}},
        // In the middle of the frame: an 82 takes no block, wakes nothing and steps nothing back;
        // other codes are reported.
        {"82 before the last write",
         kLastWrite - 1,
         RSP_BLOCK_OK,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"accepted 4096", "accepted 8192", "done 10000"}},
        {"82 after the first byte",
         0,
         RSP_BLOCK_OK,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"accepted 4096", "accepted 8192", "done 10000"}},
        {"81 in the middle",
         2000,
         RSP_CHECKSUM_ERROR,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"checksum-error", "accepted 4096", "accepted 8192", "done 10000"}},
        // 86 and 87 only inform: the frame completes and the transfer goes on as before.
        {"86 in the middle",
         2000,
         RSP_FAILED,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"failed", "accepted 4096", "accepted 8192", "done 10000"}},
        {"87 in the middle",
         1,
         RSP_TIMEOUT,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"timeout", "accepted 4096", "accepted 8192", "done 10000"}},
        {"86 after the last byte",
         FRAME_SIZE - 1,
         RSP_FAILED,
         {{0, kOk}, {4096, kOk}, {8192, kDone}},
         {"failed", "accepted 4096", "accepted 8192", "done 10000"}},
    };
    for (const InjectRow& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        LoadImage(10000);
        Greet();
        observer.ClearEvents();
        std::atomic<bool> handled{false};
        std::atomic<int> senderAwakeAfter{-1};
        std::atomic<std::int32_t> offsetAfter{-1};
        std::atomic<bool> hookDone{false};
        port.OnByte(port.WrittenCount() + row.byteIndex, [&] {
            handled = InjectAndAwait({row.code});
            senderAwakeAfter = engine->State().senderAwake.load();
            offsetAfter = FileOffset();
            hookDone = true;  // the write listener wakes the pump after this
        });
        Start();
        // The states are read by the hook before the test answers anything itself.
        ASSERT_TRUE(PumpUntil([&] { return hookDone.load(); }));
        Play(row.steps);
        EXPECT_TRUE(handled) << "the answer was handled while the sender stood at its byte";
        EXPECT_EQ(observer.Events(), row.events);
        EXPECT_EQ(offsetAfter, row.steps[1].offset == 0 ? 0 : 4096)
            << "only a checksum error after the last byte steps back";
        const bool lastWrite = row.byteIndex >= kLastWrite;
        const bool wakes = row.steps[0].answer.empty();
        EXPECT_EQ(senderAwakeAfter, lastWrite && !wakes ? 0 : 1)
            << "awake while the frame goes out, and again once an answer after it wakes it";
        EXPECT_EQ(FrameBytesAtTheEnd(), row.steps.size() * FRAME_SIZE)
            << "exactly one frame per wake-up";
        TearDown();
        if (HasFatalFailure()) return;
    }
}

// --- Answers merged with other bytes in one chunk

struct MergedRow {
    Bytes chunk;
    std::vector<std::string> events;
    std::optional<std::size_t> nextFrame;  // block offset of the frame it brings, if any
    bool fileKept;
};

TEST_F(EngineTransferTest, OfAChunkOnlyTheFirstByteCounts) {
    const MergedRow rows[] = {
        {{0x82, 0x80}, {"accepted 4096"}, 4096, true},
        {{0x80, 0x82}, {"connected"}, std::nullopt, true},
        // Done after frame 1 of 3: not done at all, and the transfer ends.
        {{0x84, 0x00}, {"done-too-early"}, std::nullopt, true},
        {{0x81, 0x82, 0x84}, {"checksum-error"}, 0, true},
        {{0x00, 0x82}, {}, std::nullopt, true},
        {{0x86, 0x82}, {"failed"}, std::nullopt, true},
    };
    for (const MergedRow& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.chunk));
        SetUp();
        Begin(10000);
        ASSERT_TRUE(WaitForFrames(1));
        AnswerChunk(row.chunk);
        EXPECT_EQ(observer.Events(), row.events);
        EXPECT_EQ(engine->LastResponse(), row.chunk.front());
        EXPECT_EQ(engine->HaveFirmware(), row.fileKept);
        if (row.nextFrame) {
            ASSERT_TRUE(WaitForFrames(2));
            EXPECT_EQ(FrameOnLine(1), Expected(*row.nextFrame));
            EXPECT_EQ(FrameBytesAtTheEnd(), 2 * FRAME_SIZE);
        } else {
            EXPECT_EQ(engine->State().senderAwake, 0) << "nothing woken: the sender stays parked";
            EXPECT_EQ(FrameBytesAtTheEnd(), FRAME_SIZE);
        }
        TearDown();
        if (HasFatalFailure()) return;
    }
}

// --- A write that fails in the middle of a frame

struct WriteFailureRow {
    const char* name;
    bool hangUp;  // the far side goes away; otherwise the port is closed
};

TEST_F(EngineTransferTest, AWriteFailingMidFrameCountsOnlyWhatWentOutAndTheBlockIsSentAgainWhole) {
    const WriteFailureRow rows[] = {{"hang-up while held", true}, {"close while held", false}};
    constexpr std::size_t kOutOfFrame1 = 1001;  // bytes 0 to 1000 of frame 1 go out
    for (const WriteFailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Begin(10000);
        ASSERT_TRUE(WaitForFrames(1));
        port.OnByte(FrameByteIndex(1, kOutOfFrame1 - 1), [this] { port.Hold(); });
        Answer(RSP_BLOCK_OK);
        ASSERT_TRUE(port.WaitForWritersWaiting(1, kWait)) << "the sender is held";
        if (row.hangUp) {
            port.HangUp();
        } else {
            engine->ClosePort();
        }
        ASSERT_TRUE(PumpUntil([&] { return observer.Saw("write-failed"); }));
        const std::size_t out = FRAME_SIZE + kOutOfFrame1;
        EXPECT_EQ(FrameBytesWritten(), out);
        const Bytes frame1 = Expected(4096);
        EXPECT_EQ(port.WrittenBytes(FrameByteIndex(1, 0)),
                  Bytes(frame1.begin(), frame1.begin() + kOutOfFrame1));
        EXPECT_EQ(engine->State().bytesSent, static_cast<std::int32_t>(out));
        EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(out)));
        EXPECT_EQ(FileOffset(), 4096) << "back at the start of the block";

        // Starting again sends that block whole.
        port.Release();
        engine->ClosePort();
        ASSERT_TRUE(OpenPort());
        const std::size_t restart = port.WrittenCount();
        ASSERT_TRUE(engine->StartUpgrade());
        ASSERT_TRUE(PumpUntil([&] {
            return port.WrittenCount() >= restart + FRAME_SIZE && engine->State().senderAwake == 0;
        }));
        EXPECT_EQ(port.WrittenBytes(restart), Expected(4096));
        EXPECT_EQ(FileOffset(), 8192);
        EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(out + FRAME_SIZE)));
        EXPECT_EQ(countAboveLine, 0);
        TearDown();
        if (HasFatalFailure()) return;
    }
}

// --- A line slower than the writes: the frame waits in the driver's output queue

// The head's byte code comes when waiting bytes of frame k (counted from the start) are still
// in the output queue, which empties at a byte a millisecond of the instant clock.
struct PacedAnswer {
    std::size_t frame;
    std::size_t waiting;
    std::uint8_t code;
};

struct PacedRow {
    const char* name;
    std::vector<PacedAnswer> answers;
    std::vector<std::size_t> offsets;  // the blocks of the frames on the line, in order
    std::vector<std::string> events;
};

class EnginePacedTest : public EngineTransferTest {
  protected:
    void PacedBegin() {
        port.PaceOutput(clock, 1000);
        LoadImage(10000);
        Greet();
        LeaveUntil(0);
        observer.ClearEvents();
        Start();
    }
    // Lets the line send until only waiting bytes are left in the queue.
    void LeaveUntil(std::size_t waiting) {
        const auto queued = static_cast<std::size_t>(port.OutputQueued());
        ASSERT_GE(queued, waiting);
        clock.Advance(std::chrono::milliseconds(queued - waiting));
    }
};

TEST_F(EnginePacedTest, AnAnswerCountsOnlyOnceItsFrameHasLeftTheOutputQueue) {
    const PacedRow rows[] = {
        {"82 echoed while frame 1 waits, then 81 for frame 1: block 1 again",
         {{0, 0, RSP_BLOCK_OK}, {1, 3500, RSP_BLOCK_OK}, {1, 0, RSP_CHECKSUM_ERROR},
          {2, 0, RSP_BLOCK_OK}, {3, 0, RSP_DONE}},
         {0, 4096, 4096, 8192},
         {"accepted 4096", "checksum-error", "accepted 8192", "done 10000"}},
        {"a stray 82 after 1000 bytes of frame 0 takes nothing",
         {{0, FRAME_SIZE - 1000, RSP_BLOCK_OK}, {0, 0, RSP_BLOCK_OK}, {1, 0, RSP_BLOCK_OK},
          {2, 0, RSP_DONE}},
         {0, 4096, 8192},
         {"accepted 4096", "accepted 8192", "done 10000"}},
        {"84 after 300 bytes of the last frame is no success",
         {{0, 0, RSP_BLOCK_OK}, {1, 0, RSP_BLOCK_OK}, {2, FRAME_SIZE - 300, RSP_DONE}},
         {0, 4096, 8192},
         {"accepted 4096", "accepted 8192", "done-too-early"}},
        {"82 with one byte left answers nothing, the instant the queue empties it counts",
         {{0, 1, RSP_BLOCK_OK}, {0, 0, RSP_BLOCK_OK}, {1, 0, RSP_BLOCK_OK}, {2, 1, RSP_DONE}},
         {0, 4096, 8192},
         {"accepted 4096", "accepted 8192", "done-too-early"}},
    };
    for (const PacedRow& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        PacedBegin();
        for (const PacedAnswer& answer : row.answers) {
            ASSERT_TRUE(WaitForFrames(answer.frame + 1));
            LeaveUntil(answer.waiting);
            Answer(answer.code);
        }
        EXPECT_EQ(observer.Events(), row.events);
        const std::size_t frames = FrameBytesAtTheEnd() / FRAME_SIZE;
        ASSERT_EQ(frames * FRAME_SIZE, FrameBytesWritten()) << "a frame was cut short";
        std::vector<std::size_t> offsets;
        for (std::size_t k = 0; k < frames; ++k)
            for (std::size_t offset = 0; offset < image.size(); offset += FRAME_DATA_SIZE)
                if (FrameOnLine(k) == Expected(offset)) offsets.push_back(offset);
        EXPECT_EQ(offsets, row.offsets);
        EXPECT_EQ(countAboveLine, 0) << "a count reported exceeded the bytes that left the queue";
        TearDown();
        if (HasFatalFailure()) return;
    }
}

TEST_F(EnginePacedTest, TheSentCountFollowsTheQueueAsItEmpties) {
    PacedBegin();
    ASSERT_TRUE(WaitForFrames(1));
    EXPECT_LE(TakeSentCount(), 0) << "nothing of the frame has left the queue yet";
    LeaveUntil(FRAME_SIZE - 1000);
    EXPECT_TRUE(SentCountReaches(1000)) << "the count moves with the queue, with no write";
    LeaveUntil(0);
    EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(FRAME_SIZE)));
}

// --- The sent count

TEST_F(EngineTransferTest, TheSentCountIsNeverAheadOfTheLineAndCatchesUp) {
    // Held in the middle of a write of frame 0: the count stands at the writes that went out
    // whole, not one byte more.
    constexpr std::size_t kHeldAfter = kFrameWrite + 37;
    Begin(10000,
          [this] { port.OnByte(FrameByteIndex(0, kHeldAfter - 1), [this] { port.Hold(); }); });
    ASSERT_TRUE(port.WaitForWritersWaiting(1, kWait));
    EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(kFrameWrite)));
    EXPECT_EQ(TakeSentCount(), static_cast<std::int32_t>(kFrameWrite));
    port.Release();

    for (std::size_t k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(WaitForFrames(k));
        EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(k * FRAME_SIZE)));
        EXPECT_EQ(static_cast<std::size_t>(lastTaken.load()), FrameBytesWritten());
        Answer(k < 3 ? RSP_BLOCK_OK : RSP_DONE);
    }
    EXPECT_EQ(countAboveLine, 0) << "a count reported exceeded the bytes on the line";
    EXPECT_GT(observer.CountReports(), 1);
}

// --- The end

TEST_F(EngineTransferTest, DoneAfterTheLastFrameReportsThePositionAndForgetsTheFile) {
    Begin(10000);
    Play({{0, kOk}, {4096, kOk}, {8192, kDone}});
    EXPECT_EQ(observer.Events(),
              (std::vector<std::string>{"accepted 4096", "accepted 8192", "done 10000"}));
    EXPECT_FALSE(engine->HaveFirmware());
    EXPECT_EQ(FileOffset(), 0);
    // A late 82 finds no file: nothing is reported, nothing woken.
    Answer(RSP_BLOCK_OK);
    EXPECT_EQ(observer.Events().size(), 3u);
    EXPECT_EQ(engine->State().senderAwake, 0);
    EXPECT_EQ(FrameBytesAtTheEnd(), 3 * FRAME_SIZE);
}

}  // namespace
}  // namespace engine_test
