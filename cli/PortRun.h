// One port of a plan run: its rows one after the other, as a run over an address list does on
// one port, on a thread of its own with an engine, a waiter and a clock of its own, so that
// nothing it does (a failure, a lost adapter, a slow head) holds the other ports. A port that
// cannot be opened, or is lost, leaves its remaining rows skipped (port).
//
// Threads: Run on the port's thread, which makes every call into its engine; Raise from any.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/HeadSession.h"
#include "cli/InterruptibleClock.h"
#include "cli/PlanFile.h"
#include "cli/PortSignal.h"
#include "cli/RunWaiter.h"
#include "cli/SharedEvents.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {

class PortRun final : private EngineObserver {
  public:
    // Told as each row ends: the row, its result, and when it began (UTC).
    using RowEnded = std::function<void(const PlanRow&, const HeadResult&, const std::string&)>;

    // rows: the port's rows in the plan's order; options: the answer timeout and resend
    // limit; images: where each image's bytes come from (read once for the whole plan).
    PortRun(const FlashOptions& options, std::vector<const PlanRow*> rows, const RunIo& io,
            ImageReader images, std::unique_ptr<SharedEvents> events, RowEnded rowEnded);
    ~PortRun() override { engine_.StopAll(); }

    void Run();
    // A signal came: the port stops at once, as a run on one port does.
    void Raise(int signal) { signal_.Raise(signal); }

  private:
    UpgradeEngine::Options EngineOptions(ImageReader images);
    bool WaitUntil(const std::function<bool()>& done);
    std::string PortProblem() const;
    // The row did not run: skipped for the failure that ended its port's run.
    void Skip(const PlanRow& row, TransferFailure failure);

    // --- The engine's reports, for the head under way
    EngineObserver& Head() { return session_ ? *session_ : noHead_; }
    void OnPortReopened(bool open) override { Head().OnPortReopened(open); }
    // A failed opening is the port's (the head hears of a failed reopening from
    // OnPortReopened); the rest are the head's.
    void OnFailure(TransferFailure failure) override {
        if (failure == TransferFailure::PortOpenFailed ||
            failure == TransferFailure::PortTimeoutsFailed ||
            failure == TransferFailure::PortEventsFailed) {
            lastPortFailure_ = failure;
        } else {
            Head().OnFailure(failure);
        }
    }
    void OnConnected() override { Head().OnConnected(); }
    void OnBlockAccepted(std::int32_t position) override { Head().OnBlockAccepted(position); }
    void OnChecksumError() override { Head().OnChecksumError(); }
    void OnUpgradeDone(std::int32_t position) override { Head().OnUpgradeDone(position); }
    void OnFrameSent(std::int32_t offset) override { Head().OnFrameSent(offset); }

    const FlashOptions base_;
    const std::vector<const PlanRow*> rows_;
    const std::string port_;
    PortSignal signal_;
    const std::unique_ptr<SharedEvents> events_;
    const RowEnded rowEnded_;
    RunWaiter waiter_;
    InterruptibleClock clock_;
    FlashOptions rowOptions_;  // the head under way's: its port, address, protocol, speed, image
    std::optional<TransferFailure> lastPortFailure_;
    std::optional<HeadSession> session_;
    EngineObserver noHead_;
    int signalNumber_ = 0;
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};

}  // namespace flash
