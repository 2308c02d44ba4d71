// libFuzzer target: the transfer engine under a hostile head. The input picks an image of two or
// three blocks, whether the line's output queue empties at a pace, and then the steps: an answer
// now (its bytes as one chunk), an answer injected at an exact byte of a frame as it is written,
// a jump of the clock, or a new start of the transfer. After each report the head's side checks
// what the engine may claim:
// - done only as the answer to the frame of the last block, after that frame left the output
//   queue whole and every block before it was answered 82 in order, each after its frame left
//   the queue whole; and only once;
// - a block accepted only on such an 82, at the offset after that block;
// - nothing accepted or done once the transfer ended (done, done too early, done withheld);
// - the count of bytes sent never ahead of the bytes that left the line;
// - every whole frame on the line is a frame of the image, and frames never overlap;
// - every wait ends: each step settles within a bounded time, or the input is a finding.
// The clock is instant: the engine's pauses and the queue's pace move on its time, never sleep.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzInput.h"
#include "tests/support/MemoryLine.h"
#include "tests/support/TestClock.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"
#include "upgrade/UpgradeEngine.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Longer than any step takes on a loaded machine; a step that does not settle by then hangs.
constexpr auto kStepBound = 60s;
constexpr std::size_t kMaxSteps = 48;
// Where in a frame the sender's last write begins.
constexpr std::size_t kLastWriteStart = (FRAME_SIZE - 1) / kFrameWrite * kFrameWrite;

// What happened so far in this input, printed with a finding.
std::mutex traceMutex;
std::string trace;
void Trace(const std::string& what) {
    std::lock_guard lock(traceMutex);
    trace += what + "; ";
}

[[noreturn]] void Finding(const std::string& what) {
    {
        std::lock_guard lock(traceMutex);
        std::fprintf(stderr, "engine_fuzz: %s\n", trace.c_str());
    }
    std::fprintf(stderr, "engine_fuzz finding: %s\n", what.c_str());
    std::abort();
}

Bytes FrameFor(const Bytes& image, std::size_t offset) {
    FirmwareFrame frame;
    const std::size_t start = std::min(offset, image.size());
    const std::size_t n = std::min(FRAME_DATA_SIZE, image.size() - start);
    BuildFirmwareFrame(frame, static_cast<std::int32_t>(offset), {image.data() + start, n},
                       static_cast<std::int32_t>(image.size()));
    return Bytes(frame.begin(), frame.end());
}

// What the head has seen and said, judged from the line alone.
struct HeadModel {
    Bytes image;
    std::vector<Bytes> frames;  // the frame of each block, then the one past the image
    std::size_t blocks = 0;
    std::size_t taken = 0;       // blocks answered 82 in order, each after its frame went out whole
    std::vector<bool> answered;  // by frame on the line since the start
    bool done = false;
    bool ended = false;  // done, or a failure that ends the transfer

    // Which of frames the bytes are, or -1.
    // Which of frames begins with these bytes (all of it for a whole frame), or -1.
    int Which(const Bytes& frame) const {
        for (std::size_t k = 0; k < frames.size(); ++k)
            if (std::equal(frame.begin(), frame.end(), frames[k].begin()))
                return static_cast<int>(k);
        return -1;
    }
};

// One chunk put on the line and what it may mean, decided as it was put there.
struct Judged {
    bool blockTaken = false;  // an 82 that takes the next block
    std::int32_t position = 0;
    bool doneAllowed = false;  // an 84 that completes the image
};

class Harness final : public EngineObserver {
  public:
    Harness(Bytes image, std::uint32_t pace) {
        model_.image = std::move(image);
        model_.blocks = (model_.image.size() + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE;
        for (std::size_t b = 0; b < model_.blocks; ++b)
            model_.frames.push_back(FrameFor(model_.image, b * FRAME_DATA_SIZE));
        model_.frames.push_back(FrameFor(model_.image, model_.image.size()));
        if (pace != 0) port_.PaceOutput(clock_, pace);
        // Settle waits for the line to reach a frame's end: only then is there news for it.
        port_.SetWriteListener([this] {
            if (!started_ || (port_.WrittenCount() - framesBase_) % FRAME_SIZE == 0) Poke();
        });
        const Bytes bytes = model_.image;
        engine_ = std::make_unique<UpgradeEngine>(
            *this, UpgradeEngine::Options{.openLine = port_.Opener(),
                                          .clock = &clock_,
                                          .countRefresh = 0ms,
                                          .readImage =
                                              [bytes](const std::string&) {
                                                  OpenedImage opened;
                                                  opened.bytes = bytes;
                                                  opened.check.size =
                                                      static_cast<std::int32_t>(bytes.size());
                                                  opened.check.fault = ImageFault::None;
                                                  return opened;
                                              },
                                          .wake =
                                              [this] {
                                                  std::lock_guard lock(mutex_);
                                                  rung_ = true;
                                                  changed_.notify_all();
                                              }});
        engine_->SetChunkWatcher([this](std::span<const std::uint8_t>) { OnChunk(); });
    }

    ~Harness() override {
        engine_.reset();
        port_.SetWriteListener(nullptr);
    }

    bool Begin() {
        SerialSettings settings = engine_->LineSettings();
        settings.portName = "MEM1";
        if (!engine_->OpenPort(settings)) Finding("the memory line did not open");
        if (!engine_->OpenFirmware("image.bin").Opened()) Finding("the image did not open");
        engine_->Greet();
        Put({RSP_CONNECTED}, false);
        Settle();
        framesBase_ = port_.WrittenCount();
        {
            std::lock_guard lock(modelMutex_);
            started_ = true;
        }
        if (!engine_->StartUpgrade()) Finding("the transfer did not start");
        Settle();
        return true;
    }

    // An answer now, on a settled engine.
    void AnswerNow(Bytes chunk) {
        Put(std::move(chunk), false);
        Settle();
    }

    // An answer put on the line right after byte i of the k-th frame since the start is written.
    void AnswerAt(std::size_t k, std::size_t i, Bytes chunk) {
        const std::size_t index = framesBase_ + k * FRAME_SIZE + i;
        if (index < port_.WrittenCount()) return;  // that byte went out already
        {
            // The line keeps one hook a byte: a second answer at the same byte is dropped here
            // too, or the step would wait for a hook that never runs.
            std::lock_guard lock(mutex_);
            if (armed_.count(index) != 0) return;
            armed_.insert(index);
        }
        port_.OnByte(index, [this, index, chunk, generation = generation_.load()] {
            if (generation != generation_.load()) return;  // disarmed by a new start
            Put(chunk, true);
            std::lock_guard lock(mutex_);
            if (const auto found = armed_.find(index); found != armed_.end()) armed_.erase(found);
            changed_.notify_all();
        });
    }

    void Jump(std::chrono::milliseconds by) {
        Trace("jump " + std::to_string(by.count()) + " ms");
        clock_.Advance(by);
        Poke();
        Settle();
    }

    void Restart() {
        Trace("restart");
        {
            // A new start may drop what the head sent before it, a chunk a hook would wait for
            // among it: the hooks armed for the transfer that ends do nothing.
            std::lock_guard lock(mutex_);
            armed_.clear();
            ++generation_;
        }
        engine_->EndTransfer();
        {
            // A new transfer begins with the first block, whatever the head took before.
            std::lock_guard lock(modelMutex_);
            model_.taken = 0;
        }
        Settle();
        if (engine_->StartUpgrade()) {
            std::lock_guard lock(modelMutex_);
            model_.ended = false;
        }
        Settle();
    }

    // The line after the last step: whole frames of the image, one after another.
    void CheckLine() {
        const Bytes line = port_.WrittenBytes(framesBase_);
        std::size_t at = 0;
        for (; at + FRAME_SIZE <= line.size(); at += FRAME_SIZE) {
            const Bytes frame(line.begin() + at, line.begin() + at + FRAME_SIZE);
            if (model_.Which(frame) < 0)
                Finding("bytes on the line at " + std::to_string(at) +
                        " are no frame of the image");
        }
        if (at != line.size()) Finding("a frame was left part-way on a settled line");
    }

    // --- EngineObserver
    void OnPortStateChanged(bool open) override { Trace(open ? "port open" : "port closed"); }
    void OnPortReopened(bool open) override { Trace(open ? "reopened" : "not reopened"); }
    void OnFailure(TransferFailure failure) override {
        Trace("failure " + std::to_string(static_cast<int>(failure)));
        if (failure == TransferFailure::DoneTooEarly || failure == TransferFailure::DoneWithheld) {
            std::lock_guard lock(modelMutex_);
            model_.ended = true;
        }
    }
    void OnConnected() override {}
    void OnBlockAccepted(std::int32_t position) override {
        Trace("accepted " + std::to_string(position));
        std::lock_guard lock(modelMutex_);
        if (model_.ended) Finding("a block accepted after the transfer ended");
        if (!current_.blockTaken)
            Finding("block accepted at " + std::to_string(position) +
                    " without an 82 to its frame out whole, in order");
        if (position != current_.position)
            Finding("block accepted at " + std::to_string(position) + ", the head took up to " +
                    std::to_string(current_.position));
        current_.blockTaken = false;
    }
    void OnChecksumError() override {}
    void OnUpgradeDone(std::int32_t position) override {
        Trace("done " + std::to_string(position));
        std::lock_guard lock(modelMutex_);
        if (model_.ended) Finding("done after the transfer ended");
        if (!current_.doneAllowed)
            Finding("done at " + std::to_string(position) + " with " +
                    std::to_string(model_.taken) + " of " + std::to_string(model_.blocks) +
                    " blocks taken and no 84 to the last frame out whole");
        if (position != static_cast<std::int32_t>(model_.image.size()))
            Finding("done at " + std::to_string(position));
        model_.done = model_.ended = true;
        current_.doneAllowed = false;
    }
    void OnSentCountChanged(std::int32_t count) override {
        // The queue first, then the bytes written: a write in between adds to both, so the
        // difference is never less than the bytes that had left when the engine counted.
        const std::size_t queued = static_cast<std::size_t>(std::max(0, port_.OutputQueued()));
        const std::size_t written = port_.WrittenCount() - framesBase_;
        const std::size_t out = written - std::min(written, queued);
        if (count > 0 && static_cast<std::size_t>(count) > out)
            Finding("count " + std::to_string(count) + " ahead of the " + std::to_string(out) +
                    " bytes that left the line");
    }

  private:
    // Puts a chunk on the line, judged by the line as it stands now (it cannot move until the
    // engine has acted on the chunk: a hook holds the writer, a settled sender is parked and
    // the clock only moves by the steps). From a hook, waits until the engine acted on it.
    void Put(Bytes chunk, bool fromHook) {
        Trace(std::string(fromHook ? "hook " : "put ") + std::to_string(chunk.front()) + " at " +
              std::to_string(port_.WrittenCount() - framesBase_));
        Judged judged;
        {
            std::lock_guard lock(modelMutex_);
            judged = Judge(chunk.front());
            pending_.push_back(judged);
        }
        std::size_t before;
        {
            std::lock_guard lock(mutex_);
            before = pushed_++;
        }
        if (!port_.Push(std::move(chunk))) Finding("the memory line closed");
        if (fromHook) {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, kStepBound, [&] { return handled_ > before; }))
                Finding("a chunk injected at a byte was never acted on");
        }
    }

    Judged Judge(std::uint8_t code) {
        Judged judged;
        if (!started_) return judged;
        const std::size_t written = port_.WrittenCount() - framesBase_;
        const std::size_t queued = static_cast<std::size_t>(std::max(0, port_.OutputQueued()));
        // Only a frame that has left the queue can be answered, and only once. The engine takes
        // a frame as out from the start of its last write on (the sender parks just before it,
        // so that a quick answer finds it ready): an answer that comes while that write is under
        // way and the queue is empty is taken as the answer to the frame too. The oracle allows
        // that (see docs/testing.md); an answer before the last write never counts.
        const std::size_t into = written % FRAME_SIZE;
        const bool whole = into == 0;
        if (queued != 0 || written == 0 || (!whole && into <= kLastWriteStart)) return judged;
        const std::size_t m = whole ? written / FRAME_SIZE - 1 : written / FRAME_SIZE;
        if (model_.answered.size() <= m) model_.answered.resize(m + 1, false);
        if (model_.answered[m]) return judged;
        if (!IsChecksumError(code) && code != RSP_BLOCK_OK && code != RSP_DONE) return judged;
        model_.answered[m] = true;
        const int which = model_.Which(
            port_.WrittenBytes(framesBase_ + m * FRAME_SIZE, whole ? FRAME_SIZE : into));
        if (which < 0)
            Finding("frame " + std::to_string(m) + " on the line is no frame of the image");
        const std::size_t block = static_cast<std::size_t>(which);
        if (code == RSP_BLOCK_OK && block == model_.taken && block < model_.blocks) {
            ++model_.taken;
            judged.blockTaken = true;
            judged.position = static_cast<std::int32_t>(
                std::min(model_.taken * FRAME_DATA_SIZE, model_.image.size()));
        }
        // 84 to the frame of the last block, or to the one past the image once all were taken.
        if (code == RSP_DONE && ((block + 1 == model_.blocks && model_.taken == block) ||
                                 (block == model_.blocks && model_.taken == model_.blocks)))
            judged.doneAllowed = true;
        return judged;
    }

    // The engine begins to act on the next chunk (front end's thread).
    void OnChunk() {
        {
            std::lock_guard lock(modelMutex_);
            if (pending_.empty()) Finding("a chunk acted on that was never put on the line");
            current_ = pending_.front();
            pending_.pop_front();
        }
        std::lock_guard lock(mutex_);
        ++seen_;
    }

    void Poke() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }

    // The sender is parked (after the last byte of its frame: it parks just before its last
    // write) or gone, and every hook of a byte written has run, so the line does not move
    // until the engine acts. Called with mutex_ held.
    bool SenderStill() {
        const TransferState& state = engine_->State();
        const bool atFrameEnd = !started_ || (port_.WrittenCount() - framesBase_) % FRAME_SIZE == 0;
        // A hook of a byte that is written runs on the writer after the byte is recorded.
        if (!armed_.empty() && *armed_.begin() < port_.WrittenCount()) return false;
        return atFrameEnd &&
               (state.senderAwake == 0 || !state.senderThread || state.senderThread->Finished());
    }

    // Pumps until every chunk put on the line was acted on and the sender is still.
    void Settle() {
        const auto deadline = std::chrono::steady_clock::now() + kStepBound;
        std::unique_lock lock(mutex_);
        for (;;) {
            rung_ = false;
            lock.unlock();
            engine_->Pump();
            lock.lock();
            if (handled_ != seen_) {
                handled_ = seen_;
                changed_.notify_all();
            }
            if (rung_) continue;
            if (handled_ == pushed_ && SenderStill()) return;
            const auto next = engine_->NextDeadline();
            if (next && *next <= clock_.Now()) continue;
            // Woken by the engine's waker, a chunk acted on, a frame's last byte; a sender that
            // ends rings nothing, so the conditions are looked at again every millisecond too.
            if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                                 1ms)) == std::cv_status::timeout &&
                std::chrono::steady_clock::now() >= deadline)
                Finding("a step never settled: the engine waits for ever");
        }
    }

    memory_line::MemoryPort port_;
    TestClock clock_{TestClock::Mode::Instant};
    std::unique_ptr<UpgradeEngine> engine_;
    std::size_t framesBase_ = 0;
    std::atomic<bool> started_{false};

    std::mutex modelMutex_;
    HeadModel model_;
    std::deque<Judged> pending_;
    Judged current_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool rung_ = false;
    std::size_t pushed_ = 0, seen_ = 0, handled_ = 0;
    std::multiset<std::size_t> armed_;
    std::atomic<unsigned> generation_{0};  // of the hooks: a new start disarms the armed ones  //
                                           // bytes whose hooks have not run to their end
};

// An answer's bytes: mostly one of the head's codes first, then any bytes.
Bytes Chunk(FuzzInput& input) {
    static constexpr std::uint8_t kCodes[] = {RSP_BLOCK_OK,       RSP_BLOCK_OK,         RSP_DONE,
                                              RSP_CHECKSUM_ERROR, RSP_CHECKSUM_ERROR_2, RSP_FAILED,
                                              RSP_TIMEOUT,        RSP_CONNECTED};
    const std::uint8_t pick = input.Byte();
    Bytes chunk{pick < 0xF0 ? kCodes[pick % 8] : input.Byte()};
    for (std::size_t more = input.Byte() % 4; more > 0; --more) chunk.push_back(input.Byte());
    return chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    {
        std::lock_guard lock(traceMutex);
        trace.clear();
    }
    // 0: bytes leave at once; else 2400 to 115200 bit/s, in bytes a second.
    const std::uint8_t paceByte = input.Byte();
    const std::uint32_t pace = paceByte % 2 == 0 ? 0 : 240u * (1u + paceByte % 48u);
    const std::size_t imageSize = FRAME_DATA_SIZE + 1 + input.Word() % (2 * FRAME_DATA_SIZE);
    Bytes image(imageSize);
    for (std::size_t i = 0; i < imageSize; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);

    Harness harness(std::move(image), pace);
    harness.Begin();
    for (std::size_t step = 0; step < kMaxSteps && !input.Empty(); ++step) {
        switch (input.Byte() % 5) {
            case 0:
            case 1:
                harness.AnswerNow(Chunk(input));
                break;
            case 2: {
                const std::size_t frame = input.Byte() % 6;
                const std::size_t at = input.Word() % FRAME_SIZE;
                harness.AnswerAt(frame, at, Chunk(input));
                break;
            }
            case 3:
                harness.Jump(std::chrono::milliseconds(1 + input.Word()));
                break;
            case 4:
                harness.Restart();
                break;
        }
    }
    harness.CheckLine();
    return 0;
}
