// Transfers against a troubled head, through the window, each checked three ways (the rows
// whose way goes through the window's own bindings; the whole matrix of faults runs at the
// presenter level, presenter_fault_matrix_test.cpp):
//  1. "更新成功!" only when the head holds the file byte for byte;
//  2. the operator is told whenever the head does not hold the file in the end;
//  3. choosing the file and the device again, connecting and starting brings the exact file
//     to the head, without restarting the program.
// The head runs its loader from the start and the window's pauses pass at once: the line's
// speeds do not matter here (the start-upgrade command is noise to a loader).
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "app/DeviceSelectDlg.h"
#include "res/resource.h"
#include "tests/support/HeadFaultRows.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/ToolFault.h"
#include "tests/support/WaitBreaker.h"
#include "tests/support/WindowFixture.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/Sender.h"

using namespace std::chrono_literals;
using fault_rows::Bytes;

class FaultRun;

// Named, not anonymous: the fixture derives from a template of it (and a unity build includes
// this file into another).
namespace window_faults {

// What the operator is told when a transfer does not end well.
const QStringList kToldTexts = {QStringLiteral("更新失败!"),   QStringLiteral("更新超时!"),
                                QStringLiteral("文件不可读!"), QStringLiteral("串口写入失败!"),
                                QStringLiteral("串口已断开!"), QStringLiteral("云台无应答!")};
const QString kSuccess = QStringLiteral("更新成功!");

struct FaultCase {
    const char* name;
    std::size_t imageSize;
    head::HeadFaults faults;
    // Acts on the run part-way (the head's report tells how far it got); may be empty.
    std::function<void(FaultRun&)> during;
    bool operatorEnds = false;  // the operator ends the transfer himself: nobody needs telling
    std::uint32_t pace = 0;     // the head reads no faster than a line of this speed
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace window_faults

using window_faults::FaultCase;
using window_faults::kSuccess;
using window_faults::kToldTexts;

class FaultRun : public WindowFixture, public ::testing::WithParamInterface<FaultCase> {
  public:
    void SetUp() override {
        WindowFixture::SetUp();
        services.clock = &instant;
    }
    void TearDown() override {
        window.reset();
        if (head) head->Stop();
        WindowFixture::TearDown();
    }

    // A head in its loader on a new pseudo-terminal, which the window then opens.
    void StartHead(const head::HeadFaults& faults) {
        head::HeadOptions options;
        options.startInLoader = true;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(image.size());
        options.faults = faults;
        options.paceBaud = GetParam().pace;
        // A frame cut off drops out of the head's reading well before the operator greets again.
        options.frameTimeout = 500ms;
        std::string error;
        if (head) head->Stop();
        breaker.reset();
        head = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(head) << error;  // the options are the test's own: a wrong one ends it here
        breaker.emplace(ToolFaultProbe(*head));
        head->Start();
    }
    void OpenHeadsPort() {
        window->portList->setEditText(QString::fromStdString(head->SlavePath()));
        window->OnPortListChange();
        ASSERT_TRUE(State().portOpen);
    }

    // "选择文件", then the device dialog as the operator fills it in, then "启动更新".
    void ChooseFileAndDevice() {
        window->SetFileChooser([this](QWidget*) { return QString::fromStdString(path); });
        QTimer::singleShot(0, [] {
            if (auto* dialog = qobject_cast<CDeviceSelectDlg*>(QApplication::activeModalWidget()))
                dialog->ControlAs<QPushButton>(IDC_START_DEVICE)->click();
        });
        window->OnSelectFile();
    }
    void CancelFileChoice() {
        window->SetFileChooser([](QWidget*) { return QString(); });
        window->OnSelectFile();
    }
    // Connects, pressing "连接云台" again when the head does not greet back at once, as an
    // operator would: a head still taking in a frame that was cut off takes the first greeting
    // for the rest of that frame.
    void ConnectAndStart() {
        bool greeted = false;
        for (int attempt = 0; attempt < 3 && !greeted; ++attempt) {
            window->OnConnect();
            greeted =
                ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled(); }, 2s);
        }
        ASSERT_TRUE(greeted) << "the head greets back";
        window->OnStartUpgrade();
    }

    // What happened, for a failure's message: the boxes and the head's own account.
    std::string Describe(const head::HeadReport& report) const {
        std::string text = "boxes:";
        for (const auto& box : boxes) {
            text += ' ';
            text += box.text.toStdString();
        }
        if (window) {
            const auto& state = window->Engine().State();
            text += "\ntool: sent " + std::to_string(state.bytesSent.load()) + ", last answer " +
                    std::to_string(window->Engine().LastResponse()) + ", sender awake " +
                    std::to_string(state.senderAwake.load()) + ", offset " +
                    std::to_string(window->Engine().FileOffset());
        }
        text += "\nhead:\n";
        for (const auto& event : report.events) text += "  " + event + "\n";
        return text;
    }
    bool Told() const {
        for (const auto& box : boxes)
            if (kToldTexts.contains(box.text)) return true;
        return false;
    }
    bool Ended() const { return Told() || BoxCount(kSuccess) > 0; }
    int BoxCount(const QString& text) const {
        int n = 0;
        for (const auto& box : boxes) n += box.text == text;
        return n;
    }
    // Serves the window until the transfer has ended and the line has been still for a while;
    // a head that has gone quiet for good gets the window's wait for its answer run out.
    void RunToEnd() {
        if (!ProcessEventsUntil([&] { return Ended(); }, 4s)) {
            instant.Advance(UpgradeEngine::kAnswerWait + 1s);
            window->OnTimer();
            ProcessEventsUntil([&] { return Ended(); }, 2s);
        }
        // A sender that has stopped has posted its last report before it finished.
        ProcessEventsUntil([&] {
            const auto& sender = State().senderThread;
            return !sender || sender->Finished() || State().senderAwake == 0;
        });
        QApplication::processEvents();
        // Whatever the head still does (a late answer, a resend) is seen through.
        std::uint64_t seen = ~0ull;
        for (int i = 0; i < 100 && head->IsRunning(); ++i) {
            const std::uint64_t now = head->Report().bytesReceived;
            if (now == seen) break;
            seen = now;
            ProcessEventsFor(150ms);
        }
    }
    // Waits, serving the window, until the head's report says so.
    bool HeadReached(const std::function<bool(const head::HeadReport&)>& condition) {
        return ProcessEventsUntil([&] { return condition(head->Report()); }, 5s);
    }

    TestClock instant{TestClock::Mode::Instant};
    TempDir folder{"kavlet-faults"};
    Bytes image;
    std::string path;
    std::unique_ptr<head::VirtualHead> head;
    // A broken frame or handshake ends the row at the first one the head sees.
    std::optional<WaitBreaker> breaker;
};

TEST_P(FaultRun, NoFalseSuccessTheOperatorIsToldAndTheFileGetsThroughAfterwards) {
    const FaultCase& c = GetParam();
    image = RandomImage(c.imageSize, static_cast<std::uint32_t>(c.imageSize));
    path = folder.File("firmware.bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.size());

    StartHead(c.faults);
    if (HasFatalFailure()) return;
    CreateWindow();
    OpenHeadsPort();
    ChooseFileAndDevice();
    // The head may not greet back: then there is nothing to start.
    window->OnConnect();
    if (ProcessEventsUntil([&] { return window->startUpgradeButton->isEnabled() || Ended(); },
                           2s) &&
        window->startUpgradeButton->isEnabled()) {
        window->OnStartUpgrade();
    }
    if (c.during) c.during(*this);
    RunToEnd();
    if (WaitBreaker::Broken()) return;

    const head::HeadReport first = head->Report();
    const bool headHoldsFile = first.imagesCompleted > 0 && first.finishedImage == image;
    if (BoxCount(kSuccess) > 0) {
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
    if (!State().portOpen || State().serialPort->PortName() != head->SlavePath()) OpenHeadsPort();
    boxes.clear();
    ChooseFileAndDevice();
    ConnectAndStart();
    // A report of the first run may still come in (a box of its write that failed): only the
    // success of this one counts here.
    EXPECT_TRUE(ProcessEventsUntil([&] { return BoxCount(kSuccess) > 0; }, 15s))
        << Describe(head->Report());
    EXPECT_EQ(BoxCount(kSuccess), 1);
    const head::HeadReport second = head->Report();
    EXPECT_EQ(second.finishedImage, image) << "the exact file, the second time";
}

namespace {

using namespace fault_rows;

// Actions part-way through a transfer.
std::function<void(FaultRun&)> AfterFrame(unsigned frame, std::function<void(FaultRun&)> act) {
    return [frame, act](FaultRun& run) {
        ASSERT_TRUE(
            run.HeadReached([frame](const head::HeadReport& r) { return r.frames >= frame; }));
        act(run);
    };
}
// While frame 2 is held by the head's XOFF, part of it received.
std::function<void(FaultRun&)> MidFrame2(std::function<void(FaultRun&)> act) {
    return [act](FaultRun& run) {
        ASSERT_TRUE(
            run.HeadReached([](const head::HeadReport& r) { return r.xoffSent && !r.xonSent; }));
        act(run);
    };
}

// The rows that go through the window's own bindings: a resend shown, its timer running out
// the wait for a silent head, the port lost mid-frame, a file gone, the file dialog and the
// device dialog opened mid-frame; and a head at a real line's pace whose answer comes twice.
// Every other kind of fault has its row at the presenter level, on the same head
// (presenter_fault_matrix_test.cpp).
const FaultCase kCases[] = {
    {"reject middle 81", kThree, Reject(2, 0x81), {}, false},
    {"82 to frame 1 again 50 ms later, paced line", kThree, Echo(1, 50ms), {}, false, 115200},
    {"silent from frame 2", kThree, Silent(2), {}, false},
    {"head gone mid-frame", kThree, Xoff(2, 10min),
     MidFrame2([](FaultRun& run) { run.head->Stop(); }), false},
    {"file deleted",
     kThree,
     {},
     AfterFrame(1, [](FaultRun& run) { std::filesystem::remove(run.path); }),
     false},
    // The operator chooses again while a frame goes out.
    {"file and device again mid-frame", kThree, Xoff(2, 10min),
     MidFrame2([](FaultRun& run) { run.ChooseFileAndDevice(); }), true},
    {"file again mid-frame, dialog cancelled", kThree, Xoff(2, 1s),
     MidFrame2([](FaultRun& run) { run.CancelFileChoice(); }), true},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Faults, FaultRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& param) {
                             std::string name;
                             for (const char* p = param.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });
