// The virtual camera head: a HeadEngine on a serial line, run on a thread of its own.
//
// Two ways onto a line:
//  - CreatePty makes a pseudo-terminal pair; the tool opens SlavePath() like any serial port.
//    Both ends of a pseudo-terminal share one set of line settings, so the head never changes
//    them: it reads the speed the tool has set (from its own, master side) each time bytes
//    arrive, and takes bytes read while that speed differs from its own as noise, as a real
//    receiver would. It keeps the slave side open itself, so the tool may close and reopen
//    the port without the pair going away.
//  - Attach opens a serial device and sets its speed itself (its own speed, then 115200 for
//    the loader); bytes sent at another speed turn into garbage on their own there.
//
// Thread rules: the head runs on its own std::thread between Start() and Stop(). Report(),
// WaitFor(), SetFaults(), IsRunning() and SlavePath() may be called from any thread at any
// time; Start(), Stop() and the destructor belong to the thread that owns the object. Stop()
// wakes the head's thread at once (an eventfd) and returns when it has ended; it is safe to
// call more than once. A stopped head cannot be started again. Every wait inside the head is
// bounded, and a write the tool does not take within a second is given up (and reported).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/head/HeadEngine.h"
#include "tools/head/HeadOptions.h"

namespace head {

class VirtualHead {
  public:
    // A head on a new pseudo-terminal pair. Null (and *error set) when the options are wrong or
    // the pair cannot be made.
    static std::unique_ptr<VirtualHead> CreatePty(HeadOptions options, std::string* error);
    // A head on an existing serial device, taken exclusively (flock).
    static std::unique_ptr<VirtualHead> Attach(const std::string& devicePath, HeadOptions options,
                                               std::string* error);

    ~VirtualHead();
    VirtualHead(const VirtualHead&) = delete;
    VirtualHead& operator=(const VirtualHead&) = delete;

    // The path the tool opens: the pseudo-terminal's slave side, or the attached device.
    const std::string& SlavePath() const { return path_; }
    bool OnPseudoTerminal() const { return pseudoTerminal_; }

    void Start();
    void Stop();
    bool IsRunning() const { return running_.load(); }

    // A copy of the head's report at this moment.
    HeadReport Report() const;

    // Waits until condition holds for the report (checked at once and after every change),
    // the head stops, or the time is up. Returns whether the condition held. The condition is
    // called with the head's lock held: it must not call back into the head.
    bool WaitFor(const std::function<bool(const HeadReport&)>& condition,
                 std::chrono::milliseconds timeout) const;

    // Replaces the fault settings while the head runs; their one-shot marks start afresh, and
    // an XOFF pause in progress ends (its XON goes out at once).
    void SetFaults(const HeadFaults& faults);

  private:
    // VirtualBus runs several heads on one line through the private calls below.
    friend class VirtualBus;

    // One head on the line: its settings and its engine. Every head reads every byte.
    struct Member {
        HeadOptions options;
        HeadEngine engine;
    };

    VirtualHead(std::vector<HeadOptions> heads, int fd, int slaveFd, bool pseudoTerminal,
                std::string path, int wakeFd);
    static std::unique_ptr<VirtualHead> Make(std::vector<HeadOptions> heads, int fd, int slaveFd,
                                             bool pseudoTerminal, std::string path,
                                             std::string* error);
    // Heads (already checked) on a new pseudo-terminal pair.
    static std::unique_ptr<VirtualHead> MakePty(std::vector<HeadOptions> heads, std::string* error);

    // The calls of the public API, for the head at index on the line.
    HeadReport ReportOf(std::size_t index) const;
    bool WaitForOn(std::size_t index, const std::function<bool(const HeadReport&)>& condition,
                   std::chrono::milliseconds timeout) const;
    void SetFaultsOn(std::size_t index, const HeadFaults& faults);
    // Rounds in which more than one head handed bytes to the line.
    unsigned Collisions() const;

    // Settings of the line itself (pace, first speed of an attached device): the first head's.
    const HeadOptions& LineOptions() const { return heads_.front().options; }
    void Run();
    // Hands one of the engine's writes to the line (in one write() where the line has room),
    // waiting at most a second for room. False on failure or Stop.
    bool WriteBytes(const std::vector<std::uint8_t>& bytes);
    void PassOnEvents(const Member& head, const std::vector<std::string>& events) const;
    // Makes the head's thread leave its wait and look at its stop flag and timers again.
    void Wake() const;
    void ClearWake() const;

    const int fd_;       // the line: master side of the pair, or the attached device
    const int slaveFd_;  // the pair's slave side, held open by the head; -1 when attached
    const bool pseudoTerminal_;
    const std::string path_;
    const int wakeFd_;  // eventfd that Stop and SetFaults signal

    mutable std::mutex mutex_;  // guards the engines in heads_ and collisions_
    mutable std::condition_variable changed_;
    std::vector<Member> heads_;  // never empty; one entry for a head of its own
    unsigned collisions_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    bool started_ = false;
    std::thread thread_;
};

}  // namespace head
