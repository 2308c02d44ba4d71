// The engine: port control, send path, firmware file, sender start, the thread contract, the
// handshake and the head's answers.
#include "upgrade/UpgradeEngine.h"

#include <algorithm>

#include "serial/HexText.h"
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"

namespace {
constexpr std::uint32_t kReadIntervalTimeoutMs = 600000;  // ten minutes
}

UpgradeEngine::UpgradeEngine(EngineObserver& observer, Options options)
    : observer_(observer),
      clock_(options.clock ? *options.clock : SystemClock::Instance()),
      answerWait_(options.answerWait),
      firmware_(std::move(options.readImage)),
      countRefresh_(options.countRefresh),
      inbox_(std::move(options.wake)) {
    state_.portHandle = INVALID_PORT_HANDLE;
    state_.serialPort = std::make_unique<CSerialPort>(std::move(options.openLine));
    lineSettings_.baudRate = UPGRADE_BAUD_RATE;
}

UpgradeEngine::~UpgradeEngine() {
    StopAll();
}

void UpgradeEngine::StopAll() {
    // Senders are asked to end first, then the port is closed (which ends the receive loop and
    // any write held by XOFF), then the threads are waited for.
    if (state_.senderThread) state_.senderThread->RequestStop();
    for (auto& sender : retiredSenders_) sender->RequestStop();
    ClosePortAndLoop();
    state_.portOpen = false;
    state_.senderThread.reset();
    retiredSenders_.clear();
    inbox_.Clear();  // nothing is acted on after the end
}

// --- The port

bool UpgradeEngine::OpenPort(const SerialSettings& settings) {
    lineSettings_ = settings;
    return OpenLine();
}

bool UpgradeEngine::OpenLine() {
    // Every opening is 8 data bits, no parity, one stop bit.
    lineSettings_.byteSize = 8;
    lineSettings_.parity = 0;
    lineSettings_.stopBits = 0;
    CSerialPort& port = *state_.serialPort;
    port.Configure(lineSettings_);

    PortHandle handle = port.Open();
    state_.portHandle = handle;
    std::optional<TransferFailure> failure;
    if (handle == INVALID_PORT_HANDLE) {
        failure = TransferFailure::PortOpenFailed;
    } else if (!port.SetTimeouts(kReadIntervalTimeoutMs, handle)) {
        failure = TransferFailure::PortTimeoutsFailed;
    } else if (!port.SetLineSettings(handle)) {
        failure = TransferFailure::PortOpenFailed;
    } else if (!port.InitOverlapped()) {
        port.Close(handle);  // never used again: let the port go
        observer_.OnFailure(TransferFailure::PortEventsFailed);
        return false;
    }
    if (failure) {
        // A device opened but refused its settings is released, so nothing stays held.
        if (handle) port.Close(handle);
        observer_.OnFailure(*failure);
        state_.portOpen = false;
        observer_.OnPortStateChanged(false);
        return false;
    }
    state_.portOpen = true;
    observer_.OnPortStateChanged(true);
    StartReceiveLoop();
    return true;
}

void UpgradeEngine::StartReceiveLoop() {
    // At most one loop: the one of an earlier opening has ended with the closing of its
    // port and is only waited for here.
    receiveLoop_.reset();
    auto loop = std::make_unique<ReceiveLoop>(
        *state_.serialPort, state_.portHandle.load(),
        [this](std::vector<std::uint8_t> chunk) {
            // Where the frame stood is noted as the chunk comes, not when it is acted on: by
            // then the rest of the frame may have left the queue.
            EngineMessage message(EngineMessage::Kind::Chunk, std::move(chunk));
            message.frameOut = FrameOutNow();
            inbox_.Post(std::move(message));
        },
        [this](int exitCode) {
            if (exitCode != 0) inbox_.Post(EngineMessage(EngineMessage::Kind::LoopEnded));
        });
    if (!loop->Start()) {
        observer_.OnFailure(TransferFailure::ThreadNotStarted);
        return;
    }
    receiveLoop_ = std::move(loop);
}

void UpgradeEngine::ClosePortAndLoop(Keep keep) {
    answerDueSince_.reset();  // nothing can answer on a closed port
    if (keep == Keep::Device) {
        state_.serialPort->CloseForReopening(state_.portHandle.load());
    } else {
        state_.serialPort->Close(state_.portHandle.load());
    }
    receiveLoop_.reset();  // its wait has ended with the closing
}

void UpgradeEngine::ClosePortEndingFrame(bool quiet, Keep keep) {
    // A sender part-way through a frame must not go on with the rest of it on the next opening
    // (at another speed, perhaps): it is ended as the port closes, and waited for.
    const bool partWay = state_.senderThread && state_.senderAwake == 1;
    if (partWay && quiet) state_.senderThread->RequestStop();
    ClosePortAndLoop(keep);
    if (partWay) {
        state_.senderThread->Join();  // its write has failed with the closing, and it has ended
        state_.senderThread.reset();
    }
}

void UpgradeEngine::ClosePort() {
    if (!state_.portOpen) return;
    ClosePortEndingFrame(false);
    state_.portOpen = false;
    observer_.OnPortStateChanged(false);
}

void UpgradeEngine::ChangePort(const SerialSettings& settings) {
    if (state_.portOpen) {
        ClosePortEndingFrame(true);
        state_.portOpen = false;
    }
    OpenPort(settings);
}

void UpgradeEngine::ReopenPort() {
    if (!state_.portOpen) return;
    ClosePortEndingFrame(true, Keep::Device);
    Pause(kReopenPause);
    state_.portOpen = false;
    OpenLine();
    observer_.OnPortReopened(state_.portOpen);
}

void UpgradeEngine::CheckLine() {
    // Only the loop of the port open now counts, and only when it ended by a failure: a loop
    // ends normally when its port is closed on purpose.
    if (!state_.portOpen || !receiveLoop_ || !receiveLoop_->Finished() ||
        receiveLoop_->ExitCode() == 0)
        return;
    ClosePortEndingFrame(false);
    state_.portOpen = false;
    observer_.OnPortStateChanged(false);
    observer_.OnFailure(TransferFailure::PortLost);
}

// --- The send path

bool UpgradeEngine::SendHexText(std::string_view text) {
    std::size_t decoded = 0;
    return WriteHexText(text, decoded) == decoded;
}

std::size_t UpgradeEngine::WriteHexText(std::string_view text, std::size_t& decodedCount) {
    const hex_text::DecodedText decoded = hex_text::DecodeForSending(text);
    decodedCount = decoded.count;
    if (decoded.count == 0) return 0;
    // The handle serialises writes, so the front end's thread and the sender take turns
    // write by write, and neither holds anything while it waits for the other.
    const PortHandle handle = state_.portHandle.load();
    return state_.serialPort->Write(decoded.bytes.data(), static_cast<std::uint32_t>(decoded.count),
                                    handle);
}

// --- The firmware file

ImageCheck UpgradeEngine::OpenFirmware(const std::string& path) {
    return firmware_.Open(path);
}

void UpgradeEngine::ForgetFirmware() {
    firmware_.Forget();
}

void UpgradeEngine::EndTransfer() {
    // The sender stays referenced, so that the next one ends it (and waits for it) before it
    // sends; a frame it is part-way through still goes out whole, and the offset starts again
    // at the first block.
    if (state_.senderThread) state_.senderThread->RequestStop();
    answerDueSince_.reset();
    firmware_.Reset();
}

// --- The sender

bool UpgradeEngine::StartUpgrade() {
    if (!HaveFirmware()) return false;
    // The new sender ends the one before it (on its own thread, so a write held by XOFF does
    // not hold the caller) before it sends anything.
    auto sender = std::make_unique<SenderThread>(LinksForSender(), std::move(state_.senderThread),
                                                 ++sendersStarted_);
    // Set before the thread runs: it clears the flag itself once its frame is out.
    const int wasAwake = state_.senderAwake.exchange(1);
    if (!sender->Start()) {
        state_.senderAwake = wasAwake;
        // The earlier sender is no longer referenced but may be held in a write by XOFF; it is
        // ended with the engine rather than waited for here.
        if (auto earlier = sender->ReleaseSuperseded())
            retiredSenders_.push_back(std::move(earlier));
        observer_.OnFailure(TransferFailure::ThreadNotStarted);
        return true;
    }
    state_.senderThread = std::move(sender);
    return true;
}

SenderLinks UpgradeEngine::LinksForSender() {
    const PortHandle handle = state_.portHandle.load();
    return SenderLinks{
        firmware_,
        inbox_,
        clock_,
        state_.senderAwake,
        frameMark_,
        [this] { return state_.portOpen.load(); },
        [this](std::string_view text) {
            std::size_t decoded = 0;
            return WriteHexText(text, decoded);
        },
        [this](std::int32_t count) {
            state_.bytesSent += count;
            NoteBytesSent();
        },
        // As the open line prefers (a sender is started on the line its frames go out on).
        handle ? handle->PreferredWriteSize() : kFrameWrite,
    };
}

std::uint64_t UpgradeEngine::CurrentSender() const {
    const SenderThread* sender = state_.senderThread.get();
    return sender && !sender->StopRequested() ? sender->Serial() : 0;
}

void UpgradeEngine::NoteBytesSent() {
    if (countWatched_.exchange(false)) inbox_.Ring();
}

void UpgradeEngine::AwaitAnswer(Awaited what, EngineClock::TimePoint since) {
    awaited_ = what;
    answerDueSince_ = since;
    noAnswerReported_ = false;
}

// --- The thread contract

void UpgradeEngine::Pump() {
    const EngineClock::TimePoint now = clock_.Now();
    // One message at a time: a report below may pump again (a box that keeps serving events),
    // and the inner pump goes on where this one stands.
    while (std::optional<EngineMessage> message = inbox_.Take()) Handle(*message, now);
    RefreshCount(now, false);
    CheckAnswerWait(now);
}

void UpgradeEngine::Handle(EngineMessage& message, EngineClock::TimePoint now) {
    switch (message.kind) {
        case EngineMessage::Kind::Chunk:
            RefreshCount(clock_.Now(), true);
            if (chunkWatcher_) chunkWatcher_(message.bytes);
            HandleAnswer(message.bytes, message.frameOut);
            break;
        case EngineMessage::Kind::LoopEnded:
            CheckLine();
            break;
        case EngineMessage::Kind::AnswerDue:
            // A sender that was ended meanwhile waits for nothing any more.
            if (message.sender == CurrentSender() && state_.portOpen)
                AwaitAnswer(Awaited::Frame, message.at);
            break;
        case EngineMessage::Kind::FrameSent:
            if (message.sender == CurrentSender()) observer_.OnFrameSent(message.offset);
            break;
        case EngineMessage::Kind::WriteFailed:
            RefreshCount(now, true);
            observer_.OnFailure(TransferFailure::WriteFailed);
            break;
        case EngineMessage::Kind::FileUnreadable:
            observer_.OnFailure(TransferFailure::FileUnreadable);
            break;
    }
}

void UpgradeEngine::OnSerialData(std::span<const std::uint8_t> chunk) {
    const std::uint64_t frameOut = FrameOutNow();
    // The count is final before whatever the answer brings is told.
    RefreshCount(clock_.Now(), true);
    if (chunkWatcher_) chunkWatcher_(chunk);
    HandleAnswer(chunk, frameOut);
}

int UpgradeEngine::OutputWaiting() const {
    const PortHandle handle = state_.portHandle.load();
    return handle ? std::max(0, handle->OutputQueued()) : 0;
}

std::uint64_t UpgradeEngine::FrameOutNow() const {
    // The mark first, the queue after it: bytes of a later write can only make the queue
    // longer, never let a frame that is still going out count as out.
    const std::uint64_t mark = frameMark_.load();
    if (mark % 2 == 0 || OutputWaiting() > 0) return 0;
    return mark / 2;
}

bool UpgradeEngine::AnswersFrameOut(std::uint64_t frameOut) const {
    return frameOut != 0 && frameOut == frameMark_.load() / 2 && state_.senderThread &&
           state_.senderAwake == 0;
}

void UpgradeEngine::RefreshCount(EngineClock::TimePoint now, bool force) {
    // The count is of bytes that have left the output queue: handed over, less what still
    // waits there (read in this order, so that a write in between only holds the count back).
    const std::int32_t handed = state_.bytesSent.load();
    const int waiting = OutputWaiting();
    const std::int32_t count = std::max(shownCount_, handed - waiting);
    if (count == shownCount_ && waiting > 0) {
        // The queue drains at the line's pace with no write to ring: look again then.
        countDue_ = now + std::max(countRefresh_, std::chrono::milliseconds(1));
        return;
    }
    if (count == shownCount_) {
        // Standing still: nothing to look at until the sender's next write rings.
        countDue_.reset();
        countWatched_ = true;
        // A byte counted just before the watch began rang nobody: look again soon.
        if (state_.bytesSent.load() != count && countWatched_.exchange(false))
            countDue_ = countShownAt_ ? *countShownAt_ + countRefresh_ : now;
        return;
    }
    if (!force && countShownAt_ && now - *countShownAt_ < countRefresh_) {
        countDue_ = *countShownAt_ + countRefresh_;
        return;
    }
    shownCount_ = count;
    countShownAt_ = now;
    countDue_ = now + countRefresh_;  // to see whether it has moved on meanwhile
    observer_.OnSentCountChanged(count);
}

void UpgradeEngine::CheckAnswerWait(EngineClock::TimePoint now) {
    if (!answerDueSince_ || noAnswerReported_) return;  // none awaited, or told already
    if (now - *answerDueSince_ < answerWait_) return;
    noAnswerReported_ = true;
    observer_.OnFailure(TransferFailure::NoAnswer);
}

std::optional<EngineClock::TimePoint> UpgradeEngine::NextDeadline() const {
    std::optional<EngineClock::TimePoint> next = countDue_;
    if (answerDueSince_ && !noAnswerReported_) {
        const EngineClock::TimePoint due = *answerDueSince_ + answerWait_;
        if (!next || due < *next) next = due;
    }
    return next;
}

// --- The handshake

void UpgradeEngine::Greet() {
    // The loader's answer is awaited only when the greeting went out.
    if (state_.portOpen && SendHexText(GreetingHexText()))
        AwaitAnswer(Awaited::Greeting, clock_.Now());
}

void UpgradeEngine::SelectDevice(const DeviceSelection& device) {
    const std::string command =
        FormatCommandHexText(BuildStartUpgradeFrame(device.address, device.protocolIndex));
    if (const auto speed = DeviceSpeedForIndex(device.speedIndex)) lineSettings_.baudRate = *speed;
    Pause(kCommandPause);
    ReopenPort();
    // With the port closed (or its reopening failed) the write reaches no line.
    SendHexText(command);
    Pause(kCommandPause);
    lineSettings_.baudRate = UPGRADE_BAUD_RATE;
    ReopenPort();
}

// --- The head's answers: each chunk counts by its first byte only.

void UpgradeEngine::HandleAnswer(std::span<const std::uint8_t> chunk, std::uint64_t frameOut) {
    if (chunk.empty()) return;
    // Each handling acts on the first byte of its own chunk, also when a report below lets a
    // newer answer be handled (and lastResponse be overwritten) meanwhile.
    const std::uint8_t code = chunk.front();
    lastResponse_ = code;
    // An answer to a frame can only come once all of the frame has left the output queue, and
    // only for the frame out now: one that came while bytes of it still waited there (an echo
    // of an earlier answer, noise that looks like a code) answers nothing.
    // A frame has one answer: a second one for the same frame (an echo handled while a box
    // told of the first) answers nothing.
    const bool out = AnswersFrameOut(frameOut) && frameOut != frameAnswered_;
    if (out && (code == RSP_BLOCK_OK || IsChecksumError(code) || code == RSP_DONE))
        frameAnswered_ = frameOut;
    // Only an answer to what was sent ends the wait for one: a chunk that starts with anything
    // else (noise, an answer hidden behind it, a code that answers something else) leaves the
    // operator to be told of the silence.
    if (awaited_ == Awaited::Greeting ? AnswersGreeting(code) : (AnswersFrame(code) && out))
        answerDueSince_.reset();
    if (code == RSP_CONNECTED) observer_.OnConnected();
    if (code == RSP_BLOCK_OK) OnBlockAccepted(out);
    if (IsChecksumError(code)) OnChecksumError(out);
    if (code == RSP_DONE) OnUpgradeDone(out);
    if (code == RSP_FAILED) observer_.OnFailure(TransferFailure::HeadFailed);
    if (code == RSP_TIMEOUT) observer_.OnFailure(TransferFailure::HeadTimedOut);
}

bool UpgradeEngine::WakeParkedSender() {
    // Only a parked sender is woken; one that is still sending, or none at all, is left alone.
    if (state_.senderAwake != 0 || !state_.senderThread) return false;
    state_.senderAwake = 1;
    state_.senderThread->Wake();
    return true;
}

void UpgradeEngine::OnBlockAccepted(bool frameOut) {
    // Only the answer to a frame that went out whole counts: one that comes while a frame is
    // still going out (a repeated answer to the frame before) takes no block and wakes nothing.
    if (!frameOut) return;
    if (firmware_.LastFrameWasPastTheImage()) {
        // 82 again to the frame after the last block, where only 84 can follow: the head
        // never says done, and more frames would only load fill past the image.
        EndTransfer();
        observer_.OnFailure(TransferFailure::DoneWithheld);
        return;
    }
    const std::optional<std::int32_t> position = firmware_.BlockAccepted();
    if (!position) return;  // no file, or the block was taken already
    observer_.OnBlockAccepted(*position);
    Pause(kNextBlockPause);
    WakeParkedSender();
}

void UpgradeEngine::OnChecksumError(bool frameOut) {
    observer_.OnChecksumError();
    if (!frameOut) return;
    // Back to the start of the block just sent, so the same frame goes out again.
    if (firmware_.SameBlockAgain()) WakeParkedSender();
}

void UpgradeEngine::OnUpgradeDone(bool frameOut) {
    // With no transfer under way (none started, or it ended: done, failed, another file
    // chosen) an 84 answers nothing, as an 82 does: no transfer failed.
    if (!TransferUnderWay()) return;
    // Done means done only as the answer to the frame with the last-block flag, once all of it
    // has left the output queue and the head took every block before it.
    const bool whole = firmware_.LastFrameCompletesImage() && frameOut;
    if (!whole) {
        EndTransfer();
        observer_.OnFailure(TransferFailure::DoneTooEarly);
        return;
    }
    // Finished before the report: an 84 handled while the report's box is open finds the
    // transfer over, not a transfer that failed.
    observer_.OnUpgradeDone(firmware_.Finish());
}
