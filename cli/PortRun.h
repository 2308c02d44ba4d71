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

#include "cli/EnginePump.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/HeadRelay.h"
#include "cli/HeadSession.h"
#include "cli/InterruptibleClock.h"
#include "cli/PlanFile.h"
#include "cli/PortSignal.h"
#include "cli/RunWaiter.h"
#include "cli/SharedEvents.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {

class PortRun final {
  public:
    // Told as each row ends: the row, its result, and when it began (UTC).
    using RowEnded = std::function<void(const PlanRow&, const HeadResult&, const std::string&)>;

    // rows: the port's rows in the plan's order; options: the answer timeout and resend
    // limit; images: where each image's bytes come from (read once for the whole plan).
    PortRun(const FlashOptions& options, std::vector<const PlanRow*> rows, const RunIo& io,
            ImageReader images, std::unique_ptr<SharedEvents> events, RowEnded rowEnded);
    ~PortRun() { engine_.StopAll(); }

    void Run();
    // A signal came: the port stops at once, as a run on one port does.
    void Raise(int signal) { signal_.Raise(signal); }

  private:
    UpgradeEngine::Options EngineOptions(ImageReader images);
    bool WaitUntil(const std::function<bool()>& done);
    std::string PortProblem() const;
    // The row did not run: skipped for the failure that ended its port's run.
    void Skip(const PlanRow& row, TransferFailure failure);

    const FlashOptions base_;
    const std::vector<const PlanRow*> rows_;
    const std::string port_;
    PortSignal signal_;
    const std::unique_ptr<SharedEvents> events_;
    const RowEnded rowEnded_;
    RunWaiter waiter_;
    InterruptibleClock clock_;
    FlashOptions rowOptions_;  // the head under way's: its port, address, protocol, speed, image
    HeadRelay relay_;          // the engine's reports, for the head under way
    std::optional<HeadSession> session_;
    EnginePump pump_;
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};

}  // namespace flash
