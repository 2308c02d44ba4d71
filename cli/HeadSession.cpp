#include "cli/HeadSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/FlashRun.h"
#include "cli/InterruptSource.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"

namespace flash {
namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(std::chrono::milliseconds duration) {
    char text[32];
    if (duration.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(duration.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.3g", duration.count() / 1000.0);
    }
    return text;
}

}  // namespace

bool HeadSession::Run(const WaitUntil& waitUntil) {
    start_ = Clock::now();
    const DeviceSelection device{static_cast<std::uint8_t>(address_), options_.protocolIndex,
                                 options_.speedIndex};

    engine_.EndTransfer();
    const ImageCheck image = engine_.OpenFirmware(options_.image);
    imageSize_ = image.size;
    if (!image.Opened()) {
        phase_ = Phase::Greeting;  // so that the failure counts for this head
        Fail(TransferFailure::ImageRefused, ImageSentence(options_.image, image));
        return true;
    }
    const std::vector<std::uint8_t> command =
        BuildStartUpgradeFrame(device.address, device.protocolIndex);
    events_.Command(address_, command, options_.speed);
    phase_ = Phase::Greeting;
    engine_.SelectDevice(device);
    if (failure_) return true;
    engine_.DropReceived();  // what came before the loader was greeted answers nothing of this head

    engine_.Greet();
    if (!engine_.PortOpen()) Fail(TransferFailure::PortClosed);
    if (!waitUntil([&] { return done_ || failure_ || connected_; })) return false;
    if (done_ || failure_) return true;
    events_.Connected(address_);

    phase_ = Phase::Sending;
    sentBase_ = engine_.SentCount();
    sendStart_ = Clock::now();
    if (!engine_.StartUpgrade()) {
        Fail(TransferFailure::ImageRefused, "the image " + options_.image + " is no longer open.");
        return true;
    }
    events_.Sending(Progress());
    return waitUntil([&] { return done_ || failure_; });
}

void HeadSession::Interrupt(int signal) {
    // Whatever the head's end was, the signal is what the run stopped for.
    done_ = false;
    failure_ = TransferFailure::Interrupted;
    signal_ = signal;
    message_ = ReasonFor(*failure_).sentence(Facts());
    events_.Interrupted(message_);
}

HeadResult HeadSession::Finish() {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const bool done = done_;
    if (phase_ == Phase::Sending) events_.SendingEnded(Progress(), done);
    HeadResult result{
        address_, done ? "done" : "failed", done ? std::nullopt : failure_, frames_, resends_,
        seconds};
    if (done) {
        events_.Done(result);
    } else {
        events_.Failed(result, message_);
    }
    return result;
}

SendProgress HeadSession::Progress() const {
    return {address_, TotalBytesToSend(imageSize_),
            std::max<std::int64_t>(0, engine_.SentCount() - sentBase_), sendStart_, resends_};
}

void HeadSession::Fail(TransferFailure failure, const std::string& imageProblem) {
    if (!Active()) return;
    failure_ = failure;
    FailureFacts facts = Facts();
    facts.imageProblem = imageProblem;
    message_ = ReasonFor(failure).sentence(facts);
    // The sender is stopped at once, before another answer can wake it.
    engine_.EndTransfer();
}

void HeadSession::EmitFrame() {
    const std::int32_t bytes =
        std::clamp<std::int32_t>(imageSize_ - frameOffset_, 0, FRAME_DATA_SIZE);
    ++frames_;
    events_.Frame(address_, frameIndex_, std::int64_t{FIRMWARE_LOAD_BASE} + frameOffset_, bytes);
}

void HeadSession::ReportAccepted() {
    lastAcceptedIndex_ = frameIndex_;
    lastAcceptedOffset_ = frameOffset_;
    events_.Accepted(address_, frameIndex_, frameOffset_);
}

std::int32_t HeadSession::AwaitedFrame() const {
    // The engine awaits the answer from before a frame's first write, but tells of the frame
    // only once that write went out (a head holding the line with XOFF delays it).
    if (lastAcceptedIndex_ == frameIndex_) return frameIndex_ + 1;
    return frameIndex_;
}

std::string HeadSession::AtBlock() const {
    if (phase_ != Phase::Sending) return " after the greeting";
    return " at block " + std::to_string(AwaitedFrame());
}

std::string HeadSession::LastAcceptedText() const {
    if (!lastAcceptedIndex_) return HeadName() + " had accepted no block yet";
    return "the last block " + HeadName() + " accepted was block " +
           std::to_string(*lastAcceptedIndex_) + " (file offset " +
           std::to_string(lastAcceptedOffset_) + ")";
}

FailureFacts HeadSession::Facts() const {
    FailureFacts facts;
    facts.head = HeadName();
    facts.port = options_.port;
    facts.image = options_.image;
    facts.openError = OpenErrorText(engine_.LastOpenError());
    facts.at = AtBlock();
    facts.greeting = phase_ == Phase::Greeting;
    facts.block = phase_ == Phase::Sending ? AwaitedFrame() : 0;
    facts.rejectedBlock = frameIndex_;
    facts.wait = Seconds(options_.answerTimeout) + " s";
    facts.protocol = ProtocolName(options_.protocolIndex);
    facts.speed = options_.speed;
    facts.code = engine_.LastResponse();
    facts.resends = resendsThisBlock_;
    facts.signal = SignalName(signal_);
    facts.lastAccepted = LastAcceptedText();
    return facts;
}

// --- The engine's reports

void HeadSession::OnPortReopened(bool open) {
    if (open) return;
    // A raw TCP port cannot change speed: the first change, to the head's own, is refused.
    const bool rawTcp = options_.port.starts_with("socket://");
    if (rawTcp && phase_ == Phase::Greeting && options_.speed != 115200) {
        Fail(TransferFailure::PortSpeedFixed);
        return;
    }
    Fail(TransferFailure::PortReopenFailed);
}

void HeadSession::OnFailure(TransferFailure failure) {
    Fail(failure);
}

void HeadSession::OnConnected() {
    if (Active() && phase_ == Phase::Greeting) connected_ = true;
}

void HeadSession::OnFrameSent(std::int32_t offset) {
    if (!Active() || phase_ != Phase::Sending) return;
    if (frames_ > 0 && offset == frameOffset_) {
        // The same block again: the head rejected it.
        ++resendsThisBlock_;
        ++resends_;
        events_.Resend(address_, frameIndex_, rejectCode_, resendsThisBlock_, options_.maxResends);
    } else {
        if (frames_ > 0) ++frameIndex_;
        frameOffset_ = offset;
        resendsThisBlock_ = 0;
    }
    EmitFrame();
}

void HeadSession::OnBlockAccepted(std::int32_t) {
    if (!Active() || phase_ != Phase::Sending) return;
    ReportAccepted();
}

void HeadSession::OnChecksumError() {
    if (!Active() || phase_ != Phase::Sending) return;
    const unsigned code = engine_.LastResponse();
    if (resendsThisBlock_ >= options_.maxResends) {
        Fail(TransferFailure::TooManyResends);
        return;
    }
    rejectCode_ = code;  // told with the resend, when the block goes out again
}

void HeadSession::OnUpgradeDone(std::int32_t) {
    if (!Active() || phase_ != Phase::Sending) return;
    ReportAccepted();
    done_ = true;
}

}  // namespace flash
