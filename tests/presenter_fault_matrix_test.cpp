// Transfers against a troubled head, through the presenter and a fake view (what the window does
// without a toolkit), each checked three ways:
//  1. "更新成功!" only when the head holds the file byte for byte;
//  2. the operator is told whenever the head does not hold the file in the end;
//  3. choosing the file and the device again, connecting and starting brings the exact file
//     to the head, without starting the presenter anew.
// The head runs its loader from the start on a pseudo-terminal and the engine's pauses pass at
// once. The window's own bindings of the same flow keep a few rows in fault_matrix_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "present/UpgradePresenter.h"
#include "tests/support/HeadFaultRows.h"
#include "tests/support/PresenterFixture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/ToolFault.h"
#include "tests/support/WaitBreaker.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/Sender.h"

using namespace std::chrono_literals;
using namespace fault_rows;

class PresenterFaultRun;

// Named, not anonymous: the fixture derives from a template of it (and may share a unity build
// with the presenter's other tests).
namespace presenter_faults {

// What the operator is told when a transfer does not end well.
const std::vector<std::string> kToldTexts = {"更新失败!",     "更新超时!",   "文件不可读!",
                                             "串口写入失败!", "串口已断开!", "云台无应答!"};
const std::string kSuccess = "更新成功!";

struct PresenterFaultCase {
    const char* name;
    std::size_t imageSize;
    head::HeadFaults faults;
    // Acts on the run part-way (the head's report tells how far it got); may be empty.
    std::function<void(PresenterFaultRun&)> during;
    bool operatorEnds = false;  // the operator ends the transfer himself: nobody needs telling
};

void PrintTo(const PresenterFaultCase& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace presenter_faults

using presenter_faults::kSuccess;
using presenter_faults::kToldTexts;
using presenter_faults::PresenterFaultCase;

class PresenterFaultRun : public ::testing::TestWithParam<PresenterFaultCase> {
  public:
    void TearDown() override {
        if (presenter) presenter->Stop();
        presenter.reset();
        if (head) head->Stop();
    }

    void StartHead(const head::HeadFaults& faults) {
        head::HeadOptions options;
        options.startInLoader = true;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(image.size());
        options.faults = faults;
        options.frameTimeout = 500ms;
        std::string error;
        if (head) head->Stop();
        breaker.reset();
        head = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(head) << error;
        breaker.emplace(ToolFaultProbe(*head));
        head->Start();
    }
    void CreatePresenter() {
        view.port = "COM250";  // no such port: nothing is opened at start-up
        presenter =
            std::make_unique<UpgradePresenter>(view, UpgradePresenter::Services{{}, &instant});
        presenter->OnInitDialog();
    }
    void OpenHeadsPort() {
        view.port = head->SlavePath();
        presenter->OnPortListChange();
        ASSERT_EQ(presenter->Screen().openPortCaption, "关闭串口");
    }
    // "选择文件", the device as the dialog's defaults give it (1, Pelco-D, 2400), "启动更新".
    void ChooseFileAndDevice() {
        view.file = path;
        view.device = DeviceSelection{1, PROTOCOL_INDEX_PELCO_D, 0};
        presenter->OnSelectFile();
    }
    void CancelFileChoice() {
        view.file.reset();
        presenter->OnSelectFile();
    }
    // Pumps as the window does when woken, until condition holds or the time is up.
    bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        std::unique_lock lock(view.mutex);
        for (;;) {
            view.rung = false;
            lock.unlock();
            presenter->Pump();
            lock.lock();
            if (condition()) return true;
            if (WaitBreaker::Broken() || std::chrono::steady_clock::now() >= end) return false;
            if (!view.rung)
                view.changed.wait_until(lock, WaitBreaker::WakeBy(std::min(
                                                  end, std::chrono::steady_clock::now() + 5ms)));
        }
    }
    void PumpFor(std::chrono::milliseconds span) {
        PumpUntil([] { return false; }, span);
    }
    void ConnectAndStart() {
        bool greeted = false;
        for (int attempt = 0; attempt < 3 && !greeted; ++attempt) {
            presenter->OnConnect();
            greeted = PumpUntil([&] { return presenter->Screen().startUpgradeEnabled; }, 2s);
        }
        ASSERT_TRUE(greeted) << "the head greets back";
        presenter->OnStartUpgrade();
    }
    std::string Describe(const head::HeadReport& report) const {
        std::string text = "told:";
        for (const auto& t : view.Told()) text += ' ' + t;
        text += "\nhead:\n";
        for (const auto& event : report.events) text += "  " + event + "\n";
        return text;
    }
    bool Told() const {
        for (const auto& t : view.Told())
            if (std::find(kToldTexts.begin(), kToldTexts.end(), t) != kToldTexts.end()) return true;
        return false;
    }
    int CountTold(const std::string& text) const {
        const auto told = view.Told();
        return static_cast<int>(std::count(told.begin(), told.end(), text));
    }
    bool Ended() const { return Told() || CountTold(kSuccess) > 0; }
    // Serves the presenter until the transfer has ended and the line has been still a while; a
    // head gone quiet for good gets the wait for its answer run out.
    void RunToEnd() {
        if (!PumpUntil([&] { return Ended(); }, 4s)) {
            instant.Advance(UpgradeEngine::kAnswerWait + 1s);
            PumpUntil([&] { return Ended(); }, 2s);
        }
        PumpUntil(
            [&] {
                const auto& state = presenter->Engine().State();
                return !state.senderThread || state.senderThread->Finished() ||
                       state.senderAwake == 0;
            },
            5s);
        std::uint64_t seen = ~0ull;
        for (int i = 0; i < 100 && head->IsRunning(); ++i) {
            const std::uint64_t now = head->Report().bytesReceived;
            if (now == seen) break;
            seen = now;
            PumpFor(150ms);
        }
    }
    bool HeadReached(const std::function<bool(const head::HeadReport&)>& condition) {
        return PumpUntil([&] { return condition(head->Report()); }, 5s);
    }

    TestClock instant{TestClock::Mode::Instant};
    FakeView view;
    TempDir folder{"kavlet-presenter-faults"};
    Bytes image;
    std::string path;
    std::unique_ptr<head::VirtualHead> head;
    std::optional<WaitBreaker> breaker;
    std::unique_ptr<UpgradePresenter> presenter;  // last: ends before the head and the view
};

TEST_P(PresenterFaultRun, NoFalseSuccessTheOperatorIsToldAndTheFileGetsThroughAfterwards) {
    const PresenterFaultCase& c = GetParam();
    image = RandomImage(c.imageSize, static_cast<std::uint32_t>(c.imageSize));
    path = folder.File("firmware.bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.size());

    StartHead(c.faults);
    if (HasFatalFailure()) return;
    CreatePresenter();
    OpenHeadsPort();
    ChooseFileAndDevice();
    presenter->OnConnect();
    if (PumpUntil([&] { return presenter->Screen().startUpgradeEnabled || Ended(); }, 2s) &&
        presenter->Screen().startUpgradeEnabled) {
        presenter->OnStartUpgrade();
    }
    if (c.during) c.during(*this);
    RunToEnd();
    if (WaitBreaker::Broken()) return;

    const head::HeadReport first = head->Report();
    const bool headHoldsFile = first.imagesCompleted > 0 && first.finishedImage == image;
    if (CountTold(kSuccess) > 0) {
        EXPECT_TRUE(headHoldsFile) << "success claimed for an image the head does not hold";
    }
    if (!headHoldsFile && !c.operatorEnds) {
        EXPECT_TRUE(Told()) << "the head lacks the file and nobody said so\n" << Describe(first);
    }

    // Again, as the operator would: the same file, the device, connect, start.
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), image.size());
    if (head->IsRunning()) {
        head->SetFaults({});
    } else {
        StartHead({});
    }
    if (presenter->Screen().openPortCaption != "关闭串口" ||
        presenter->Engine().State().serialPort->PortName() != head->SlavePath())
        OpenHeadsPort();
    view.notices.clear();
    ChooseFileAndDevice();
    ConnectAndStart();
    EXPECT_TRUE(PumpUntil([&] { return CountTold(kSuccess) > 0; }, 15s))
        << Describe(head->Report());
    EXPECT_EQ(CountTold(kSuccess), 1);
    EXPECT_EQ(head->Report().finishedImage, image) << "the exact file, the second time";
}

namespace {

std::function<void(PresenterFaultRun&)> AfterFrame(unsigned frame,
                                                   std::function<void(PresenterFaultRun&)> act) {
    return [frame, act](PresenterFaultRun& run) {
        ASSERT_TRUE(
            run.HeadReached([frame](const head::HeadReport& r) { return r.frames >= frame; }));
        act(run);
    };
}

// The rest of the matrix, the rows whose way goes through the window's own bindings (its timer,
// its modal dialogs mid-frame, a file gone, the port lost mid-frame), is in fault_matrix_test.cpp.
const PresenterFaultCase kCases[] = {
    // Checksum errors on the first, a middle, the last and the only frame, both codes.
    {"reject first 81", kThree, Reject(1, 0x81), {}, false},
    {"reject first 83", kThree, Reject(1, 0x83), {}, false},
    {"reject middle 83", kThree, Reject(2, 0x83), {}, false},
    {"reject short last 81", kThree, Reject(3, 0x81), {}, false},
    {"reject short last 83", kThree, Reject(3, 0x83), {}, false},
    {"reject full last 81", kExact, Reject(2, 0x81), {}, false},
    {"reject full last 83", kExact, Reject(2, 0x83), {}, false},
    {"reject only 81", kOne, Reject(1, 0x81), {}, false},
    {"reject only 83", kOne, Reject(1, 0x83), {}, false},
    {"reject resent frame too", kThree, Reject(3, 0x81), {}, false},
    // Failure and time-out from the head, in place of an answer.
    {"86 to the greeting", kThree, FailAt(0, 0x86), {}, false},
    {"86 to frame 1", kThree, FailAt(1, 0x86), {}, false},
    {"86 to frame 2", kThree, FailAt(2, 0x86), {}, false},
    {"86 to the last frame", kThree, FailAt(3, 0x86), {}, false},
    {"87 to frame 1", kThree, FailAt(1, 0x87), {}, false},
    {"87 to frame 2", kThree, FailAt(2, 0x87), {}, false},
    {"87 to the last frame", kThree, FailAt(3, 0x87), {}, false},
    // 86 and 87 unasked, while a frame comes in.
    {"86 unasked in frame 2", kThree, Unprompted(2, 0x86), {}, false},
    {"87 unasked in frame 2", kThree, Unprompted(2, 0x87), {}, false},
    {"86 unasked in the only frame", kOne, Unprompted(1, 0x86), {}, false},
    // XOFF held briefly, long, and for good.
    {"XOFF 50 ms in frame 2", kThree, Xoff(2, 50ms), {}, false},
    {"XOFF 1.5 s in frame 2", kThree, Xoff(2, 1500ms), {}, false},
    {"XOFF for good in frame 2", kThree, Xoff(2, 10min), {}, false},
    {"XOFF 50 ms in the last frame", kThree, Xoff(3, 50ms), {}, false},
    {"XOFF for good in the only frame", kOne, Xoff(1, 10min), {}, false},
    // Garbage before, after and merged with answers.
    {"garbage before the greeting's answer", kThree, Garbage(0, true), {}, false},
    {"garbage after the greeting's answer", kThree, Garbage(0, false), {}, false},
    {"garbage before frame 2's answer", kThree, Garbage(2, true), {}, false},
    {"garbage after frame 2's answer", kThree, Garbage(2, false), {}, false},
    {"garbage after the last answer", kThree, Garbage(3, false), {}, false},
    {"82 80 in one chunk", kThree, Merge(1, {0x80}, false), {}, false},
    {"80 82 in one chunk", kThree, Merge(0, {0x82}, false), {}, false},
    {"garbage merged before frame 2's answer", kThree, Merge(2, {0x55, 0xAA}, true), {}, false},
    {"a second 82 with frame 1's", kThree, Merge(1, {0x82}, false), {}, false},
    {"a second 82 before the last frame's 84", kThree, Merge(3, {0x82}, true), {}, false},
    // Done too early, and withheld.
    {"84 after frame 2 of 3, one chunk", kThree, Merge(2, {0x84}, true), {}, false},
    {"84 before frame 1's 82, one chunk", kThree, Merge(1, {0x84}, true), {}, false},
    {"84 with the last frame's 82 behind it", kThree, Merge(3, {0x82}, false), {}, false},
    {"82 for 84: one frame more", kThree, WithholdDone(), {}, false},
    // A head that goes quiet.
    {"silent from the greeting", kThree, Silent(0), {}, false},
    {"silent from frame 1", kThree, Silent(1), {}, false},
    {"silent from the last frame", kThree, Silent(3), {}, false},
    // The head gone between frames.
    {"head gone between frames", kThree, Silent(2),
     AfterFrame(2, [](PresenterFaultRun& run) { run.head->Stop(); }), false},
    // The file rewritten, truncated, emptied or grown while it goes out.
    {"file rewritten in place",
     kThree,
     {},
     AfterFrame(1,
                [](PresenterFaultRun& run) {
                    Bytes other = run.image;
                    for (std::uint8_t& b : other) b ^= 0x5A;
                    std::ofstream(run.path, std::ios::binary | std::ios::in | std::ios::out)
                        .write(reinterpret_cast<const char*>(other.data()),
                               static_cast<std::streamsize>(other.size()));
                }),
     false},
    {"file truncated",
     kThree,
     {},
     AfterFrame(1, [](PresenterFaultRun& run) { std::filesystem::resize_file(run.path, 100); }),
     false},
    {"file emptied",
     kThree,
     {},
     AfterFrame(1, [](PresenterFaultRun& run) { std::filesystem::resize_file(run.path, 0); }),
     false},
    {"file grown",
     kThree,
     {},
     AfterFrame(1,
                [](PresenterFaultRun& run) {
                    std::ofstream(run.path, std::ios::binary | std::ios::app)
                        << std::string(5000, 'x');
                }),
     false},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Faults, PresenterFaultRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PresenterFaultCase>& param) {
                             std::string name;
                             for (const char* p = param.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });
