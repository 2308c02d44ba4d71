// The transfer engine without Qt, on a MemoryPort, with a clock that records its pauses and an
// observer that records its reports as a readable list of events. The test's thread pumps the
// engine whenever it rings, as a front end would on its own thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/MemoryLine.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/UpgradeEngine.h"

namespace engine_test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kWait{10'000};  // every wait is bounded

// Records every report in order: "port-open", "port-closed", "open-failed", "reopened ok",
// "reopened failed", "thread-failed", "connected", "accepted 4096", "checksum-error",
// "done 10000", "failed", "timeout", "done-too-early", "done-withheld", "no-answer", "port-lost",
// "write-failed", "file-unreadable" (the failures as FailureEvent names them). Sent-count reports
// are counted, not listed.
class RecordingObserver final : public EngineObserver {
  public:
    std::function<void()> onEvent;  // after each report, on the reporting thread

    void OnPortStateChanged(bool open) override { Add(open ? "port-open" : "port-closed"); }
    void OnPortReopened(bool open) override { Add(open ? "reopened ok" : "reopened failed"); }
    void OnFailure(TransferFailure failure) override { Add(FailureEvent(failure)); }
    void OnConnected() override { Add("connected"); }
    void OnBlockAccepted(std::int32_t position) override {
        Add("accepted " + std::to_string(position));
    }
    void OnChecksumError() override { Add("checksum-error"); }
    void OnUpgradeDone(std::int32_t position) override { Add("done " + std::to_string(position)); }
    void OnSentCountChanged(std::int32_t count) override;
    std::function<void(std::int32_t)> onCount;  // after each count report

    std::vector<std::string> Events() const;
    bool Saw(const std::string& event) const;
    void ClearEvents();
    int CountReports() const { return countReports_.load(); }

  private:
    static std::string FailureEvent(TransferFailure failure);
    void Add(std::string event);
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::atomic<int> countReports_{0};
};

// The frame the tool builds for the block at offset of image.
Bytes ExpectedFrame(const Bytes& image, std::size_t offset);

class EngineFixture : public testing::Test {
  protected:
    // An engine on the memory port, whose line is open.
    void SetUp() override;
    void TearDown() override;

    // Makes the engine (ending one made before) with these line opener and clock. The count
    // is reported at every change unless countRefresh says otherwise.
    void CreateEngine(LineOpener opener, EngineClock* clock,
                      std::chrono::milliseconds countRefresh = std::chrono::milliseconds(0));

    // Opens the port named portName with the engine's line settings.
    bool OpenPort();

    // --- Pumping
    // Pumps the engine on this thread until condition holds (checked with the fixture's lock
    // held: read only what locks nothing of the fixture's own) or the time is up.
    bool PumpUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = kWait);
    // Puts one chunk on the line and pumps until the engine has handled it.
    void AnswerChunk(Bytes chunk);
    void Answer(std::uint8_t code) { AnswerChunk({code}); }
    // For a write hook (any thread but the pumping one): puts the chunk on the line and
    // returns once the pumping thread has handed it to the engine.
    bool InjectAndAwait(Bytes chunk);
    std::size_t ChunksHandled();

    // --- The image
    // Writes an image of size bytes and opens it with OpenFirmware.
    void LoadImage(std::size_t size, std::uint32_t seed = 7);
    // Greets the head and answers 80.
    void Greet();
    // Starts the sender; frames are counted from the bytes written so far.
    void Start();
    // Index, among all bytes written, of byte i of frame k (frames counted from Start).
    std::size_t FrameByteIndex(std::size_t frame, std::size_t i) const;
    // Pumps until frames whole frames have been written since Start and the sender is parked.
    bool WaitForFrames(std::size_t frames);
    // Frame k (counted from Start) as written, empty when not all of it was.
    Bytes FrameOnLine(std::size_t frame) const;
    Bytes Expected(std::size_t offset) const { return ExpectedFrame(image, offset); }
    std::size_t FrameBytesWritten() const { return port.WrittenCount() - framesBase; }

    // The sent count reported last, after a pump.
    std::int32_t TakeSentCount();
    // Pumps until the sent count reported reaches count.
    bool SentCountReaches(std::int32_t count);

    memory_line::MemoryPort port;
    std::string portName = "MEM1";
    TestClock clock{TestClock::Mode::Instant};
    RecordingObserver observer;
    std::unique_ptr<UpgradeEngine> engine;
    TempDir folder{"kavlet-engine"};
    Bytes image;
    std::size_t framesBase = 0;
    std::atomic<int> countAboveLine{0};       // counts reported that exceeded the line's bytes
    std::atomic<std::int32_t> lastTaken{-1};  // the sent count reported last

  private:
    void Poke();
    std::mutex mutex_;
    std::condition_variable changed_;
    EngineClock* engineClock_ = nullptr;
    bool rung_ = false;
    std::size_t seen_ = 0;  // chunks the engine has begun to act on (pumping thread only)
    std::size_t handled_ = 0;
};

}  // namespace engine_test
