// A whole transfer through the engine alone to the virtual head on a pseudo-terminal: command
// at the head's speed, greeting, every frame, until the head says done; the head's image is the
// file byte for byte. The pauses are real, since the head needs time between speeds.
#include <optional>

#include "serial/SerialLine.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/ToolFault.h"
#include "tests/support/WaitBreaker.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/PelcoCommand.h"

namespace engine_test {
namespace {

struct WholeRow {
    const char* name;
    head::PelcoProtocol protocol;
    std::uint8_t protocolIndex;
    std::uint32_t speed;
    std::uint8_t speedIndex;
    std::size_t imageSize;
    head::HeadFaults faults;
    unsigned frames;  // the head receives, resends included
    unsigned resends;
    std::vector<std::string> alsoSeen;  // reports besides the usual ones
};

head::HeadFaults Reject(unsigned frame, std::uint8_t code) {
    head::HeadFaults faults;
    faults.rejectFrame = frame;
    faults.rejectCode = code;
    return faults;
}

head::HeadFaults Merge(unsigned frame, Bytes bytes) {
    head::HeadFaults faults;
    faults.mergeAt = frame;
    faults.mergeBytes = std::move(bytes);
    return faults;
}

head::HeadFaults Unprompted(unsigned frame, std::size_t afterBytes, std::uint8_t code) {
    head::HeadFaults faults;
    faults.unpromptedFrame = frame;
    faults.unpromptedAfterBytes = afterBytes;
    faults.unpromptedCode = code;
    return faults;
}

// Opens the port as another program would, and lets it go at once.
LineError OpenAnew(const std::string& portName) {
    return OpenPlatformLine(portName).error;
}

class EngineEndToEndTest : public EngineFixture {
  protected:
    void TearDown() override {
        EngineFixture::TearDown();
        if (virtualHead) virtualHead->Stop();
    }
    TestClock realClock{TestClock::Mode::Real};
    std::unique_ptr<head::VirtualHead> virtualHead;
    std::optional<WaitBreaker> breaker;  // a broken frame or handshake ends the test at once
};

TEST_F(EngineEndToEndTest, TheHeadReceivesTheFileByteForByte) {
    const WholeRow rows[] = {
        {"Pelco-D 2400, 1 byte", head::PelcoProtocol::PelcoD, 1, 2400, 0, 1, {}, 1, 0, {}},
        {"Pelco-D 2400, 4096 bytes", head::PelcoProtocol::PelcoD, 1, 2400, 0, 4096, {}, 1, 0, {}},
        {"Pelco-P 9600, 4097 bytes", head::PelcoProtocol::PelcoP, 0, 9600, 2, 4097, {}, 2, 0, {}},
        {"Pelco-P 9600, 10000 bytes", head::PelcoProtocol::PelcoP, 0, 9600, 2, 10000, {}, 3, 0, {}},
        {"81 to frame 2",
         head::PelcoProtocol::PelcoD,
         1,
         2400,
         0,
         10000,
         Reject(2, 0x81),
         4,
         1,
         {"checksum-error"}},
        {"83 to the short last frame",
         head::PelcoProtocol::PelcoD,
         1,
         2400,
         0,
         10000,
         Reject(3, 0x83),
         4,
         1,
         {"checksum-error"}},
        {"82 80 in one chunk to frame 2",
         head::PelcoProtocol::PelcoP,
         0,
         9600,
         2,
         10000,
         Merge(2, {0x80}),
         3,
         0,
         {}},
        {"86 unasked in the middle of frame 2",
         head::PelcoProtocol::PelcoD,
         1,
         2400,
         0,
         10000,
         Unprompted(2, 2000, 0x86),
         3,
         0,
         {"failed"}},
    };
    for (const WholeRow& row : rows) {
        SCOPED_TRACE(row.name);
        head::HeadOptions options;
        options.address = 7;
        options.protocol = row.protocol;
        options.speed = row.speed;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(row.imageSize);
        options.faults = row.faults;
        // An unasked code and the answer after it are one chunk if the receive loop reads them
        // together, and then only the first counts: the head takes the rest of the frame at a
        // real line's pace, so that the code is read long before the answer is written.
        if (row.faults.unpromptedFrame != 0) options.paceBaud = 115200;
        std::string error;
        virtualHead = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(virtualHead) << error;
        breaker.emplace(ToolFaultProbe(*virtualHead));
        virtualHead->Start();
        portName = virtualHead->SlavePath();
        CreateEngine({}, &realClock);  // this platform's devices
        ASSERT_TRUE(OpenPort());
        observer.ClearEvents();

        LoadImage(row.imageSize, static_cast<std::uint32_t>(row.imageSize));
        // Another program trying the port in each pause, the reopenings' included, finds it
        // held.
        std::vector<LineErrorKind> others;
        realClock.onPause = [&](auto) { others.push_back(OpenAnew(portName).kind); };
        engine->SelectDevice({7, row.protocolIndex, row.speedIndex});
        realClock.onPause = nullptr;
        EXPECT_EQ(others, std::vector<LineErrorKind>(4, LineErrorKind::Busy));
        ASSERT_TRUE(virtualHead->WaitFor(
            [](const head::HeadReport& r) { return r.state == head::HeadState::Loader; }, kWait))
            << "the command switched the head into its loader";
        EXPECT_EQ(virtualHead->Report().commands.back().lineSpeed, row.speed);
        engine->Greet();
        ASSERT_TRUE(PumpUntil([&] { return observer.Saw("connected"); }));
        Start();
        const std::string done = "done " + std::to_string(row.imageSize);
        ASSERT_TRUE(PumpUntil([&] { return observer.Saw(done); }, std::chrono::seconds(30)))
            << ::testing::PrintToString(observer.Events());

        const head::HeadReport report = virtualHead->Report();
        EXPECT_EQ(report.finishedImage, image);
        EXPECT_EQ(report.frames, row.frames);
        EXPECT_EQ(report.resends, row.resends);
        EXPECT_TRUE(report.problems.empty()) << ::testing::PrintToString(report.problems);
        EXPECT_FALSE(engine->HaveFirmware());
        const auto events = observer.Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "connected"), 1)
            << "only the first byte of a chunk counts";
        for (const std::string& seen : row.alsoSeen) EXPECT_TRUE(observer.Saw(seen)) << seen;
        EXPECT_TRUE(SentCountReaches(static_cast<std::int32_t>(row.frames * FRAME_SIZE)));
        engine->ClosePort();
        EXPECT_EQ(OpenAnew(portName).kind, LineErrorKind::None) << "once closed";

        engine.reset();
        virtualHead->Stop();
        breaker.reset();
        virtualHead.reset();
    }
}

}  // namespace
}  // namespace engine_test
