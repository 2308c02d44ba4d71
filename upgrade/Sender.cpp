#include "upgrade/Sender.h"

#include <algorithm>
#include <string>

#include "serial/HexText.h"

SenderThread::SenderThread(SenderLinks links, std::unique_ptr<SenderThread> superseded,
                           std::uint64_t serial)
    : links_(std::move(links)), superseded_(std::move(superseded)), serial_(serial) {}

SenderThread::~SenderThread() {
    RequestStop();
    if (superseded_) superseded_->RequestStop();
    if (thread_.joinable()) thread_.join();
    superseded_.reset();
}

bool SenderThread::Start() {
    try {
        thread_ = std::thread([this] { SenderThreadProc(*this); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void SenderThread::Wake() {
    std::lock_guard lock(mutex_);
    wakePending_ = true;
    wakeCondition_.notify_one();
}

void SenderThread::RequestStop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    wakeCondition_.notify_one();
}

void SenderThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool SenderThread::WaitForWake() {
    std::unique_lock lock(mutex_);
    wakeCondition_.wait(lock, [this] { return wakePending_ || stopRequested_; });
    if (stopRequested_) return false;
    wakePending_ = false;
    return true;
}

bool SenderThread::StopRequested() const {
    std::lock_guard lock(mutex_);
    return stopRequested_;
}

bool SenderThread::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void SenderThread::RetireSuperseded() {
    if (!superseded_) return;
    superseded_->RequestStop();
    superseded_->Join();
    superseded_->superseded_.reset();
}

bool SenderThread::SendFrame(const FirmwareFrame& frame) {
    // The head owes the tool an answer within the engine's wait, counted from now.
    const auto answerDue = [this] {
        links_.inbox.Post(
            EngineMessage(EngineMessage::Kind::AnswerDue, {}, links_.clock.Now(), serial_));
    };
    const std::uint64_t number = links_.frameMark.load() / 2 + 1;
    links_.frameMark = 2 * number;
    // The head owes the tool a frame's worth of reading and then an answer: a head that holds
    // the frame with XOFF for good is as silent as one that never answers it.
    answerDue();
    // As the line prefers, within what one text of the send path carries.
    const std::size_t step =
        std::clamp<std::size_t>(links_.writeSize, 1, hex_text::kMaxTextLength / 3);
    // The bytes as "%02x " text, without a formatting call for each of them.
    std::string text(3 * step, ' ');
    for (std::size_t start = 0; start < FRAME_SIZE; start += step) {
        const std::size_t count = std::min(step, FRAME_SIZE - start);
        const bool last = start + count == FRAME_SIZE;
        // Cleared before the last write goes out: the head can answer this frame only after
        // it, so the answer finds the sender ready for its wake-up. The wait for the answer is
        // posted before that write too, so that it is never acted on after the answer itself.
        if (last) {
            links_.frameMark = 2 * number + 1;
            links_.senderAwake = 0;
            answerDue();
        }
        constexpr char kHexDigits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t byte = frame[start + i];
            text[3 * i] = kHexDigits[byte >> 4];
            text[3 * i + 1] = kHexDigits[byte & 0x0F];
            text[3 * i + 2] = ' ';
        }
        const std::size_t out = links_.send({text.data(), 3 * count});
        if (out > 0) links_.bytesSent(static_cast<std::int32_t>(out));
        if (start == 0 && out > 0) {
            EngineMessage sent(EngineMessage::Kind::FrameSent, {}, {}, serial_);
            sent.offset = BlockOffsetOf(frame);
            links_.inbox.Post(std::move(sent));
        }
        if (out != count) {
            // The port was closed or failed: the rest of the frame cannot reach the head, and
            // the bytes that did not go out are not counted as sent. A sender ended on purpose
            // (its port reopened) has nothing to report.
            links_.senderAwake = 1;  // ended: later answers wake nothing
            links_.firmware.RewindToBlockStart();
            if (!StopRequested())
                links_.inbox.Post(EngineMessage(EngineMessage::Kind::WriteFailed));
            return false;
        }
        // A stop asked for meanwhile waits for the frame's end: a frame cut short would leave
        // the head reading the next one's first bytes as the rest of this one.
    }
    return !StopRequested();
}

int SenderThread::Run() {
    RetireSuperseded();
    links_.firmware.RestartAtFirstNotTaken();
    if (links_.portOpen()) {
        while (!StopRequested()) {
            const std::optional<FirmwareFrame> frame = links_.firmware.NextFrame();
            if (!frame) {
                // The transfer stops here; senderAwake stays 1, so later answers wake nothing.
                links_.inbox.Post(EngineMessage(EngineMessage::Kind::FileUnreadable));
                break;
            }
            if (!SendFrame(*frame) || !WaitForWake()) break;
        }
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    return 0;
}
