// The engine's reports, relayed to the head under way: a run (on one port, or one port of a
// plan) hears from one engine, while its heads come and go one after the other. A failed
// opening of the port is the run's, kept here for the sentence that tells it; the head hears
// of a failed reopening from OnPortReopened.
//
// Threads: the run's own, which pumps the engine (the reports come from Pump).
#pragma once

#include <optional>
#include <string>

#include "serial/LineError.h"
#include "upgrade/EngineObserver.h"
#include "upgrade/TransferFailure.h"

namespace flash {

class HeadRelay final : public EngineObserver {
  public:
    // The head under way; null between heads (their reports go nowhere then).
    void Follow(EngineObserver* head) { head_ = head; }

    // Why the port could not be opened (the last failed opening's failure).
    TransferFailure PortFailure() const;
    // The sentence saying so, for port (with its device, when the name stands for one).
    std::string PortProblem(const std::string& port, const LineError& openError) const;

    void OnPortReopened(bool open) override { Head().OnPortReopened(open); }
    void OnFailure(TransferFailure failure) override;
    void OnConnected() override { Head().OnConnected(); }
    void OnBlockAccepted(std::int32_t position) override { Head().OnBlockAccepted(position); }
    void OnChecksumError() override { Head().OnChecksumError(); }
    void OnUpgradeDone(std::int32_t position) override { Head().OnUpgradeDone(position); }
    void OnFrameSent(std::int32_t offset) override { Head().OnFrameSent(offset); }

  private:
    EngineObserver& Head() { return head_ ? *head_ : noHead_; }

    EngineObserver* head_ = nullptr;
    EngineObserver noHead_;  // takes the reports that come between heads
    std::optional<TransferFailure> lastPortFailure_;
};

}  // namespace flash
