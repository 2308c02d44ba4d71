#include "upgrade/Sender.h"

#include <cstdio>

#include "upgrade/UpgradeEngine.h"

SenderThread::SenderThread(UpgradeEngine& engine, std::unique_ptr<SenderThread> superseded,
                           std::uint64_t serial)
    : engine_(engine), superseded_(std::move(superseded)), serial_(serial) {}

SenderThread::~SenderThread() {
    RequestStop();
    if (superseded_) superseded_->RequestStop();
    if (thread_.joinable()) thread_.join();
    superseded_.reset();
}

bool SenderThread::Start() {
    try {
        thread_ = std::thread([this] { SenderThreadProc(engine_, *this); });
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
    if (superseded_->thread_.joinable()) superseded_->thread_.join();
    superseded_->superseded_.reset();
}

namespace {

// Builds the frame for the block at fileOffset. False when that block lies outside the file
// (0 .. the size measured when it was chosen) or the file gave fewer bytes than it holds there:
// such a frame is not built, because the head would flash whatever it carried. A frame never
// carries bytes past that size, even when the file has grown since.
bool BuildNextFrame(TransferState& transferState, FirmwareFrame& frame) {
    std::lock_guard lock(transferState.fileMutex);
    const std::int32_t offset = transferState.fileOffset;
    const std::int32_t size = transferState.firmwareSize;
    if (!transferState.firmwareFile || offset < 0 || offset > size) return false;
    const std::size_t expected = std::min<std::size_t>(std::size_t(size - offset), FRAME_DATA_SIZE);
    std::uint8_t data[FRAME_DATA_SIZE];
    std::size_t n = 0;
    if (expected > 0 && std::fseek(transferState.firmwareFile.get(), offset, SEEK_SET) == 0) {
        n = std::fread(data, 1, expected, transferState.firmwareFile.get());
    }
    if (n < expected) return false;
    transferState.fileOffset = offset + static_cast<std::int32_t>(n);
    transferState.lastBlockLength = static_cast<std::int32_t>(n);
    transferState.lastBlockOffset = offset;
    transferState.frameChecksum =
        BuildFirmwareFrame(transferState.frameBuffer, offset, {data, n}, size);
    transferState.lastFrameFinal = transferState.frameBuffer[1] != 0;
    frame = transferState.frameBuffer;
    return true;
}

// Steps back to the start of the block whose frame did not get out whole, so that starting
// the transfer again sends that block, not the one after it.
void RewindToBlockStart(TransferState& transferState) {
    std::lock_guard lock(transferState.fileMutex);
    if (transferState.lastBlockLength > 0) transferState.fileOffset = transferState.lastBlockOffset;
    transferState.lastBlockLength = 0;
    if (transferState.firmwareFile) {
        std::fseek(transferState.firmwareFile.get(), transferState.fileOffset, SEEK_SET);
    }
}

}  // namespace

int SenderThreadProc(UpgradeEngine& engine, SenderThread& self) {
    TransferState& transferState = engine.state_;
    EngineInbox& inbox = engine.inbox_;
    // The head owes the tool an answer within the engine's wait, counted from now.
    const auto answerDue = [&] {
        inbox.Post(
            EngineMessage(EngineMessage::Kind::AnswerDue, {}, engine.clock_.Now(), self.Serial()));
    };
    self.RetireSuperseded();
    if (!transferState.portOpen) {
        std::lock_guard lock(self.mutex_);
        self.finished_ = true;
        return 0;
    }
    FirmwareFrame frame;
    bool running = true;
    while (running && !self.StopRequested()) {
        if (!BuildNextFrame(transferState, frame)) {
            // The transfer stops here; senderAwake stays 1, so later answers wake nothing.
            inbox.Post(EngineMessage(EngineMessage::Kind::FileUnreadable));
            break;
        }
        // The head owes the tool a frame's worth of reading and then an answer: a head that
        // holds the frame with XOFF for good is as silent as one that never answers it.
        answerDue();
        for (std::size_t i = 0; i < FRAME_SIZE && running; ++i) {
            // Cleared before the last byte goes out: the head can answer this frame only after
            // it, so the answer finds the sender ready for its wake-up.
            // The wait for the answer is posted before that byte too, so that it is never
            // acted on after the answer itself.
            if (i + 1 == FRAME_SIZE) {
                transferState.senderAwake = 0;
                answerDue();
            }
            // The byte as "%02x " text, without a formatting call for each of them.
            constexpr char kHexDigits[] = "0123456789abcdef";
            const char text[] = {kHexDigits[frame[i] >> 4], kHexDigits[frame[i] & 0x0F], ' '};
            if (!engine.SendHexText({text, sizeof text})) {
                // The port was closed or failed: the rest of the frame cannot reach the head,
                // and a byte that did not go out is not counted as sent. A sender ended on
                // purpose (its port reopened) has nothing to report.
                transferState.senderAwake = 1;  // ended: later answers wake nothing
                RewindToBlockStart(transferState);
                if (!self.StopRequested())
                    inbox.Post(EngineMessage(EngineMessage::Kind::WriteFailed));
                running = false;
                break;
            }
            ++transferState.bytesSent;
            engine.NoteByteSent();
            if (self.StopRequested()) {
                // Ended part-way (a newer sender takes over, or the engine stops): the block
                // has not gone out whole, so whoever sends next starts it again.
                if (i + 1 < FRAME_SIZE) RewindToBlockStart(transferState);
                running = false;
            }
        }
        if (running) running = self.WaitForWake();
    }
    std::lock_guard lock(self.mutex_);
    self.finished_ = true;
    return 0;
}
