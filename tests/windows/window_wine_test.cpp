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

#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/windows/WineDesktop.h"
#include "tests/windows/WineSupport.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

namespace {

using wine_test::WineDesktop;
using wine_test::WineProgram;

constexpr std::chrono::minutes kLimit{2};  // a bound only: each wait ends on its condition
constexpr std::size_t kImageSize = 9000;   // three frames

// Controls of the main window (res/resource.h).
constexpr int kFilePath = 1000, kSelectFile = 1002, kStartUpgrade = 1003, kOpenPort = 1009,
              kConnect = 1011, kSentCount = 1013, kTotalCount = 1015;

struct RoadCase {
    const char* name;
    head::HeadFaults faults;
    bool portVanishes;               // the head's line goes once it is connected
    std::vector<std::string> boxes;  // after "开始升级" (or the line going): caption|text|icon
    bool imageArrives;
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
    std::string error;
    auto head = head::VirtualHead::CreatePty(options, &error);
    ASSERT_TRUE(head) << error;
    head->Start();
    wine_test::ComLink link(head->SlavePath());
    ASSERT_TRUE(link.Made());

    const pid_t window = desktop.StartQuiet(KAVLET_EXE_PATH);
    driver_ = std::make_unique<WineProgram>(KAVLET_WINDOW_DRIVER_PATH, std::vector<std::string>{});
    ASSERT_EQ(Ask("main"), "found");
    // COM1, opened at the start, is not in the prefix.
    EXPECT_EQ(Ask("box"), "box Open Com|串口打开错误|!");
    EXPECT_EQ(Ask("port " + link.Name()), "typed");
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
    } else {
        EXPECT_EQ(Ask("click " + std::to_string(kStartUpgrade)), "clicked");
    }
    for (const std::string& box : c.boxes) EXPECT_EQ(Ask("box"), "box " + box);
    if (c.imageArrives) {
        // Every frame once, and the rejected one again.
        EXPECT_EQ(Ask("text " + std::to_string(kSentCount)),
                  "text " + std::to_string(TotalBytesToSend(kImageSize) + FRAME_SIZE));
    }
    EXPECT_EQ(Ask("close"), "closed");
    EXPECT_EQ(driver_->Wait(kLimit), 0);
    EXPECT_EQ(WineDesktop::Wait(window, kLimit), 0);
    if (head) {
        head->Stop();
        EXPECT_EQ(head->Report().finishedImage == image, c.imageArrives);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, WindowRoad,
    testing::Values(RoadCase{"OneChecksumErrorThenDone",
                             Faults([](auto& f) { f.rejectFrame = 2; }),
                             false,
                             {"kavlet|校验错误|-", "kavlet|更新成功!|-"},
                             true},
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
                    RoadCase{"PortVanishes", {}, true, {"kavlet|串口已断开!|-"}, false}),
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
