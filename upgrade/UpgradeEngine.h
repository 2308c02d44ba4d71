// The transfer engine: everything between a front end (the window, a command line) and the
// camera head. It opens, closes and reopens the port, switches the head into its loader and
// greets it, sends the image frame by frame on a sender thread, and decides what each of the
// head's answers means. It reports through an EngineObserver and shows nothing itself.
//
// Thread rules: one thread (the front end's) makes every call, except SendHexText (any thread).
// The engine's own threads (the receive loop, the sender) never call the front end: what they
// have to say waits in the engine's inbox, and the engine rings the front end's waker (from
// any thread). The front end then calls Pump on its own thread, where every report is made.
// The engine's timers (the wait for an answer, the refresh of the count) also run in Pump: the
// front end pumps again at NextDeadline. So every observer call happens on the front end's
// thread, during one of its calls into the engine. The engine owns the sender and the receive
// loop; destroying it (or StopAll) ends both and closes the port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ReceiveLoop.h"
#include "upgrade/EngineClock.h"
#include "upgrade/EngineInbox.h"
#include "upgrade/EngineObserver.h"
#include "upgrade/FirmwareCursor.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/Sender.h"
#include "upgrade/TransferState.h"

class UpgradeEngine {
  public:
    struct Options {
        LineOpener openLine;  // how port names become lines; empty: this platform's devices
        EngineClock* clock = nullptr;  // the pauses; null: the system clock
        // How long the head may stay silent before NoAnswer (see CheckAnswerWait).
        std::chrono::milliseconds answerWait = kAnswerWait;
        // The least time between two reports of the count of bytes sent.
        std::chrono::milliseconds countRefresh = kCountRefresh;
        // How OpenFirmware reads an image; empty: from its file (OpenImage).
        ImageReader readImage = {};
        // Rung from any thread when Pump has something to do; empty: the front end pumps on
        // its own schedule.
        std::function<void()> wake;
    };

    // The pauses between the steps of talking to the head: between closing and reopening,
    // before and after the start-upgrade command, before the next block is sent.
    static constexpr std::chrono::milliseconds kReopenPause{500};
    static constexpr std::chrono::milliseconds kCommandPause{500};
    static constexpr std::chrono::milliseconds kNextBlockPause{20};
    // How long the head may take to answer the greeting or a frame before the operator is told.
    static constexpr std::chrono::milliseconds kAnswerWait{5000};
    // The count of bytes sent changes with every write; an eye follows ten changes a second.
    static constexpr std::chrono::milliseconds kCountRefresh{100};

    UpgradeEngine(EngineObserver& observer, Options options);
    explicit UpgradeEngine(EngineObserver& observer) : UpgradeEngine(observer, Options{}) {}
    ~UpgradeEngine();
    UpgradeEngine(const UpgradeEngine&) = delete;
    UpgradeEngine& operator=(const UpgradeEngine&) = delete;

    // --- The thread contract
    // Acts on everything the engine's threads have handed over (the head's answers, the end of
    // a receive loop, the sender's reports), then on the timers that are due: the count of
    // bytes sent (reported when it changed, at most every countRefresh, and always before an
    // answer or a failure is acted on) and the wait for an answer. Front end's thread; may be
    // called again from within a report (a modal box that keeps serving events).
    void Pump();
    // When Pump must run again even if the waker is not rung; none when nothing is timed.
    std::optional<EngineClock::TimePoint> NextDeadline() const;
    // Told of each chunk of received bytes as it is acted on, on the front end's thread (for
    // diagnostics and tests).
    using ChunkWatcher = std::function<void(std::span<const std::uint8_t> chunk)>;
    void SetChunkWatcher(ChunkWatcher watcher) { chunkWatcher_ = std::move(watcher); }
    // Forgets the head's bytes that came and were not yet acted on.
    void DropReceived() { inbox_.DropChunks(); }

    // The port and the sender, for reading.
    const TransferState& State() const { return state_; }
    // The line settings of the opening under way or made last (its port name among them), and
    // the speed of the next reopening.
    SerialSettings& LineSettings() { return lineSettings_; }

    // --- The port
    // Opens the port settings name, with their speed (always 8N1), and starts its receive loop;
    // the settings are kept for reopenings. False on failure (reported to the observer).
    bool OpenPort(const SerialSettings& settings);
    // Closes the port (if open) and waits for its receive loop. A sender part-way through a
    // frame is ended with it (it reports the write that failed); its block goes out again
    // whole at the next start, never split across two openings.
    void ClosePort();
    // Closes the open port, pauses, and opens the same port again with the current settings
    // (LineSettings: the speed may have changed since); reports
    // the result with OnPortReopened. Does nothing while the port is closed. A sender part-way
    // through a frame is ended first, without a report. The device stays reserved through the
    // pause: no other program can open the port meanwhile.
    void ReopenPort();
    // Closes the port and opens the one settings names (another port chosen).
    void ChangePort(const SerialSettings& settings);
    bool PortOpen() const { return state_.portOpen; }
    // Why the last opening failed (kind None after a success).
    const LineError& LastOpenError() const { return state_.serialPort->LastOpenError(); }

    // --- The one send path: decodes the hex text and writes its bytes in one write. False when
    // decoded bytes did not all go out (the port is closed or failed); a text that decodes to
    // nothing writes nothing and is no failure. Any thread.
    bool SendHexText(std::string_view text);

    // --- The handshake
    // Sends the greeting 3F 3F.
    void Greet();
    // Sends the start-upgrade command for the device at the device's speed and brings the
    // line back to 115200: pause, reopen, command, pause, reopen.
    void SelectDevice(const DeviceSelection& device);

    // --- The firmware file
    // Reads the image and keeps it for the transfer, from its first block. Anything but a
    // regular file of 1 byte up to kMaxImageSize is refused (the check says why), and then no
    // image is kept.
    ImageCheck OpenFirmware(const std::string& path);
    // Drops the open image, if any.
    void ForgetFirmware();
    // Ends the transfer under way, if any: a sender is asked to end (once the frame it is
    // sending has gone out whole), and the next start begins with the first block.
    void EndTransfer();
    // Whether a transfer has started and not ended: its sender still sends, or waits for the
    // head, and the image is still held.
    bool TransferUnderWay() const { return CurrentSender() != 0 && firmware_.IsOpen(); }
    bool HaveFirmware() const { return firmware_.IsOpen(); }
    std::int32_t FirmwareSize() const { return firmware_.Size(); }
    // The file offset of the next block to send.
    std::int32_t FileOffset() const { return firmware_.Offset(); }

    // --- The sender
    // Starts a sender for the open image (ending any earlier one first). False when no image
    // is open.
    bool StartUpgrade();

    // One chunk of received bytes, of which only the first counts, acted on now (chunks from
    // the port come through the inbox by themselves). The count is reported first.
    void OnSerialData(std::span<const std::uint8_t> chunk);
    // The answer the head gave last (the first byte of the chunk handled last).
    std::uint8_t LastResponse() const { return lastResponse_; }
    // The bytes that have left the port's output queue so far, of those any sender handed to
    // it, as reported last by OnSentCountChanged.
    std::int32_t SentCount() const { return shownCount_; }

    // Ends the sender and the receive loop and closes the port. Called by the destructor.
    void StopAll();

    // The receive loop of the open port, if any, for tests.
    const ReceiveLoop* CurrentReceiveLoop() const { return receiveLoop_.get(); }

  private:
    void Pause(std::chrono::milliseconds duration) { clock_.Sleep(duration); }
    void Handle(EngineMessage& message, EngineClock::TimePoint now);
    // The head's answer: the first byte of a chunk; frameOut: the frame that had gone out
    // whole when it came (FrameOutNow then), 0 for none.
    void HandleAnswer(std::span<const std::uint8_t> chunk, std::uint64_t frameOut);
    // The frame whose every byte has left the port's output queue now, 0 while one is still
    // being handed over or waits there (or none was sent). Any thread.
    std::uint64_t FrameOutNow() const;
    // Whether the frame the sender is parked after is the one that was out whole when an answer
    // came: only then can the answer be the head's answer to it.
    bool AnswersFrameOut(std::uint64_t frameOut) const;
    // Bytes still waiting in the open port's output queue; 0 when none, or the driver cannot tell.
    int OutputWaiting() const;
    // If the open port's loop ended because the device went away, closes the port and reports
    // OnPortStateChanged(false) and the failure PortLost.
    void CheckLine();
    // Reports the count of bytes sent when it changed: at once when forced, else when the
    // refresh is due.
    void RefreshCount(EngineClock::TimePoint now, bool force);
    // Reports the failure NoAnswer when the head has been silent for answerWait since the wait
    // began.
    void CheckAnswerWait(EngineClock::TimePoint now);
    // Opens the port with lineSettings_ (see OpenPort).
    bool OpenLine();
    void StartReceiveLoop();
    // Whether a closing lets the device go, or keeps it reserved for the opening that follows
    // at once (a reopening), so that no other program takes the port in between.
    enum class Keep { Nothing, Device };
    void ClosePortAndLoop(Keep keep = Keep::Nothing);
    void OnBlockAccepted(bool frameOut);
    void OnChecksumError(bool frameOut);
    void OnUpgradeDone(bool frameOut);
    bool WakeParkedSender();
    // For the sender: a write went out. Rings the front end when Pump waits for the count to move.
    void NoteBytesSent();
    // The send path's work: decodes the text into decodedCount bytes and writes them in one
    // write. Returns how many of them went out.
    std::size_t WriteHexText(std::string_view text, std::size_t& decodedCount);
    // The greeting or a frame went out: an answer to it is due within answerWait.
    enum class Awaited { Greeting, Frame };
    void AwaitAnswer(Awaited what, EngineClock::TimePoint since);
    // The serial number of the sender whose frames count now, 0 for none.
    std::uint64_t CurrentSender() const;
    // Ends a sender that is part-way through a frame as its port closes; quiet: without a report.
    void ClosePortEndingFrame(bool quiet, Keep keep = Keep::Nothing);

    SenderLinks LinksForSender();

    EngineObserver& observer_;
    EngineClock& clock_;
    const std::chrono::milliseconds answerWait_;
    TransferState state_;
    FirmwareCursor firmware_;
    const std::chrono::milliseconds countRefresh_;
    SerialSettings lineSettings_;
    EngineInbox inbox_;
    ChunkWatcher chunkWatcher_;
    std::unique_ptr<ReceiveLoop> receiveLoop_;
    std::vector<std::unique_ptr<SenderThread>> retiredSenders_;  // ended with the engine
    std::uint64_t sendersStarted_ = 0;
    std::atomic<std::uint64_t> frameMark_{0};  // see SenderLinks::frameMark
    std::uint64_t frameAnswered_ = 0;          // the frame whose answer was taken last
    // Set by Pump when the count stood still: the sender's next write rings the waker.
    std::atomic<bool> countWatched_{false};
    std::int32_t shownCount_ = 0;  // the count reported last
    std::optional<EngineClock::TimePoint> countShownAt_;
    std::optional<EngineClock::TimePoint> countDue_;  // when Pump looks at the count again
    // When the wait for the answer began; none when no answer is awaited.
    std::optional<EngineClock::TimePoint> answerDueSince_;
    Awaited awaited_ = Awaited::Greeting;  // what the wait under way is for
    bool noAnswerReported_ = false;        // told for the wait under way
    std::uint8_t lastResponse_ = 0;
};
