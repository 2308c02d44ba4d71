// The main window's behaviour without a toolkit: the presenter against a fake view, on the
// in-memory line with the instant clock. A row is a sequence of what happens (operator actions,
// the head's answers, the line failing, time passing) and what the operator sees at the end:
// the notices told, in order, and the screen state; the line carries exactly the bytes given.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "present/UpgradePresenter.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/MemoryLine.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"
#include "tests/support/TestImages.h"
#include "upgrade/ResponseCodes.h"

namespace {

using engine_test::Bytes;
using engine_test::ExpectedFrame;
using namespace std::chrono_literals;

class FakeView final : public OperatorView {
  public:
    ScreenState shown;
    std::vector<std::string> told;
    std::vector<Notice> notices;
    std::vector<std::string> countsTold;  // the count shown when each notice was told
    std::optional<std::string> file;
    std::optional<DeviceSelection> device;
    int busy = 0, busyPeriods = 0;

    void Show(const ScreenState& state) override { shown = state; }
    void Tell(const Notice& notice) override {
        told.push_back(notice.text);
        notices.push_back(notice);
        countsTold.push_back(shown.sentCount);
    }
    std::string ChosenPort() override { return " MEM1 "; }
    std::optional<std::string> AskFirmwareFile() override { return file; }
    std::optional<DeviceSelection> AskDevice() override { return device; }
    void SetBusy(bool on) override {
        busy += on ? 1 : -1;
        busyPeriods += on;
    }
    void Wake() override {
        std::lock_guard lock(mutex);
        rung = true;
        changed.notify_all();
    }
    void WakeAfter(std::optional<std::chrono::milliseconds>) override {}

    std::mutex mutex;
    std::condition_variable changed;
    bool rung = false;
};

struct PresenterRun {
    memory_line::MemoryPort port;
    TestClock clock{TestClock::Mode::Instant};
    FakeView view;
    TempDir folder{"kavlet-presenter"};
    Bytes image;
    std::unique_ptr<UpgradePresenter> presenter;
    std::size_t framesFrom = 0;

    PresenterRun() {
        port.SetWriteListener([this] { view.Wake(); });  // conditions on the line are looked at
        presenter = std::make_unique<UpgradePresenter>(
            view, UpgradePresenter::Services{port.Opener(), &clock});
        presenter->OnInitDialog();
    }
    ~PresenterRun() {
        port.Release();
        presenter.reset();
        port.SetWriteListener(nullptr);
    }
    // Pumps as the window does when woken, until condition holds (bounded).
    bool PumpUntil(const std::function<bool()>& condition) {
        const auto end = std::chrono::steady_clock::now() + engine_test::kWait;
        std::unique_lock lock(view.mutex);
        for (;;) {
            view.rung = false;
            lock.unlock();
            presenter->Pump();
            lock.lock();
            if (condition()) return true;
            // The sender counts its last byte without a ring: looked at again every few ms.
            if (std::chrono::steady_clock::now() >= end) return false;
            if (!view.rung) view.changed.wait_for(lock, 5ms);
        }
    }
    void ChooseFile(std::size_t size) {
        image = RandomImage(size, 3);
        view.file = folder.File("image.bin");
        std::ofstream(*view.file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(size));
        presenter->OnSelectFile();
    }
    // The head answers; returns once the presenter has acted on it.
    void Answer(std::uint8_t code) {
        const auto before = presenter->Engine().LastResponse();
        presenter->Engine().SetChunkWatcher([&](std::span<const std::uint8_t>) { ++chunks; });
        const int seen = chunks;
        ASSERT_TRUE(port.Push({code}));
        ASSERT_TRUE(PumpUntil([&] { return chunks > seen; })) << "answer " << int(code) << before;
    }
    // Frame k (counted from the start) is out and counted, as when the head answers it.
    void FrameOut(std::size_t k) {
        const std::size_t total = (k + 1) * FRAME_SIZE;
        ASSERT_TRUE(PumpUntil([&] {
            const TransferState& state = presenter->Engine().State();
            return port.WrittenCount() >= framesFrom + total && state.senderAwake == 0 &&
                   std::size_t(state.bytesSent.load()) == total;
        }));
    }
    int chunks = 0;
};

const Bytes kPelcoD2400 = {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58};
const Bytes kGreeting = {0x3F, 0x3F};

// Each row: one road through the window, ending where the operator is told.
TEST(PresenterTable, Roads) {
    struct Road {
        const char* name;
        std::size_t size;
        std::vector<std::uint8_t> answers;  // after the start, one per frame out
        std::vector<std::size_t> frames;    // file offsets of the frames sent, in order
        std::vector<std::string> told;
        std::int32_t progress;
    };
    const Road roads[] = {
        {"done after a resend",
         9000,
         {0x81, 0x82, 0x82, 0x84},
         {0, 0, 4096, 8192},
         {"校验错误", "更新成功!"},
         9000},
        {"the head fails", 9000, {0x82, 0x86}, {0, 4096}, {"更新失败!"}, 4096},
        {"the head times out", 5000, {0x87}, {0}, {"更新超时!"}, 0},
        {"done too early", 9000, {0x84}, {0}, {"更新失败!"}, 0},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        PresenterRun r;
        r.ChooseFile(road.size);
        EXPECT_EQ(r.view.shown.totalCount, std::to_string(TotalBytesToSend(road.size)));
        r.view.device = DeviceSelection{1, PROTOCOL_INDEX_PELCO_D, 0};
        r.presenter->OnDeviceSelected(*r.view.device);
        EXPECT_EQ(r.view.busy, 0);
        EXPECT_EQ(r.view.busyPeriods, 1);
        EXPECT_TRUE(r.view.shown.connectEnabled);
        r.presenter->OnConnect();
        r.Answer(RSP_CONNECTED);
        EXPECT_EQ(r.view.shown.connectCaption, "连接成功");
        EXPECT_FALSE(r.view.shown.connectEnabled);
        ASSERT_TRUE(r.view.shown.startUpgradeEnabled);
        r.framesFrom = r.port.WrittenCount();
        r.presenter->OnStartUpgrade();
        EXPECT_FALSE(r.view.shown.startUpgradeEnabled);
        for (std::size_t k = 0; k < road.answers.size(); ++k) {
            r.FrameOut(k);
            r.Answer(road.answers[k]);
        }
        r.PumpUntil([] { return true; });
        EXPECT_EQ(r.view.told, road.told);
        // The count shown is final before each notice about a frame.
        ASSERT_FALSE(r.view.countsTold.empty());
        EXPECT_EQ(r.view.countsTold.back(), std::to_string(road.frames.size() * FRAME_SIZE));
        EXPECT_EQ(r.view.shown.progressPosition, road.progress);
        Bytes expected = kPelcoD2400;
        expected.insert(expected.end(), kGreeting.begin(), kGreeting.end());
        for (std::size_t offset : road.frames) {
            const Bytes frame = ExpectedFrame(r.image, offset);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(r.port.WrittenBytes(), expected);
    }
}

TEST(PresenterTable, Failures) {
    struct Failure {
        const char* name;
        std::function<void(PresenterRun&)> cause;
        std::vector<Notice> told;
        std::function<void(const ScreenState&)> screen;
    };
    const Failure failures[] = {
        {"a silent head",
         [](PresenterRun& r) {
             r.ChooseFile(100);
             r.presenter->OnConnect();
             r.clock.Advance(UpgradeEngine::kAnswerWait - 1ms);
             r.presenter->Pump();
             EXPECT_TRUE(r.view.told.empty()) << "not before the wait is up";
             r.clock.Advance(1ms);
             r.presenter->Pump();
         },
         {{"云台无应答!"}},
         [](const ScreenState& s) { EXPECT_TRUE(s.selectFileEnabled); }},
        {"the port vanishes",
         [](PresenterRun& r) {
             r.port.HangUp();
             r.PumpUntil([&] { return !r.view.told.empty(); });
         },
         {{"串口已断开!"}},
         [](const ScreenState& s) {
             EXPECT_EQ(s.openPortCaption, "打开串口");
             EXPECT_FALSE(s.selectFileEnabled);
         }},
        {"an empty file",
         [](PresenterRun& r) {
             r.view.device = DeviceSelection{1, 1, 0};
             r.ChooseFile(0);
             EXPECT_EQ(r.view.busyPeriods, 0) << "no device asked for";
         },
         {{"升级文件为空!"}},
         [](const ScreenState& s) {
             EXPECT_TRUE(s.progressVisible);
             EXPECT_NE(s.filePath, "");
             EXPECT_EQ(s.totalCount, "");
         }},
        {"a port that cannot be opened",
         [](PresenterRun& r) {
             r.presenter->OnOpenPortButton();
             r.port.RefuseOpening(true);
             r.presenter->OnOpenPortButton();
         },
         {{"串口打开错误", "Open Com", NoticeIcon::Exclamation}},
         [](const ScreenState& s) {
             EXPECT_EQ(s.openPortCaption, "打开串口");
             EXPECT_FALSE(s.selectFileEnabled);
         }},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        PresenterRun r;
        EXPECT_EQ(r.view.shown.openPortCaption, "关闭串口");
        failure.cause(r);
        EXPECT_EQ(r.view.notices, failure.told);
        failure.screen(r.view.shown);
    }
}

}  // namespace
