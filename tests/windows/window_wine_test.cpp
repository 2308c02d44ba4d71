// kavlet.exe under Wine, driven from outside by kavlet-window-driver.exe as an operator would
// drive it, against the virtual head on a pseudo-terminal linked as a COM port: the window's
// bindings to the presenter, its boxes and Windows' file and device dialogs along the whole road.
// What the window decides is the presenter's, tested in presenter_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Ser2net.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/windows/WineDesktop.h"
#include "tests/windows/WineSupport.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

using namespace std::chrono_literals;

namespace {

using wine_test::WineDesktop;
using wine_test::WineProgram;

constexpr std::chrono::minutes kLimit{2};  // a bound only: each wait ends on its condition
constexpr std::size_t kImageSize = 9000;   // three frames

// Controls of the main window (res/resource.h).
constexpr int kFilePath = 1000, kSelectFile = 1002, kStartUpgrade = 1003, kPortList = 1005,
              kOpenPort = 1009, kConnect = 1011, kSentCount = 1013, kTotalCount = 1015,
              kProgress = 1001;

// The boxes that tell the operator a transfer did not end well.
const std::vector<std::string> kToldBoxes = {"kavlet|更新失败!|-", "kavlet|更新超时!|-",
                                             "kavlet|云台无应答!|-", "kavlet|串口已断开!|-",
                                             "kavlet|串口写入失败!|-"};
const std::string kSuccessBox = "kavlet|更新成功!|-";

struct RoadCase {
    const char* name;
    head::HeadFaults faults;
    bool portVanishes;  // the head's line goes once it is connected
    // After "开始升级" (or the line going): caption|text|icon. Empty: one box, success only when
    // the head holds the image, else one that tells the operator.
    std::vector<std::string> boxes;
    bool imageArrives;
    std::size_t framesSent = 0;  // shown in the sent count at the end (0: not looked at)
    std::uint32_t pace = 0;      // the head reads no faster than a line of this speed
    bool pressTwice = false;     // two presses of "开始升级" queued before the first is handled
    bool throughSer2net = false;  // the head behind ser2net, its rfc2217:// name typed as the port
};

void PrintTo(const RoadCase& c, std::ostream* os) {
    *os << c.name;
}

head::HeadFaults Faults(const std::function<void(head::HeadFaults&)>& set) {
    head::HeadFaults faults;
    set(faults);
    return faults;
}

// The path as Wine's drive Z: names it.
std::string WindowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

class WindowRoad : public testing::TestWithParam<RoadCase> {
  protected:
    std::string Ask(const std::string& command) {
        return driver_->Ask(command, kLimit).value_or("(no answer)");
    }

    TempDir folder_{"kavlet-window"};
    std::unique_ptr<WineProgram> driver_;
};

TEST_P(WindowRoad, TheOperatorsRoadEndsInTheRightBox) {
    const RoadCase& c = GetParam();
    WineDesktop desktop(KAVLET_WINDOW_DRIVER_PATH);
    ASSERT_TRUE(desktop.Ready());
    const auto image = RandomImage(kImageSize, 11);
    // A name in Chinese: the window's UTF-16 and the engine's UTF-8 meet in it.
    const std::string imagePath = folder_.File("固件.bin");
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    head::HeadOptions options;
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = kImageSize;
    options.faults = c.faults;
    options.paceBaud = c.pace;
    std::string error;
    auto head = head::VirtualHead::CreatePty(options, &error);
    ASSERT_TRUE(head) << error;
    head->Start();
    // The head's line: a COM port of the prefix, or ser2net on the host's loopback (Wine's
    // network), reached through Winsock.
    std::optional<wine_test::ComLink> link;
    std::optional<Ser2net> server;
    std::string port;
    if (c.throughSer2net) {
        if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
        server.emplace(head->SlavePath(), folder_.File("ser2net.yaml"));
        ASSERT_TRUE(server->Running()) << server->Error();
        port = server->Rfc2217Name();
    } else {
        link.emplace(head->SlavePath());
        ASSERT_TRUE(link->Made());
        port = link->Name();
    }

    const pid_t window = desktop.StartQuiet(KAVLET_EXE_PATH);
    driver_ = std::make_unique<WineProgram>(KAVLET_WINDOW_DRIVER_PATH, std::vector<std::string>{});
    ASSERT_EQ(Ask("main"), "found");
    // COM1, opened at the start, is not in the prefix.
    EXPECT_EQ(Ask("box"), "box Open Com|串口打开错误|!");
    EXPECT_EQ(Ask("port " + port), "typed");
    EXPECT_EQ(Ask("wait-text " + std::to_string(kOpenPort) + " 关闭串口"), "ok");
    EXPECT_EQ(Ask("wait-enabled " + std::to_string(kSelectFile)), "ok");
    EXPECT_EQ(Ask("click " + std::to_string(kSelectFile)), "clicked");
    EXPECT_EQ(Ask("file " + WindowsPath(imagePath)), "chosen");
    EXPECT_EQ(Ask("device"), "pressed");
    EXPECT_EQ(Ask("text " + std::to_string(kFilePath)), "text " + WindowsPath(imagePath));
    EXPECT_EQ(Ask("wait-enabled " + std::to_string(kConnect)), "ok");
    EXPECT_EQ(Ask("text " + std::to_string(kTotalCount)),
              "text " + std::to_string(TotalBytesToSend(kImageSize)));
    EXPECT_EQ(Ask("click " + std::to_string(kConnect)), "clicked");
    EXPECT_EQ(Ask("wait-text " + std::to_string(kConnect) + " 连接成功"), "ok");
    EXPECT_EQ(Ask("wait-enabled " + std::to_string(kStartUpgrade)), "ok");
    if (c.portVanishes) {
        head->Stop();
        head.reset();
    } else if (c.pressTwice) {
        EXPECT_EQ(Ask("press-twice " + std::to_string(kStartUpgrade)), "posted");
    } else {
        EXPECT_EQ(Ask("click " + std::to_string(kStartUpgrade)), "clicked");
    }
    for (const std::string& box : c.boxes) EXPECT_EQ(Ask("box"), "box " + box);
    std::optional<bool> success;  // for a row of either outcome: whether success was shown
    if (c.boxes.empty()) {
        const std::string box = Ask("box");
        success = box == "box " + kSuccessBox;
        EXPECT_TRUE(*success || std::count(kToldBoxes.begin(), kToldBoxes.end(), box.substr(4)))
            << box;
        // The head has the image complete before it says done: it holds it when success shows.
        if (*success) {
            EXPECT_EQ(head->Report().finishedImage, image) << "a false success";
        }
    }
    if (c.framesSent > 0) {
        EXPECT_EQ(Ask("text " + std::to_string(kSentCount)),
                  "text " + std::to_string(c.framesSent * FRAME_SIZE));
        EXPECT_EQ(Ask("progress " + std::to_string(kProgress)),
                  "progress " + std::to_string(kImageSize) + " " + std::to_string(kImageSize))
            << "the whole image accepted fills the bar";
    }
    EXPECT_EQ(Ask("text " + std::to_string(kPortList)), "text " + port) << "what was typed stays";
    EXPECT_EQ(Ask("close"), "closed");
    EXPECT_EQ(driver_->Wait(kLimit), 0);
    EXPECT_EQ(WineDesktop::Wait(window, kLimit), 0);
    if (head && !success.has_value()) {
        head->Stop();
        const head::HeadReport report = head->Report();
        EXPECT_EQ(report.finishedImage == image, c.imageArrives);
        // Every frame whole: none cut short, none mixed with another.
        EXPECT_EQ(report.incompleteFrames, 0u);
        EXPECT_EQ(report.badFrames, 0u);
        if (c.framesSent > 0) {
            EXPECT_EQ(report.frames, c.framesSent);
        }
        if (c.throughSer2net) {
            ASSERT_EQ(report.commands.size(), 1u);
            EXPECT_TRUE(report.commands[0].accepted);
            EXPECT_EQ(report.commands[0].lineSpeed, 2400u) << "the command at the head's speed";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, WindowRoad,
    testing::Values(
        RoadCase{"OneChecksumErrorThenDone",
                 Faults([](auto& f) { f.rejectFrame = 2; }),
                 false,
                 {"kavlet|校验错误|-", kSuccessBox},
                 true,
                 4},
        RoadCase{"HeadFails",
                 Faults([](auto& f) { f.failAt = 1; }),
                 false,
                 {"kavlet|更新失败!|-"},
                 false},
        RoadCase{"SilentHead",
                 Faults([](auto& f) { f.silentFrom = 1; }),
                 false,
                 {"kavlet|云台无应答!|-"},
                 false},
        RoadCase{"PortVanishes", {}, true, {"kavlet|串口已断开!|-"}, false},
        RoadCase{"BlockOkEchoedOnAPacedLine",
                 Faults([](auto& f) {
                     f.echoFrame = 1;
                     f.echoDelay = 50ms;
                 }),
                 false,
                 {},
                 true,
                 0,
                 115200},
        RoadCase{"StartPressedTwiceStartsOneTransfer", {}, false, {kSuccessBox}, true, 3, 0, true},
        // 2400 Pelco-D: the command at 2400, the frames at 115200, on one connection.
        RoadCase{"ThroughSer2net", {}, false, {kSuccessBox}, true, 3, 0, false, true}),
    [](const testing::TestParamInfo<RoadCase>& row) { return row.param.name; });

TEST(WindowChrome, TheAboutBoxThroughTheSystemMenuShowsTheIconAndTheVersion) {
    // Declared before the desktop, so destroyed after it: a Wine service the program starts may
    // hold its output open until the session ends.
    std::optional<WineProgram> chrome;
    WineDesktop desktop(KAVLET_WINDOW_DRIVER_PATH);
    ASSERT_TRUE(desktop.Ready());
    chrome.emplace(KAVLET_WINDOW_CHROME_TEST_PATH, std::vector<std::string>{});
    const int status = chrome->Wait(kLimit);
    std::string output;
    while (chrome->HasLine()) output += chrome->NextLine(kLimit).value_or("") + "\n";
    EXPECT_EQ(status, 0) << output;
}

}  // namespace
