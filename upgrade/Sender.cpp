#include "upgrade/Sender.h"

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
    // The head owes the tool a frame's worth of reading and then an answer: a head that holds
    // the frame with XOFF for good is as silent as one that never answers it.
    answerDue();
    for (std::size_t i = 0; i < FRAME_SIZE; ++i) {
        // Cleared before the last byte goes out: the head can answer this frame only after it,
        // so the answer finds the sender ready for its wake-up. The wait for the answer is
        // posted before that byte too, so that it is never acted on after the answer itself.
        if (i + 1 == FRAME_SIZE) {
            links_.senderAwake = 0;
            answerDue();
        }
        // The byte as "%02x " text, without a formatting call for each of them.
        constexpr char kHexDigits[] = "0123456789abcdef";
        const char text[] = {kHexDigits[frame[i] >> 4], kHexDigits[frame[i] & 0x0F], ' '};
        if (!links_.send({text, sizeof text})) {
            // The port was closed or failed: the rest of the frame cannot reach the head, and a
            // byte that did not go out is not counted as sent. A sender ended on purpose (its
            // port reopened) has nothing to report.
            links_.senderAwake = 1;  // ended: later answers wake nothing
            links_.firmware.RewindToBlockStart();
            if (!StopRequested())
                links_.inbox.Post(EngineMessage(EngineMessage::Kind::WriteFailed));
            return false;
        }
        links_.byteSent();
        if (StopRequested()) {
            // Ended part-way (a newer sender takes over, or the engine stops): the block has
            // not gone out whole, so whoever sends next starts it again.
            if (i + 1 < FRAME_SIZE) links_.firmware.RewindToBlockStart();
            return false;
        }
    }
    return true;
}

int SenderThread::Run() {
    RetireSuperseded();
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
