// Several virtual camera heads on one pseudo-terminal, as camera heads on one RS-485 line.
//
// Every byte the tool sends reaches every head, and each head judges the tool's line speed for
// itself, as VirtualHead does: bytes at another speed than its receiver's are noise to it. So
// only the head addressed by a well-formed start-upgrade command, in its own protocol and at its
// own speed, enters its loader (at 115200); the others stay in normal operation, where loader
// traffic is noise to them (or, for a head whose own speed is 115200, bytes that form no
// command of its own). Only a head in its loader answers.
//
// When the tool turns to another head, the head in its loader leaves it once its image is
// complete (HeadOptions::leaveLoaderWhenDone, set here for every head): on the first bytes at
// another speed than 115200, or on a start-upgrade command read at 115200. A head left with an
// incomplete image stays in its loader; should two heads then answer together, each report
// says so among its problems (a collision on the line).
//
// Thread rules as for VirtualHead: Report(), WaitFor(), SetFaults(), Collisions() and
// SummaryText() from any thread; Start(), Stop() and the destructor from the owner's.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/head/HeadOptions.h"
#include "tools/head/VirtualHead.h"

namespace head {

// Empty when these heads can share a line (at least one, each one's options good, addresses
// distinct), else what is wrong.
std::string CheckBus(const std::vector<HeadOptions>& heads);

class VirtualBus {
  public:
    // The heads on a new pseudo-terminal pair, in the order given. The line's pace (paceBaud)
    // is the first head's. Null (and *error set) when the heads cannot share a line or the
    // pair cannot be made.
    static std::unique_ptr<VirtualBus> CreatePty(std::vector<HeadOptions> heads,
                                                 std::string* error);

    const std::string& SlavePath() const { return line_->SlavePath(); }
    void Start() { line_->Start(); }
    void Stop() { line_->Stop(); }
    bool IsRunning() const { return line_->IsRunning(); }

    const std::vector<unsigned>& Addresses() const { return addresses_; }
    bool Has(unsigned address) const;

    // As VirtualHead's, for the head with this address; it must be on the bus
    // (std::out_of_range otherwise).
    HeadReport Report(unsigned address) const;
    bool WaitFor(unsigned address, const std::function<bool(const HeadReport&)>& condition,
                 std::chrono::milliseconds timeout) const;
    void SetFaults(unsigned address, const HeadFaults& faults);

    // Rounds in which more than one head wrote to the line.
    unsigned Collisions() const { return line_->Collisions(); }

    // A block a head (its address, protocol and speed, then SummaryText of its report), and
    // the line's totals.
    std::string SummaryText() const;

  private:
    explicit VirtualBus(std::unique_ptr<VirtualHead> line, std::vector<unsigned> addresses);
    std::size_t IndexOf(unsigned address) const;

    std::unique_ptr<VirtualHead> line_;
    const std::vector<unsigned> addresses_;
};

}  // namespace head
