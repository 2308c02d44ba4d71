// The main window's behaviour without a toolkit: the presenter against a fake view, on
// in-memory lines with the instant clock (tests/support/PresenterFixture.h). A row is a
// sequence of what happens (operator actions, the head's answers, the line failing, time
// passing) and what the operator sees at the end: the notices told, in order, and the screen
// state; the line carries exactly the bytes given, each at the speed given.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "present/FailureNotices.h"
#include "tests/support/PresenterFixture.h"
#include "tests/support/TestImages.h"
#include "upgrade/ImageCheck.h"
#include "upgrade/ResponseCodes.h"

namespace {

using engine_test::Bytes;
using engine_test::ExpectedFrame;
using namespace std::chrono_literals;

const Bytes kPelcoD2400 = {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58};
const Bytes kGreeting = {0x3F, 0x3F};
const Notice kOpenError{"串口打开错误", "Open Com", NoticeIcon::Exclamation};

ScreenState With(ScreenState s, const std::function<void(ScreenState&)>& change) {
    change(s);
    return s;
}
const ScreenState kClosed{};
const ScreenState kOpen = OpenScreen();
const ScreenState kConnectable = With(kOpen, [](ScreenState& s) { s.connectEnabled = true; });
// The head has answered the greeting.
const ScreenState kConnected = With(kOpen, [](ScreenState& s) {
    s.startUpgradeEnabled = true;
    s.connectCaption = "连接成功";
});

// Every way a transfer can fail has its own row in the window's table, in the order the
// failures are listed, and a failure the engine reports is told (a row left out, or given
// twice, would tell the operator another failure's notice).
TEST(PresenterTable, EveryFailureHasItsOwnNotice) {
    ASSERT_EQ(FailureNotices().size(), kAllTransferFailures.size());
    for (std::size_t i = 0; i < kAllTransferFailures.size(); ++i) {
        const TransferFailure failure = kAllTransferFailures[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(FailureNotices()[i].failure, failure);
        EXPECT_EQ(FailureNoticeFor(failure).failure, failure);
        const bool fromEngine = failure < TransferFailure::ImageRefused;
        if (fromEngine) {
            EXPECT_TRUE(NoticeOf(FailureNoticeFor(failure))) << "told";
        }
    }
}

// Each row: the ports a machine has; the port box lists COM1 to COM50, then these.
TEST(PresenterTable, PortBoxListsCom1ToCom50ThenTheOtherPorts) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0";
    const auto port = [](std::string path, std::string target = "") {
        return PortEntry{std::move(path), std::move(target), "", "", ""};
    };
    struct Row {
        const char* name;
        std::vector<PortEntry> found;
        std::vector<std::string> after;
    } const rows[] = {
        {"None", {}, {}},
        {"AdaptersByIdNameElseByDevice",
         {port(byId, "/dev/ttyUSB0"), port("/dev/ttyUSB0"), port("/dev/ttyUSB1"),
          port("/dev/ttyACM0")},
         {byId, "/dev/ttyUSB1", "/dev/ttyACM0"}},
        {"BuiltInPortsAreTheirComNames",
         {port("/dev/ttyS0"), port("/dev/ttyS2"), port("/dev/ttyS63")},
         {"/dev/ttyS63"}},
        {"WindowsComPortsAboveCom50",
         {port("COM3"), port("com50"), port("COM51"), port("COM128")},
         {"COM51", "COM128"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<std::string> ports = UpgradePresenter::PortChoices(row.found);
        ASSERT_EQ(ports.size(), 50 + row.after.size());
        for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(ports[i], "COM" + std::to_string(i + 1));
        EXPECT_EQ(std::vector<std::string>(ports.begin() + 50, ports.end()), row.after);
    }
}

// Each row: the port's controls from start-up on. Ends with the notices, the screen, which
// port holds the open line (0: none) at which speed, and the bytes COM1 carried.
TEST(PresenterTable, Ports) {
    struct Outcome {
        Outcome(std::vector<Notice> t, ScreenState s, int on = 0, std::uint32_t b = 0, Bytes c = {})
            : told(std::move(t)), screen(std::move(s)), openOn(on), baud(b), onCom1(std::move(c)) {}
        std::vector<Notice> told;
        ScreenState screen;
        int openOn;  // the port whose line is open: 1, 2, or none
        std::uint32_t baud;
        Bytes onCom1;
    };
    struct Row {
        Row(const char* n, Outcome w, std::function<void(PresenterRun&)> s, bool missing = false)
            : name(n), want(std::move(w)), steps(std::move(s)), com1Missing(missing) {}
        const char* name;
        Outcome want;
        std::function<void(PresenterRun&)> steps;
        bool com1Missing;
    };
    const auto choose = [](PresenterRun& r, const char* port) {
        r.view.port = port;
        r.presenter->OnPortListChange();
    };
    const Row rows[] = {
        {"start-up opens COM1 at 115200", {{}, kOpen, 1, 115200}, [](PresenterRun&) {}},
        {"start-up without COM1", {{kOpenError}, kClosed}, [](PresenterRun&) {}, true},
        {"closed and opened 25 times after a reopening",
         {{}, kConnectable, 1, 115200},
         [](PresenterRun& r) {
             r.presenter->OnReopenPort();
             for (int cycle = 0; cycle < 25; ++cycle) {
                 r.presenter->OnOpenPortButton();
                 EXPECT_EQ(r.view.shown, With(kClosed, [](auto& s) { s.connectEnabled = true; }));
                 EXPECT_FALSE(r.port.LineOpen());
                 r.presenter->OnOpenPortButton();
             }
         }},
        {"COM2 chosen: the line moves and answers come from there",
         {{}, kConnected, 2, 115200},
         [&](PresenterRun& r) {
             choose(r, "COM2");
             EXPECT_FALSE(r.port.Push({RSP_CONNECTED})) << "COM1 is closed";
             r.Answer(RSP_CONNECTED, &r.com2);
         }},
        {"a port chosen while closed is opened",
         {{}, kOpen, 2, 115200},
         [&](PresenterRun& r) {
             r.presenter->OnOpenPortButton();
             choose(r, "COM2");
             EXPECT_EQ(r.namesOpened, (std::vector<std::string>{"COM1", "COM2"}));
         }},
        {"a missing port chosen: the old one closes",
         {{kOpenError}, kClosed},
         [&](PresenterRun& r) { choose(r, "COM3"); }},
        {"a typed path is opened as it stands",
         {{}, kOpen, 2, 115200},
         [&](PresenterRun& r) {
             choose(r, " \t/dev/ttyMEM2 ");
             EXPECT_EQ(r.namesOpened.back(), "/dev/ttyMEM2");
         }},
        {"reopening while closed does nothing",
         {{}, kClosed},
         [](PresenterRun& r) {
             r.presenter->OnOpenPortButton();
             r.presenter->Engine().LineSettings().baudRate = 9600;
             r.presenter->OnReopenPort();
         }},
        {"reopening while open takes the new speed and leaves start alone",
         {{}, With(kConnected, [](auto& s) { s.connectEnabled = true; }), 1, 9600},
         [](PresenterRun& r) {
             r.presenter->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
             r.presenter->Engine().LineSettings().baudRate = 9600;
             r.presenter->OnReopenPort();
         }},
        {"a failed reopening disables connect and start",
         {{kOpenError}, With(kClosed, [](auto& s) { s.connectCaption = "连接成功"; })},
         [](PresenterRun& r) {
             r.presenter->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
             r.presenter->OnReopenPort();
             ASSERT_TRUE(r.view.shown.connectEnabled && r.view.shown.startUpgradeEnabled);
             r.port.RefuseOpening(true);  // the device is gone by the time the port reopens
             r.presenter->OnReopenPort();
         }},
        {"a port that cannot be opened",
         {{kOpenError}, kClosed},
         [](PresenterRun& r) {
             r.presenter->OnOpenPortButton();
             r.port.RefuseOpening(true);
             r.presenter->OnOpenPortButton();
         }},
        {"a port that vanishes is closed and told; another opens",
         {{{"串口已断开!"}}, kConnected, 2, 115200},
         [&](PresenterRun& r) {
             r.port.HangUp();
             ASSERT_TRUE(r.PumpUntil([&] { return !r.view.notices.empty(); }));
             EXPECT_EQ(r.view.shown, kClosed);
             choose(r, "COM2");
             r.Answer(RSP_CONNECTED, &r.com2);
         }},
        {"presses on disabled buttons do nothing; connect greets once enabled, on no line closed",
         {{}, With(kClosed, [](auto& s) { s.connectEnabled = true; }), 0, 0, kGreeting},
         [](PresenterRun& r) {
             r.presenter->OnConnect();
             r.presenter->OnStartUpgrade();
             r.presenter->OnReopenPort();  // a reopening enables connect
             r.presenter->OnConnect();
             r.presenter->OnOpenPortButton();
             r.presenter->OnSelectFile();
             r.presenter->OnConnect();
             EXPECT_EQ(r.view.devicesAsked, 0);
         }},
        {"a silent head after the greeting is told once; a late answer counts",
         {{{"云台无应答!"}}, kConnected, 1, 115200, kGreeting},
         [](PresenterRun& r) {
             r.presenter->OnReopenPort();
             r.presenter->OnConnect();
             r.WaitOutTheAnswer();
             r.Answer(RSP_CONNECTED);
         }},
        {"a code that answers no greeting leaves the wait running",
         {{{"云台无应答!"}}, kConnectable, 1, 115200, kGreeting},
         [](PresenterRun& r) {
             r.presenter->OnReopenPort();
             r.presenter->OnConnect();
             r.Answer(RSP_BLOCK_OK);
             r.WaitOutTheAnswer();
         }},
        {"answers without a file or a transfer leave everything alone",
         {{{"校验错误"}}, kOpen, 1, 115200},
         [](PresenterRun& r) {
             r.Answer(RSP_BLOCK_OK);
             r.Answer(RSP_CHECKSUM_ERROR);
         }},
        {"84 before any start answers nothing: no transfer failed",
         {{}, kConnected, 1, 115200},
         [](PresenterRun& r) {
             r.Answer(RSP_CONNECTED);
             r.Answer(RSP_DONE);
         }},
        {"start without a file only disables itself",
         {{}, With(kConnected, [](auto& s) { s.startUpgradeEnabled = false; }), 1, 115200},
         [](PresenterRun& r) {
             r.presenter->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
             r.presenter->OnStartUpgrade();
         }},
        {"a device chosen while closed: nothing sent, 115200 on the next opening",
         {{}, kOpen, 1, 115200},
         [](PresenterRun& r) {
             r.presenter->OnOpenPortButton();
             r.presenter->Engine().LineSettings().baudRate = 9600;
             r.presenter->OnDeviceSelected({1, 1, 0});
             EXPECT_EQ(r.view.shown, kClosed);
             r.presenter->OnOpenPortButton();
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterRun r(!row.com1Missing);
        row.steps(r);
        r.Settle();
        EXPECT_EQ(r.view.notices, row.want.told);
        EXPECT_EQ(r.view.shown, row.want.screen);
        EXPECT_EQ(r.port.LineOpen(), row.want.openOn == 1);
        EXPECT_EQ(r.com2.LineOpen(), row.want.openOn == 2);
        if (row.want.openOn) {
            EXPECT_EQ((row.want.openOn == 1 ? r.port : r.com2).CurrentBaudRate(), row.want.baud);
        }
        EXPECT_EQ(r.port.WrittenBytes(), row.want.onCom1);
    }
}

// The send path: hex text as typed, the bytes it puts on the line in one write.
TEST(PresenterTable, HexTexts) {
    const std::pair<std::string, Bytes> rows[] = {
        {"  7e \r\n0A1b  ", {0x7E, 0x0A, 0x1B}},
        {"", {}},
        {" \t\r\n ", {}},
        {"4 1", {}},
        {"12\t34", {0x12}},
        {std::string(5000, '0'), {}},  // longer than the work area: refused whole
    };
    for (const auto& [text, bytes] : rows) {
        SCOPED_TRACE(text.substr(0, 20));
        PresenterRun r;
        r.presenter->SendHexText(text);
        EXPECT_EQ(r.port.WrittenBytes(), bytes);
        EXPECT_TRUE(r.view.notices.empty());
    }
}

// The device dialog's choice: the start-upgrade command at the head's speed, then the line back
// at 115200 with connect enabled. Speed index 10 leaves the speed the line had.
TEST(PresenterTable, Devices) {
    struct Row {
        DeviceSelection device;
        std::uint32_t speedBefore;
        std::uint32_t commandBaud;
        Bytes command;
    };
    const Row rows[] = {
        {{1, 1, 0}, 115200, 2400, {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}},
        {{1, 0, 1}, 115200, 4800, {0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}},
        {{169, 1, 7}, 115200, 128000, {0xFF, 0xA9, 0x00, 0x57, 0x00, 0x00, 0x00}},
        {{255, 255, 8}, 115200, 256000, {0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6}},
        {{16, 0, 9}, 115200, 921600, {0xA0, 0x0F, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x57}},
        {{5, 1, 10}, 115200, 115200, {0xFF, 0x05, 0x00, 0x57, 0x00, 0x00, 0x5C}},
        {{1, 1, 10}, 57600, 57600, kPelcoD2400},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << int(row.device.address) << " speed " << int(row.device.speedIndex)
                     << " from " << row.speedBefore);
        PresenterRun r;
        r.presenter->Engine().LineSettings().baudRate = row.speedBefore;
        r.presenter->OnDeviceSelected(row.device);
        EXPECT_EQ(r.port.WrittenBytes(), row.command);
        for (const auto& byte : r.port.Written()) EXPECT_EQ(byte.baudRate, row.commandBaud);
        EXPECT_EQ(r.port.CurrentBaudRate(), 115200u);
        EXPECT_EQ(r.view.shown, kConnectable);
        EXPECT_TRUE(r.view.notices.empty());
        EXPECT_EQ(r.view.busy, 0);
        EXPECT_EQ(r.view.busyPeriods, 1);
    }
}

// Choosing the firmware file: what counts as an image, the total shown, whether the device
// dialog follows, and whether starting after the greeting sends its first frame.
TEST(PresenterTable, Files) {
    struct Row {
        const char* name;
        std::optional<std::string> told;
        std::string total;
        std::function<std::string(PresenterRun&)> make;  // the path the file dialog answers
    };
    const auto sized = [](std::size_t size) {
        return [size](PresenterRun& r) { return r.WriteFile("a.bin", RandomImage(size, 7)); };
    };
    const char* unreadable = "文件不可读!";
    const Row rows[] = {
        {"1 byte", {}, "4107", sized(1)},
        {"4096 bytes", {}, "4107", sized(4096)},
        {"4097 bytes", {}, "8214", sized(4097)},
        {"10000 bytes", {}, "12321", sized(10000)},
        {"missing", unreadable, "", [](PresenterRun& r) { return r.folder.File("gone.bin"); }},
        {"empty", "升级文件为空!", "", [](PresenterRun& r) { return r.WriteFile("e.bin", {}); }},
        {"folder", unreadable, "",
         [](PresenterRun& r) {
             std::filesystem::create_directory(r.folder.File("dir.bin"));
             return r.folder.File("dir.bin");
         }},
        {"FIFO without a writer (opening never waits)", unreadable, "",
         [](PresenterRun& r) {
             mkfifo(r.folder.File("pipe.bin").c_str(), 0600);
             return r.folder.File("pipe.bin");
         }},
        {"device reporting size 0", unreadable, "", [](PresenterRun&) { return "/dev/zero"; }},
        // The kernel calls it a regular file of 0 bytes: read to its end, it holds some.
        {"file under /proc reporting size 0",
         {},
         "4107",
         [](PresenterRun&) { return "/proc/version"; }},
        {"a byte more than the largest image", unreadable, "",
         [](PresenterRun& r) {
             const std::string path = r.folder.File("huge.bin");
             std::ofstream(path).close();
             std::filesystem::resize_file(path, std::uintmax_t{kMaxImageSize} + 1);  // sparse
             return path;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterRun r;
        r.view.file = row.make(r);
        r.presenter->OnSelectFile();
        EXPECT_EQ(r.view.Told(),
                  row.told ? std::vector<std::string>{*row.told} : std::vector<std::string>{});
        EXPECT_EQ(r.view.shown.totalCount, row.total);
        EXPECT_EQ(r.view.shown.filePath, *r.view.file);
        EXPECT_TRUE(r.view.shown.progressVisible);
        EXPECT_EQ(r.view.shown.progressPosition, 0);
        EXPECT_EQ(r.view.devicesAsked, row.told ? 0 : 1);

        r.presenter->OnSerialData(std::vector<std::uint8_t>{RSP_CONNECTED});
        ASSERT_TRUE(r.view.shown.startUpgradeEnabled);
        r.presenter->OnStartUpgrade();
        EXPECT_FALSE(r.view.shown.startUpgradeEnabled);
        if (row.told) {
            r.Settle();
            EXPECT_EQ(r.port.WrittenCount(), 0u) << "no current file: start only disables itself";
        } else {
            r.FramesOut(1);
            std::ifstream in(*r.view.file, std::ios::binary);
            const Bytes image{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(r.FrameOnLine(0), ExpectedFrame(image, 0));
        }
    }
}

bool SendsAFrame(std::uint8_t code) {
    return code == RSP_BLOCK_OK || IsChecksumError(code);
}

// Each row: one road through a transfer. After the start, before each answer, the frames it
// follows are out; the count shown follows every frame. Ends with the notices, the bar, the
// frames on the line and what starting again after a greeting sends.
TEST(PresenterTable, Roads) {
    constexpr int kNothing = -1, kNotLooked = -2;
    struct Road {
        const char* name;
        std::size_t size;
        std::vector<std::uint8_t> answers;
        std::vector<std::size_t> frames;  // file offsets of the frames sent, in order
        std::vector<std::string> told;
        std::size_t framesWhenLastTold;
        std::int32_t progress;
        int restartFrom;  // offset of the frame starting again sends
    };
    const Road roads[] = {
        {"a whole image",
         10000,
         {0x82, 0x82, 0x84},
         {0, 4096, 8192},
         {"更新成功!"},
         3,
         10000,
         kNothing},
        {"done after a resend",
         9000,
         {0x81, 0x82, 0x82, 0x84},
         {0, 0, 4096, 8192},
         {"校验错误", "更新成功!"},
         4,
         9000,
         kNothing},
        {"84 again after done tells nothing more",
         10000,
         {0x82, 0x82, 0x84, 0x84},
         {0, 4096, 8192},
         {"更新成功!"},
         3,
         10000,
         kNothing},
        {"the head fails", 9000, {0x82, 0x86}, {0, 4096}, {"更新失败!"}, 2, 4096, kNotLooked},
        {"the head times out", 5000, {0x87}, {0}, {"更新超时!"}, 1, 0, kNotLooked},
        {"done too early", 10000, {0x84}, {0}, {"更新失败!"}, 1, 0, 0},
        // The frame past the last block, answered 82 as well: the head never says done.
        {"82 to the last frame and to the one after it",
         5000,
         {0x82, 0x82, 0x82},
         {0, 4096, 5000},
         {"更新失败!"},
         3,
         5000,
         0},
        // The head may still go on after a failure: a later acceptance sends the next frame.
        {"failure and timeout only inform, unknown codes do nothing",
         100,
         {0x86, 0x87, 0x85, 0x10, 0x82},
         {0, 100},
         {"更新失败!", "更新超时!"},
         1,
         100,
         kNotLooked},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        PresenterRun r;
        r.ChooseFile(road.size);
        EXPECT_EQ(r.view.shown.totalCount, std::to_string(TotalBytesToSend(road.size)));
        r.view.device = DeviceSelection{1, PROTOCOL_INDEX_PELCO_D, 0};
        r.presenter->OnDeviceSelected(*r.view.device);
        EXPECT_TRUE(r.view.shown.connectEnabled);
        r.presenter->OnConnect();
        r.Answer(RSP_CONNECTED);
        EXPECT_EQ(r.view.shown.connectCaption, "连接成功");
        EXPECT_FALSE(r.view.shown.connectEnabled);
        ASSERT_TRUE(r.view.shown.startUpgradeEnabled);
        r.framesFrom = r.port.WrittenCount();
        r.presenter->OnStartUpgrade();
        EXPECT_FALSE(r.view.shown.startUpgradeEnabled);
        std::size_t out = 1;
        for (std::uint8_t code : road.answers) {
            r.FramesOut(out);
            EXPECT_EQ(r.CountShown(), std::to_string(out * FRAME_SIZE));
            r.Answer(code);
            if (SendsAFrame(code)) out = std::min(out + 1, road.frames.size());
        }
        r.FramesOut(road.frames.size());
        EXPECT_EQ(r.view.Told(), road.told);
        ASSERT_FALSE(r.view.countsTold.empty());
        EXPECT_EQ(r.view.countsTold.back(), std::to_string(road.framesWhenLastTold * FRAME_SIZE))
            << "the count is final before the notice";
        EXPECT_EQ(r.view.shown.progressPosition, road.progress);
        EXPECT_EQ(r.view.shown.progressMaximum, std::int32_t(road.size));
        EXPECT_FALSE(r.view.shown.startUpgradeEnabled);
        Bytes expected = kPelcoD2400;
        expected.insert(expected.end(), kGreeting.begin(), kGreeting.end());
        for (std::size_t offset : road.frames) {
            const Bytes frame = ExpectedFrame(r.image, offset);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(r.port.WrittenBytes(), expected);
        const auto written = r.port.Written();
        for (std::size_t at = 0; at < written.size(); ++at)
            EXPECT_EQ(written[at].baudRate, at < kPelcoD2400.size() ? 2400u : 115200u) << at;
        if (road.restartFrom == kNotLooked) continue;
        if (road.restartFrom == kNothing) {
            EXPECT_EQ(r.StartAgain(20ms), Bytes{}) << "the image is done with";
        } else {
            EXPECT_EQ(r.StartAgain(), ExpectedFrame(r.image, road.restartFrom));
        }
    }
}

// Each row: something that happens while frame 0 is out and the head has it, and the notices
// told by the end. The steps look at the line and the screen as they go.
TEST(PresenterTable, Transfers) {
    struct Row {
        const char* name;
        std::size_t size;
        std::vector<std::string> told;
        std::function<void(PresenterRun&)> steps;
    };
    const Row rows[] = {
        {"80 to a frame: starting again sends the block not taken, not the next",
         10000,
         {},
         [](PresenterRun& r) {
             r.Answer(RSP_CONNECTED);
             EXPECT_TRUE(r.view.shown.startUpgradeEnabled);
             EXPECT_EQ(r.StartAgain(), ExpectedFrame(r.image, 0));
         }},
        {"a checksum error resends the same frame once the notice is closed",
         5000,
         {"校验错误"},
         [](PresenterRun& r) {
             r.view.whileTold = [&](const Notice&) {
                 r.Settle();
                 EXPECT_FALSE(r.port.WaitForWritten(r.framesFrom + FRAME_SIZE + 1, 50ms));
             };
             r.Answer(RSP_CHECKSUM_ERROR_2);
             r.view.whileTold = nullptr;
             r.FramesOut(2);
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 0));
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(3);
             EXPECT_EQ(r.FrameOnLine(2), ExpectedFrame(r.image, 4096));
         }},
        {"an 82 that comes while the checksum error's box is open takes nothing",
         10000,
         {"校验错误"},
         [](PresenterRun& r) {
             r.view.whileTold = [&](const Notice&) { r.Answer(RSP_BLOCK_OK); };
             r.Answer(RSP_CHECKSUM_ERROR);
             r.view.whileTold = nullptr;
             r.FramesOut(2);
             r.Settle();
             EXPECT_EQ(r.FramesOnLine(), 2u);
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 0)) << "block 0 again";
             EXPECT_EQ(r.view.shown.progressPosition, 0);
         }},
        {"accepting the last frame brings one frame without file data",
         100,
         {},
         [](PresenterRun& r) {
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             const Bytes extra = r.FrameOnLine(1);
             EXPECT_EQ(Bytes(extra.begin(), extra.begin() + 8),
                       (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x64, 0x10, 0x00}));
             EXPECT_EQ(Bytes(extra.end() - 3, extra.end()), (Bytes{0x0F, 0xF0, 0x77}));
         }},
        {"the file dialog cancelled: the transfer goes on as it was",
         10000,
         {"校验错误"},
         [](PresenterRun& r) {
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             EXPECT_EQ(r.view.shown.progressPosition, 4096);
             r.view.file.reset();
             r.presenter->OnSelectFile();
             EXPECT_EQ(r.view.shown.progressPosition, 4096);
             r.Answer(RSP_CHECKSUM_ERROR);
             r.FramesOut(3);
             EXPECT_EQ(r.FrameOnLine(2), ExpectedFrame(r.image, 4096)) << "block 1 again";
         }},
        {"a second press on start, queued behind the first, starts nothing",
         10000,
         {},
         [](PresenterRun& r) {
             r.presenter->OnStartUpgrade();
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             r.Settle();
             EXPECT_EQ(r.FramesOnLine(), 2u);
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 4096));
         }},
        {"another file chosen: the transfer ends, told, the next start sends its first block",
         10000,
         {"更新已中止!", "校验错误"},
         [](PresenterRun& r) {
             const Bytes other = RandomImage(6000, 8);
             r.view.file = r.WriteFile("other.bin", other);
             r.presenter->OnSelectFile();
             EXPECT_EQ(r.view.shown.totalCount, "8214");
             r.Answer(RSP_CHECKSUM_ERROR);
             r.Settle();
             EXPECT_EQ(r.FramesOnLine(), 1u);
             EXPECT_EQ(r.StartAgain(), ExpectedFrame(other, 0));
         }},
        {"another file chosen after a block was taken: the bar starts again, at the new size",
         10000,
         {"更新已中止!"},
         [](PresenterRun& r) {
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             EXPECT_EQ(r.view.shown.progressPosition, 4096);
             r.view.file = r.WriteFile("other.bin", RandomImage(6000, 8));
             r.presenter->OnSelectFile();
             EXPECT_EQ(r.view.shown.progressPosition, 0);
             EXPECT_EQ(r.view.shown.progressMaximum, 6000);
         }},
        {"another file chosen while a frame is held part-way: that frame goes out whole first",
         10000,
         {"更新已中止!"},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.view.file = r.WriteFile("other.bin", RandomImage(6000, 8));
             r.presenter->OnSelectFile();
             r.port.Release();
             ASSERT_TRUE(r.port.WaitForWritten(r.framesFrom + 2 * FRAME_SIZE, engine_test::kWait));
             r.Settle();
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 4096));
             EXPECT_EQ(r.FramesOnLine(), 2u);
         }},
        {"file and device chosen while start is enabled: starting disables connect",
         10000,
         {"更新已中止!"},
         [](PresenterRun& r) {
             r.Answer(RSP_CONNECTED);
             r.view.device = DeviceSelection{1, PROTOCOL_INDEX_PELCO_D, 0};
             r.view.file = r.WriteFile("other.bin", RandomImage(6000, 8));
             r.presenter->OnSelectFile();
             EXPECT_TRUE(r.view.shown.connectEnabled && r.view.shown.startUpgradeEnabled);
             r.presenter->OnStartUpgrade();
             EXPECT_FALSE(r.view.shown.connectEnabled);
         }},
        // The image is held as it was chosen: what happens to the file afterwards changes
        // nothing on the wire.
        {"a file that shrinks sends what it held when chosen",
         10000,
         {},
         [](PresenterRun& r) {
             std::filesystem::resize_file(r.folder.File("image.bin"), 5000);
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 4096));
         }},
        {"a file that grows sends only what it held when chosen",
         5000,
         {},
         [](PresenterRun& r) {
             std::ofstream(r.folder.File("image.bin"), std::ios::binary | std::ios::app)
                 << std::string(3000, 'x');
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
             EXPECT_EQ(r.FrameOnLine(1), ExpectedFrame(r.image, 4096))
                 << "0xFF fill, last-block flag";
         }},
        {"an 84 again while the success box is open tells no failure",
         100,
         {"更新成功!"},
         [](PresenterRun& r) {
             r.view.whileTold = [&](const Notice&) {
                 r.view.whileTold = nullptr;
                 r.Answer(RSP_DONE);
             };
             r.Answer(RSP_DONE);
         }},
        {"answers and the count are served while a notice is open",
         20000,
         {"更新失败!"},
         [](PresenterRun& r) {
             r.view.whileTold = [&](const Notice&) {
                 r.view.whileTold = nullptr;
                 r.Answer(RSP_BLOCK_OK);
                 r.FramesOut(2);
                 EXPECT_EQ(r.CountShown(), std::to_string(2 * FRAME_SIZE));
             };
             r.Answer(RSP_FAILED);
             r.Settle();
             EXPECT_EQ(r.FramesOnLine(), 2u);
         }},
        // The head's XOFF holds frame 1 at its first byte (the port held) in the next three.
        {"an answer while the sender is still sending wakes nothing",
         9000,
         {},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.Answer(RSP_BLOCK_OK);  // early: the sender is still on its frame
             r.port.Release();
             r.FramesOut(2);
             EXPECT_FALSE(r.port.WaitForWritten(r.framesFrom + 2 * FRAME_SIZE + 1, 50ms))
                 << "exactly one frame for one wake-up";
         }},
        {"the port closed mid-frame: told, only bytes out counted, the block again on restart",
         10000,
         {"串口写入失败!"},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.presenter->OnOpenPortButton();
             ASSERT_TRUE(r.PumpUntil([&] { return !r.view.notices.empty(); }));
             r.Settle();
             EXPECT_EQ(r.port.WrittenCount(), r.framesFrom + FRAME_SIZE);
             EXPECT_EQ(r.CountShown(), std::to_string(FRAME_SIZE)) << "only bytes out count";
             r.port.Release();
             r.presenter->OnOpenPortButton();
             EXPECT_EQ(r.StartAgain(), ExpectedFrame(r.image, 4096));
         }},
        {"the device chosen again mid-frame: the command alone, then the block whole",
         10000,
         {},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.beforeOpening = [&] { r.port.Release(); };  // a new opening has no XOFF
             r.presenter->OnDeviceSelected({1, PROTOCOL_INDEX_PELCO_D, 0});
             r.beforeOpening = nullptr;
             r.Settle();
             EXPECT_EQ(r.port.WrittenBytes(r.framesFrom + FRAME_SIZE), kPelcoD2400)
                 << "nothing of the frame after the command";
             const std::size_t before = r.port.WrittenCount();
             EXPECT_EQ(r.StartAgain(), ExpectedFrame(r.image, 4096));
             const auto written = r.port.Written();
             for (std::size_t at = 0; at < written.size(); ++at) {
                 const bool command = at >= r.framesFrom + FRAME_SIZE && at < before;
                 EXPECT_EQ(written[at].baudRate, command ? 2400u : 115200u) << "byte " << at;
             }
         }},
        {"a notice finds the count of the frame it answers, however recently it was shown",
         10000,
         {"校验错误"},
         [](PresenterRun& r) {
             r.HoldNextFrame();  // shown as the 82 came: the next refresh is 100 ms away
             EXPECT_EQ(r.view.shown.sentCount, std::to_string(FRAME_SIZE));
             r.port.Release();
             r.FramesOut(2);
             r.Answer(RSP_CHECKSUM_ERROR);
             EXPECT_EQ(r.view.countsTold, std::vector<std::string>{std::to_string(2 * FRAME_SIZE)});
         }},
        {"the wait for an answer runs again from a frame's last write",
         10000,
         {"云台无应答!"},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.clock.Advance(UpgradeEngine::kAnswerWait - 1ms);
             r.Settle();
             r.port.Release();
             r.FramesOut(2);
             r.clock.Advance(UpgradeEngine::kAnswerWait - 1ms);
             r.Settle();
             EXPECT_TRUE(r.view.notices.empty()) << "not before the wait from the last write";
             r.clock.Advance(1ms);
         }},
        {"84 while the last frame is still going out is no success",
         5000,
         {"更新失败!"},
         [](PresenterRun& r) {
             r.HoldNextFrame();
             r.Answer(RSP_DONE);
             r.port.Release();
         }},
        {"a silent head is told once and a late answer still counts",
         10000,
         {"云台无应答!"},
         [](PresenterRun& r) {
             r.WaitOutTheAnswer();
             r.Answer(RSP_BLOCK_OK);
             r.FramesOut(2);
         }},
        {"80 answers no frame: the wait runs on",
         10000,
         {"云台无应答!"},
         [](PresenterRun& r) {
             r.Answer(RSP_CONNECTED);
             r.WaitOutTheAnswer();
         }},
        {"the port vanishes: the window's side closes, another port opens",
         10000,
         {"串口已断开!"},
         [](PresenterRun& r) {
             r.port.HangUp();
             ASSERT_TRUE(r.PumpUntil([&] { return !r.view.notices.empty(); }));
             EXPECT_EQ(r.view.shown.openPortCaption, "打开串口");
             EXPECT_FALSE(r.view.shown.selectFileEnabled);
             EXPECT_FALSE(r.port.LineOpen());
             r.view.port = "COM2";
             r.presenter->OnPortListChange();
             EXPECT_EQ(r.view.shown.openPortCaption, "关闭串口");
             EXPECT_TRUE(r.com2.LineOpen());
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterRun r;
        r.StartTransfer(row.size);
        ASSERT_EQ(r.FrameOnLine(0), ExpectedFrame(r.image, 0));
        row.steps(r);
        r.Settle();
        EXPECT_EQ(r.view.Told(), row.told);
    }
}

}  // namespace
