// The transfer engine: everything between a front end (the window, a command line) and the
// camera head. It opens, closes and reopens the port, switches the head into its loader and
// greets it, sends the image frame by frame on a sender thread, and decides what each of the
// head's answers means. It reports through an EngineObserver and shows nothing itself.
//
// Received bytes: the receive loop hands each chunk to the chunk sink on its own thread; the
// front end brings it to its own thread and passes it to OnBytesReceived, so that every
// decision runs on one thread, in the order the chunks came.
//
// Thread rules: one thread (the front end's) makes every call, except SendHexText (any thread)
// and TakeSentCount (any thread). The engine owns the sender and the receive loop; destroying
// it (or StopAll) ends both and closes the port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ReceiveLoop.h"
#include "upgrade/EngineClock.h"
#include "upgrade/EngineObserver.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/TransferState.h"

class SenderThread;

class UpgradeEngine {
  public:
    struct Options {
        LineOpener openLine;  // how port names become lines; empty: this platform's devices
        EngineClock* clock = nullptr;  // the pauses; null: the system clock
        // How long the head may stay silent before OnNoAnswer (see CheckAnswerWait).
        std::chrono::milliseconds answerWait = kAnswerWait;
    };

    // The pauses between the steps of talking to the head: between closing and reopening,
    // before and after the start-upgrade command, before the next block is sent.
    static constexpr std::chrono::milliseconds kReopenPause{500};
    static constexpr std::chrono::milliseconds kCommandPause{500};
    static constexpr std::chrono::milliseconds kNextBlockPause{20};
    // How long the head may take to answer the greeting or a frame before the operator is told.
    static constexpr std::chrono::milliseconds kAnswerWait{5000};

    UpgradeEngine(EngineObserver& observer, Options options);
    explicit UpgradeEngine(EngineObserver& observer) : UpgradeEngine(observer, Options{}) {}
    ~UpgradeEngine();
    UpgradeEngine(const UpgradeEngine&) = delete;
    UpgradeEngine& operator=(const UpgradeEngine&) = delete;

    // Where the receive loop hands each chunk of received bytes (on its own thread). Set it
    // before the port is opened; a loop keeps the sink it was started with.
    void SetChunkSink(ChunkSink sink) { chunkSink_ = std::move(sink); }

    TransferState& State() { return state_; }
    const TransferState& State() const { return state_; }
    // The line settings of the next opening. The port name is refreshed by the observer's
    // ReadPortSettings at every opening.
    SerialSettings& LineSettings() { return lineSettings_; }

    // --- The port
    // Opens the port with the line settings and starts its receive loop. False on failure
    // (reported to the observer).
    bool OpenPort();
    // Closes the port (if open) and waits for its receive loop. A sender part-way through a
    // frame is ended with it (it reports the write that failed); its block goes out again
    // whole at the next start, never split across two openings.
    void ClosePort();
    // Closes the open port, pauses, and opens it again with the current settings; reports
    // the result with OnPortReopened. Does nothing while the port is closed. A sender part-way
    // through a frame is ended first, without a report.
    void ReopenPort();
    // Closes the port and opens the one the settings name now (another port chosen).
    void ChangePort();
    // After OnReceiveLoopEnded: if the open port's loop ended because the device went away,
    // closes the port and reports OnPortStateChanged(false) and OnPortLost.
    void CheckLine();
    bool PortOpen() const { return state_.portOpen; }

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
    // Opens the image and keeps it for the transfer; *size gets its size. Anything but a
    // regular file of 1 byte up to 2 GiB - 1 byte is refused, and then no file is kept.
    FirmwareCheck OpenFirmware(const std::string& path, std::int32_t* size = nullptr);
    // Drops the open image, if any.
    void ForgetFirmware();
    // Ends the transfer under way, if any: a sender is asked to end (after the byte it is
    // sending), and the next start begins with the first block.
    void EndTransfer();
    bool HaveFirmware();
    std::int32_t FirmwareSize();

    // --- The sender
    // Starts a sender for the open image (ending any earlier one first). False when no image
    // is open.
    bool StartUpgrade();

    // --- The head's answers: one chunk of received bytes, of which only the first counts.
    void OnBytesReceived(std::span<const std::uint8_t> chunk);
    std::uint8_t LastResponse() const { return lastResponse_; }

    // The bytes sent so far, for showing; after this call the sender reports the next change.
    // Any thread.
    std::int32_t TakeSentCount();

    // Reports OnNoAnswer when the head has been silent for Options::answerWait (kAnswerWait
    // unless set) after the greeting or a frame's last byte. The front end calls it now and then (a
    // few times a second).
    void CheckAnswerWait();

    // Ends the sender and the receive loop and closes the port. Called by the destructor.
    void StopAll();

    // The receive loop of the open port, if any, for tests.
    const ReceiveLoop* CurrentReceiveLoop() const { return receiveLoop_.get(); }

  private:
    friend int SenderThreadProc(UpgradeEngine& engine, SenderThread& self);
    void Pause(std::chrono::milliseconds duration) { clock_.Sleep(duration); }
    void StartReceiveLoop();
    void ClosePortAndLoop();
    void OnBlockAccepted();
    void OnChecksumError();
    void OnUpgradeDone();
    bool WakeParkedSender();
    // For the sender: the count grew; report it unless a report is outstanding.
    void PublishSentCount();
    // The greeting or a frame's last byte went out: an answer is due within kAnswerWait.
    void AwaitAnswer();
    // Ends a sender that is part-way through a frame as its port closes; quiet: without a report.
    void ClosePortEndingFrame(bool quiet);

    EngineObserver& observer_;
    EngineClock& clock_;
    const std::chrono::milliseconds answerWait_;
    TransferState state_;
    SerialSettings lineSettings_;
    ChunkSink chunkSink_;
    std::unique_ptr<ReceiveLoop> receiveLoop_;
    std::vector<std::unique_ptr<SenderThread>> retiredSenders_;  // ended with the engine
    std::atomic<bool> sentCountReported_{false};
    // When the answer awaited became due (clock time in its own ticks), 0 when none is awaited.
    std::atomic<EngineClock::TimePoint::rep> answerDueSince_{0};
    EngineClock::TimePoint::rep noAnswerReportedFor_ = 0;  // the wait told of last
    std::uint8_t lastResponse_ = 0;
};
