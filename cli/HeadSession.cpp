#include "cli/HeadSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/FlashRun.h"
#include "cli/RunWaiter.h"
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
        Fail("file", ImageSentence(options_.image, image));
        return true;
    }
    const std::vector<std::uint8_t> command =
        BuildStartUpgradeFrame(device.address, device.protocolIndex);
    events_.Command(address_, command, options_.speed);
    phase_ = Phase::Greeting;
    engine_.SelectDevice(device);
    if (outcome_) return true;
    engine_.DropReceived();  // what came before the loader was greeted answers nothing of this head

    engine_.Greet();
    if (!engine_.PortOpen())
        Fail("port", "the port " + options_.port + " is closed: the greeting could not be sent.");
    if (!waitUntil([&] { return outcome_ || connected_; })) return false;
    if (outcome_) return true;
    events_.Connected(address_);

    phase_ = Phase::Sending;
    sentBase_ = engine_.SentCount();
    sendStart_ = Clock::now();
    if (!engine_.StartUpgrade()) {
        Fail("file", "the image " + options_.image + " is no longer open.");
        return true;
    }
    events_.Sending(Progress());
    return waitUntil([&] { return outcome_.has_value(); });
}

void HeadSession::Interrupt(int signal) {
    outcome_ = "interrupted";
    message_ = "Interrupted by " + SignalName(signal) + " during " + HeadName() + ": " +
               LastAcceptedText() + "; the port " + options_.port + " is released.";
    events_.Interrupted(message_);
}

HeadResult HeadSession::Finish() {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const bool done = outcome_ == "done";
    if (phase_ == Phase::Sending) events_.SendingEnded(Progress(), done);
    HeadResult result{address_, done ? "done" : "failed", done ? "" : *outcome_, frames_, resends_,
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

void HeadSession::Fail(const std::string& reason, const std::string& message) {
    if (!Active()) return;
    outcome_ = reason;
    message_ = message;
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

std::string HeadSession::OpenErrorText() const {
    if (engine_.LastOpenError().kind == LineErrorKind::HostNotFound)
        return ": the host name is not known";
    const int error = engine_.LastOpenError().errorNumber;
    if (!error) return {};
    std::string text = ": ";
    text += std::strerror(error);
    return text;
}

// --- The engine's reports

void HeadSession::OnPortReopened(bool open) {
    if (open) return;
    // A raw TCP port cannot change speed: the first change, to the head's own, is refused.
    if (options_.port.starts_with("socket://") && phase_ == Phase::Greeting &&
        options_.speed != 115200) {
        Fail("port", "the port " + options_.port +
                         " is raw TCP and runs at 115200 baud only: it cannot reach a head at " +
                         std::to_string(options_.speed) + " baud (use rfc2217://).");
        return;
    }
    Fail("port", "the port " + options_.port +
                     " could not be opened again after the change of line speed" + OpenErrorText() +
                     ".");
}

void HeadSession::OnThreadCreationFailed() {
    Fail("port", "a worker thread for the port " + options_.port + " could not be started.");
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
        char text[32];
        std::snprintf(text, sizeof text, "%02x", code);
        Fail("too-many-resends", HeadName() + " rejected block " + std::to_string(frameIndex_) +
                                     " (checksum error " + text + ") once more after " +
                                     std::to_string(resendsThisBlock_) +
                                     " resends, the most --max-resends allows.");
        return;
    }
    rejectCode_ = code;  // told with the resend, when the block goes out again
}

void HeadSession::OnUpgradeDone(std::int32_t) {
    if (!Active() || phase_ != Phase::Sending) return;
    ReportAccepted();
    outcome_ = "done";
}

void HeadSession::OnHeadFailed() {
    Fail("head-failed", HeadName() + " answered 86: the upgrade failed" + AtBlock() + ".");
}

void HeadSession::OnHeadTimedOut() {
    Fail("head-timeout",
         HeadName() + " answered 87: the upgrade timed out in the head" + AtBlock() + ".");
}

void HeadSession::OnDoneTooEarly() {
    Fail("early-done", HeadName() + " answered 84 (done) before it had the whole image" +
                           AtBlock() + ", so the upgrade is not known to have worked.");
}

void HeadSession::OnDoneWithheld() {
    Fail("no-done", HeadName() +
                        " answered 82, not 84, to the frame after the last block: it "
                        "never said done, so the upgrade is not known to have worked.");
}

void HeadSession::OnNoAnswer() {
    if (!Active()) return;
    const std::string wait = Seconds(options_.answerTimeout) + " s";
    if (phase_ == Phase::Greeting) {
        Fail("no-answer", HeadName() + " did not answer the greeting within " + wait +
                              " (is a head with this address on the line, with " +
                              ProtocolName(options_.protocolIndex) + " at " +
                              std::to_string(options_.speed) + " baud?).");
    } else {
        Fail("no-answer", HeadName() + " did not answer frame " + std::to_string(AwaitedFrame()) +
                              " within " + wait + ".");
    }
}

void HeadSession::OnPortLost() {
    Fail("port", "the port " + options_.port + " went away (device removed or hung up).");
}

void HeadSession::OnWriteFailed() {
    Fail("port", "a byte could not be written to the port " + options_.port + ".");
}

void HeadSession::OnFileUnreadable() {
    Fail("file",
         "the image " + options_.image + " could not be read to the end while it was being sent.");
}

}  // namespace flash
