// The presenter against a fake view, on in-memory lines with the instant clock: what presenter
// tables build each row on. COM1 and COM2 are in-memory ports, a name starting with "/" opens
// COM2's device as a typed path would, every other name is a device that does not exist.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "present/UpgradePresenter.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/MemoryLine.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"

class FakeView final : public OperatorView {
  public:
    ScreenState shown;
    std::vector<Notice> notices;
    std::vector<std::string> countsTold;           // the count shown when each notice was told
    std::function<void(const Notice&)> whileTold;  // runs while a notice is "open"
    std::string port = " COM1 ";                   // what the port box names
    std::optional<std::string> file;
    std::optional<DeviceSelection> device;
    int devicesAsked = 0;
    int busy = 0, busyPeriods = 0;

    std::vector<std::string> Told() const;

    void Show(const ScreenState& state) override { shown = state; }
    void Tell(const Notice& notice) override;
    std::string ChosenPort() override { return port; }
    std::optional<std::string> AskFirmwareFile() override { return file; }
    std::optional<DeviceSelection> AskDevice() override {
        ++devicesAsked;
        return device;
    }
    void SetBusy(bool on) override {
        busy += on ? 1 : -1;
        busyPeriods += on;
    }
    void Wake() override;
    void WakeAfter(std::optional<std::chrono::milliseconds>) override {}

    std::mutex mutex;
    std::condition_variable changed;
    bool rung = false;
};

// The main window's screen right after start-up with COM1 open.
ScreenState OpenScreen();

struct PresenterRun {
    memory_line::MemoryPort port;  // COM1
    memory_line::MemoryPort com2;
    std::vector<std::string> namesOpened;  // every name the presenter had opened, in order
    std::function<void()> beforeOpening;   // runs as each opening begins
    TestClock clock{TestClock::Mode::Instant};
    FakeView view;
    TempDir folder{"kavlet-presenter"};
    engine_test::Bytes image;
    std::unique_ptr<UpgradePresenter> presenter;
    std::size_t framesFrom = 0;  // bytes on COM1 before the first frame
    int chunks = 0;

    // With com1Present false, COM1 is missing at start-up.
    explicit PresenterRun(bool com1Present = true);
    ~PresenterRun();

    // Pumps as the window does when woken, until condition holds (bounded).
    bool PumpUntil(const std::function<bool()>& condition);
    // Pumps until every pending report has been acted on.
    void Settle() {
        PumpUntil([] { return true; });
    }
    // The count shown once its next refresh is due (the engine shows it at most every 100 ms).
    std::string CountShown();
    std::string WriteFile(const std::string& name, const engine_test::Bytes& bytes);
    // Chooses a file of this size, random bytes; the device dialog answers view.device.
    void ChooseFile(std::size_t size);
    // The head answers on this port; returns once the presenter has acted on it.
    void Answer(std::uint8_t code, memory_line::MemoryPort* on = nullptr);
    // Frames out and counted since framesFrom, the sender parked.
    void FramesOut(std::size_t frames);
    void FrameOut(std::size_t k) { FramesOut(k + 1); }
    // File of this size chosen, no device asked, head greeted, start pressed: frame 0 is out.
    void StartTransfer(std::size_t size);
    // The port held (as by the head's XOFF), the head accepts the frame out: the next one is
    // held at its first byte.
    void HoldNextFrame();
    // Greeted again, start pressed: the bytes COM1 carries within the wait (a frame at most).
    engine_test::Bytes StartAgain(std::chrono::milliseconds wait = engine_test::kWait);
    // The head's answer is waited for until its time is up, and long after: told once.
    void WaitOutTheAnswer();
    // COM1's bytes since the first frame, frame k of them.
    engine_test::Bytes FrameOnLine(std::size_t k) const;
    std::size_t FramesOnLine() const { return (port.WrittenCount() - framesFrom) / FRAME_SIZE; }
};
