// One head's part of a kavlet-flash run: the start-upgrade command, the greeting, the frames
// and their resends, and how the head ended (done, or the reason it failed and the sentence
// saying so). Every event of the head goes to the run's FlashEvents.
//
// Threads: the run's. The run forwards the engine's reports to the session of the head under
// way; each comes during a call into the engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/FailureReasons.h"
#include "cli/FlashEvents.h"
#include "cli/FlashOptions.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {

class HeadSession final : public EngineObserver {
  public:
    // Pumps the engine until done() holds (true), or a signal comes (false).
    using WaitUntil = std::function<bool(const std::function<bool()>& done)>;

    HeadSession(unsigned address, const FlashOptions& options, UpgradeEngine& engine,
                FlashEvents& events)
        : address_(address), options_(options), engine_(engine), events_(events) {}

    // Sends the command, greets the head and sends it the image, on the port the run opened:
    // true once the head is done or has failed, false when a signal came first.
    bool Run(const WaitUntil& waitUntil);
    // A signal stopped the head (and the engine): the operator is told where the head stood.
    void Interrupt(int signal);
    // Tells how the head ended and gives its result; once, after Run (and Interrupt).
    HeadResult Finish();

    // Frames are going out: Progress tells how far.
    bool Sending() const { return phase_ == Phase::Sending; }
    SendProgress Progress() const;

    // --- The engine's reports, forwarded by the run
    void OnPortReopened(bool open) override;
    void OnFailure(TransferFailure failure) override;
    void OnConnected() override;
    void OnFrameSent(std::int32_t offset) override;
    void OnBlockAccepted(std::int32_t position) override;
    void OnChecksumError() override;
    void OnUpgradeDone(std::int32_t position) override;

  private:
    enum class Phase { Idle, Greeting, Sending };

    // Greeted or sending, and not ended yet: the engine's reports count.
    bool Active() const { return phase_ != Phase::Idle && !done_ && !failure_; }
    // Ends the head for failure (the first one counts), with the sentence its row makes of
    // what the session knows now; imageProblem for ImageRefused.
    void Fail(TransferFailure failure, const std::string& imageProblem = {});
    FailureFacts Facts() const;
    // The frame of the block in flight began to go out.
    void EmitFrame();
    // The block in flight was accepted: noted as the last one, and told.
    void ReportAccepted();
    std::string HeadName() const { return "head " + std::to_string(address_); }
    // The frame whose answer is awaited: the one after the last accepted block once that was
    // accepted, even while the next frame's first byte has not gone out yet.
    std::int32_t AwaitedFrame() const;
    std::string AtBlock() const;
    std::string LastAcceptedText() const;

    const unsigned address_;
    const FlashOptions& options_;
    UpgradeEngine& engine_;
    FlashEvents& events_;
    std::int32_t imageSize_ = 0;
    Phase phase_ = Phase::Idle;
    bool connected_ = false;
    bool done_ = false;                       // the head took the whole image
    std::optional<TransferFailure> failure_;  // why it did not; the first one counts
    int signal_ = 0;                          // the signal that interrupted it
    std::string message_;                     // the sentence for a failure
    unsigned frames_ = 0;
    unsigned resends_ = 0;
    unsigned resendsThisBlock_ = 0;
    unsigned rejectCode_ = 0;  // the checksum error that asked for the block again
    std::int32_t frameIndex_ = 0;
    std::int32_t frameOffset_ = 0;
    std::optional<std::int32_t> lastAcceptedIndex_;
    std::int32_t lastAcceptedOffset_ = 0;
    std::int32_t sentBase_ = 0;  // the engine's count of bytes sent when the first frame began
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point sendStart_;
};

}  // namespace flash
