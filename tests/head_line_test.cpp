// The virtual head on a pseudo-terminal, driven from the tool's side the way the tool drives a
// port: the start-upgrade command at the head's speed, the loader taking whole images, bad and
// stray bytes, its life on a thread, and a head attached to a serial device.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tools/head/HeadOptions.h"
#include "tools/head/Sha256.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/ResponseCodes.h"

using namespace std::chrono_literals;
using head::HeadOptions;
using head::HeadReport;
using head::HeadState;
using head::Sha256;
using head::VirtualHead;
using head_test::Bytes;
using head_test::ExpectedAnswers;
using head_test::FramesFor;
using head_test::HeadTest;
using head_test::kWait;
using head_test::LoaderOptions;
using head_test::ToolSide;

namespace {

// ---------------------------------------------------------------------------------------------
// Normal operation: the start-upgrade command

struct CommandCase {
    const char* name;
    head::PelcoProtocol headProtocol;
    unsigned headAddress;
    std::uint32_t headSpeed;
    std::uint8_t sentProtocolIndex;  // as the device dialog reports it
    std::uint8_t sentAddress;
    std::uint32_t sentSpeed;
    enum { Accepted, Ignored, Noise } outcome;
};
void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadCommandTest : public HeadTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(HeadCommandTest, StartUpgradeCommand) {
    const CommandCase& c = GetParam();
    HeadOptions options;
    options.protocol = c.headProtocol;
    options.address = c.headAddress;
    options.speed = c.headSpeed;
    StartHead(options, c.sentSpeed);
    const Bytes command = BuildStartUpgradeFrame(c.sentAddress, c.sentProtocolIndex);
    ASSERT_TRUE(tool_->Send(command));
    ASSERT_TRUE(WaitFor([&](const HeadReport& r) { return r.bytesReceived == command.size(); }));

    const HeadReport report = head_->Report();
    if (c.outcome == CommandCase::Noise) {
        EXPECT_EQ(report.noiseBytes, command.size());
        EXPECT_TRUE(report.commands.empty());
    } else {
        ASSERT_EQ(report.commands.size(), 1u);
        const head::CommandSeen& seen = report.commands[0];
        EXPECT_EQ(seen.bytes, command);
        EXPECT_EQ(seen.lineSpeed, c.sentSpeed);
        EXPECT_EQ(seen.frame.address, c.sentAddress);
        EXPECT_EQ(seen.accepted, c.outcome == CommandCase::Accepted);
    }
    EXPECT_EQ(report.state,
              c.outcome == CommandCase::Accepted ? HeadState::Loader : HeadState::Normal);

    // The tool goes back to 115200 and greets: only a head in its loader hears it.
    ASSERT_TRUE(tool_->SetSpeed(UPGRADE_BAUD_RATE));
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    if (c.outcome == CommandCase::Accepted) {
        EXPECT_EQ(tool_->Read(1), Bytes{RSP_CONNECTED});
    } else {
        ASSERT_TRUE(
            WaitFor([&](const HeadReport& r) { return r.bytesReceived == command.size() + 2; }));
        EXPECT_EQ(head_->Report().noiseBytes,
                  (c.outcome == CommandCase::Noise ? command.size() : 0) + 2);
        EXPECT_TRUE(head_->Report().answers.empty());
        EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
    }
}

using P = head::PelcoProtocol;
INSTANTIATE_TEST_SUITE_P(
    Head, HeadCommandTest,
    testing::Values(
        CommandCase{"PelcoD", P::PelcoD, 1, 2400, 1, 1, 2400, CommandCase::Accepted},
        CommandCase{"PelcoP", P::PelcoP, 16, 9600, 0, 16, 9600, CommandCase::Accepted},
        CommandCase{"PelcoDAt256000", P::PelcoD, 255, 256000, 1, 255, 256000,
                    CommandCase::Accepted},
        CommandCase{"PelcoPAt921600", P::PelcoP, 1, 921600, 0, 1, 921600, CommandCase::Accepted},
        CommandCase{"HeadSpeedIs115200", P::PelcoD, 7, 115200, 1, 7, 115200, CommandCase::Accepted},
        CommandCase{"OtherAddress", P::PelcoD, 1, 2400, 1, 2, 2400, CommandCase::Ignored},
        CommandCase{"OtherProtocol", P::PelcoD, 1, 2400, 0, 1, 2400, CommandCase::Ignored},
        CommandCase{"WrongSpeed", P::PelcoD, 1, 2400, 1, 1, 9600, CommandCase::Noise},
        CommandCase{"WrongNonStandardSpeed", P::PelcoP, 3, 128000, 0, 3, 256000,
                    CommandCase::Noise}),
    [](const testing::TestParamInfo<CommandCase>& param) { return param.param.name; });

TEST_F(HeadTest, OtherBusTrafficIsReportedAndIgnored) {
    HeadOptions options;
    options.address = 5;
    StartHead(options, 2400);
    const Bytes traffic = {0x12, 0xFF, 0x05, 0x00, 0x02, 0x20, 0x00, 0x27,  // pan right, for us
                           0xFF, 0x06, 0x00, 0x57, 0x00, 0x00, 0x5D,        // start, other head
                           0xA0, 0x04, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x5C,  // Pelco-P, for us
                           0x44};
    ASSERT_TRUE(tool_->Send(traffic));
    ASSERT_TRUE(WaitFor([&](const HeadReport& r) { return r.bytesReceived == traffic.size(); }));
    HeadReport report = head_->Report();
    EXPECT_EQ(report.commands.size(), 3u);
    EXPECT_EQ(report.skippedBytes, 2u);
    EXPECT_EQ(report.state, HeadState::Normal);
    for (const auto& seen : report.commands) EXPECT_FALSE(seen.accepted);

    ASSERT_TRUE(tool_->Send(BuildPelcoDStartUpgrade(5)));
    EXPECT_TRUE(WaitFor([](const HeadReport& r) { return r.state == HeadState::Loader; }));
}

// ---------------------------------------------------------------------------------------------
// The loader

TEST_F(HeadTest, LoaderTakesBytesAtAnotherSpeedAsNoise) {
    StartHead(LoaderOptions(), 9600);
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    ASSERT_TRUE(WaitFor([](const HeadReport& r) { return r.noiseBytes == 2; }));
    ASSERT_TRUE(tool_->SetSpeed(UPGRADE_BAUD_RATE));
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    EXPECT_EQ(tool_->Read(1), Bytes{RSP_CONNECTED});
    EXPECT_EQ(head_->Report().greetings, 1u);
    EXPECT_EQ(head_->Report().strayGreetings, 1u);  // the one at 9600
}

struct ImageCase {
    const char* name;
    std::size_t size;
    head::ImageSizeRule rule;
    std::size_t expectedImageSize;  // what the head keeps
};
void PrintTo(const ImageCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadImageTest : public HeadTest, public testing::WithParamInterface<ImageCase> {};

TEST_P(HeadImageTest, ReceivesTheImage) {
    const ImageCase& c = GetParam();
    HeadOptions options = LoaderOptions();
    options.sizeRule = c.rule;
    options.expectSize = static_cast<std::uint32_t>(c.size);
    StartHead(options);
    Bytes image = RandomImage(c.size, static_cast<std::uint32_t>(c.size));
    if (!image.empty()) image.back() = 0x5A;  // not fill, so trimming finds the true end

    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    ASSERT_EQ(tool_->Read(1), Bytes{RSP_CONNECTED});
    const std::size_t frames = FramesFor(image).size();
    EXPECT_EQ(SendImage(image), ExpectedAnswers(frames));

    const HeadReport report = head_->Report();
    Bytes expected = image;
    expected.resize(c.expectedImageSize, FRAME_FILL_BYTE);
    EXPECT_EQ(report.finishedImage, expected);
    EXPECT_EQ(report.sha256, Sha256::HexOf(expected));
    EXPECT_EQ(report.frames, frames);
    EXPECT_EQ(report.framesAccepted, frames);
    EXPECT_EQ(report.resends, 0u);
    EXPECT_EQ(report.imagesCompleted, 1u);
    EXPECT_EQ(report.bytesReceived, 2 + frames * FRAME_SIZE);
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
}

using R = head::ImageSizeRule;
INSTANTIATE_TEST_SUITE_P(
    Head, HeadImageTest,
    testing::Values(ImageCase{"Empty", 0, R::ExpectSize, 0},
                    ImageCase{"OneByte", 1, R::ExpectSize, 1},
                    ImageCase{"OneBlock", 4096, R::ExpectSize, 4096},
                    ImageCase{"BlockAndOne", 4097, R::ExpectSize, 4097},
                    ImageCase{"FourBlocksShortLast", 3 * 4096 + 100, R::ExpectSize, 3 * 4096 + 100},
                    ImageCase{"TrimFill", 2 * 4096 + 7, R::TrimFill, 2 * 4096 + 7},
                    ImageCase{"WholeBlocks", 4096 + 7, R::WholeBlocks, 2 * 4096}),
    [](const testing::TestParamInfo<ImageCase>& param) { return param.param.name; });

TEST_F(HeadTest, WritesTheImageFileAndTakesASecondTransfer) {
    const TempDir folder("kavlet-head-test");
    const std::string path = folder.File("received.bin");
    HeadOptions options = LoaderOptions();
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = 5000;
    options.outputPath = path;
    StartHead(options);
    const Bytes first = RandomImage(5000, 1);
    const Bytes second = RandomImage(5000, 2);
    EXPECT_EQ(SendImage(first), ExpectedAnswers(2));
    EXPECT_EQ(SendImage(second), ExpectedAnswers(2));  // starts again at load address 00020000

    std::ifstream in(path, std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, second);
    const HeadReport report = head_->Report();
    EXPECT_EQ(report.imagesCompleted, 2u);
    EXPECT_EQ(report.sha256, Sha256::HexOf(second));
}

TEST_F(HeadTest, BadFramesAreAnswered) {
    StartHead(LoaderOptions());
    const Bytes image = RandomImage(3 * 4096, 3);
    const auto frames = FramesFor(image);

    FirmwareFrame damaged = frames[0];
    damaged[100] ^= 0xFF;  // data byte changed, sum left as it was
    EXPECT_EQ(SendFrame(damaged), Bytes{RSP_CHECKSUM_ERROR});
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_BLOCK_OK});

    // A frame that skips a block, and one with another length field (with a correct sum),
    // cannot be used: the head reports a failure and still waits for block 2.
    EXPECT_EQ(SendFrame(frames[2]), Bytes{RSP_FAILED});
    FirmwareFrame badLength = frames[1];
    badLength[6] = 0x08;
    const std::uint32_t sum = FrameSum(badLength);
    badLength[FRAME_CHECKSUM_OFFSET] = static_cast<std::uint8_t>(sum >> 16);
    badLength[FRAME_CHECKSUM_OFFSET + 1] = static_cast<std::uint8_t>(sum >> 8);
    badLength[FRAME_CHECKSUM_OFFSET + 2] = static_cast<std::uint8_t>(sum);
    EXPECT_EQ(SendFrame(badLength), Bytes{RSP_FAILED});

    EXPECT_EQ(SendFrame(frames[1]), Bytes{RSP_BLOCK_OK});
    EXPECT_EQ(SendFrame(frames[2]), Bytes{RSP_DONE});
    const HeadReport report = head_->Report();
    EXPECT_EQ(report.checksumErrors, 1u);
    EXPECT_EQ(report.badFrames, 2u);
    EXPECT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.resends, 2u);  // block 0, and later block 1, twice in a row
    EXPECT_EQ(report.finishedImage, image);
}

struct ResyncCase {
    const char* name;
    Bytes before;         // sent before a greeting
    std::size_t skipped;  // bytes the head skips
    unsigned incomplete;  // frames dropped after silence
};
void PrintTo(const ResyncCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadResyncTest : public HeadTest, public testing::WithParamInterface<ResyncCase> {};

TEST_P(HeadResyncTest, SkipsWhatStartsNothing) {
    HeadOptions options = LoaderOptions();
    options.frameTimeout = 200ms;
    StartHead(options);
    const ResyncCase& c = GetParam();
    ASSERT_TRUE(tool_->Send(c.before));
    ASSERT_TRUE(WaitFor([&](const HeadReport& r) {
        return r.skippedBytes == c.skipped && r.incompleteFrames == c.incomplete;
    })) << head_->Report().skippedBytes;
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    EXPECT_EQ(tool_->Read(1), Bytes{RSP_CONNECTED});
    EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Head, HeadResyncTest,
    testing::Values(ResyncCase{"Junk", {0x01, 0x80, 0xFE, 0x3F, 0x00}, 5, 0},
                    ResyncCase{"LoneSync", {0xFF}, 1, 0},          // dropped after silence
                    ResyncCase{"LoneGreetingByte", {0x3F}, 1, 0},  // likewise
                    ResyncCase{"StrayFrameStart", {0x73, 0x01, 0x02}, 0, 1},
                    ResyncCase{
                        "PelcoCommandInLoader", {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}, 0, 0}),
    [](const testing::TestParamInfo<ResyncCase>& param) { return param.param.name; });

// ---------------------------------------------------------------------------------------------
// Robustness

TEST_F(HeadTest, SurvivesRandomBytes) {
    HeadOptions options = LoaderOptions();
    options.frameTimeout = 100ms;
    StartHead(options);
    std::mt19937 random(12345);
    std::uint64_t sent = 0;
    for (int round = 0; round < 60; ++round) {
        // Often the bytes that start something, so that the head's parsers are exercised.
        const Bytes chunk = RandomLineBytes(random, random() % 3000 + 1, 16);
        ASSERT_TRUE(tool_->Send(chunk));
        sent += chunk.size();
    }
    // Everything read, and whatever was left incomplete dropped after the silence.
    ASSERT_TRUE(WaitFor(
        [&](const HeadReport& r) { return r.bytesReceived == sent && r.partialBytes == 0; }));
    ASSERT_TRUE(head_->IsRunning());
    // Answers to whatever happened to form greetings and frames.
    const std::size_t answered = head_->Report().answers.size();
    EXPECT_EQ(tool_->Read(answered).size(), answered);
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    EXPECT_EQ(tool_->Read(1), Bytes{RSP_CONNECTED});
    const HeadReport report = head_->Report();
    EXPECT_EQ(report.answers.size(), report.greetings + report.frames);
    EXPECT_GT(report.frames, 0u);  // the random bytes did start frames
}

TEST(HeadLifecycle, StopsPromptlyWhateverItWasDoing) {
    std::string error;
    auto unstarted = VirtualHead::CreatePty(LoaderOptions(), &error);
    ASSERT_TRUE(unstarted) << error;
    unstarted.reset();  // never started: nothing to join

    HeadOptions options = LoaderOptions();
    options.frameTimeout = 0ms;  // a frame in progress waits for ever
    auto running = VirtualHead::CreatePty(options, &error);
    ASSERT_TRUE(running);
    running->Start();
    ToolSide tool(running->SlavePath(), UPGRADE_BAUD_RATE);
    ASSERT_TRUE(tool.Send({0x73, 0x00, 0x00}));
    ASSERT_TRUE(running->WaitFor([](const HeadReport& r) { return r.bytesReceived == 3; }, kWait));
    running->Stop();
    EXPECT_FALSE(running->IsRunning());
    EXPECT_EQ(running->Report().state, HeadState::Stopped);
    running->Stop();  // again: harmless
}

// A head attached to a serial device sets the line itself; here the device is the slave side
// of a pair whose master plays the tool, so the head's line speed and its XOFF/XON bytes can
// be read on the wire.
TEST(HeadAttached, SetsItsSpeedAndSendsFlowControlBytes) {
    PseudoTerminal pair;
    ASSERT_TRUE(pair.IsOpen());
    HeadOptions options;
    options.speed = 19200;
    options.faults.xoffFrame = 1;
    options.faults.xoffAfterBytes = 10;
    options.faults.xoffPause = 50ms;
    std::string error;
    auto attached = VirtualHead::Attach(pair.SlavePath(), options, &error);
    ASSERT_TRUE(attached) << error;
    EXPECT_FALSE(attached->OnPseudoTerminal());
    EXPECT_EQ(pair.BaudRate(), 19200u);
    attached->Start();

    const auto command = BuildPelcoDStartUpgrade(1);
    ASSERT_TRUE(pair.Write(Bytes(command.begin(), command.end())));
    ASSERT_TRUE(
        attached->WaitFor([](const HeadReport& r) { return r.state == HeadState::Loader; }, kWait));
    ASSERT_TRUE(pair.Write({0x3F, 0x3F}));
    EXPECT_EQ(pair.Read(1, kWait), Bytes{RSP_CONNECTED});
    EXPECT_EQ(pair.BaudRate(), UPGRADE_BAUD_RATE);

    const auto frames = FramesFor(RandomImage(10, 10));
    ASSERT_TRUE(pair.Write(Bytes(frames[0].begin(), frames[0].begin() + 10)));
    EXPECT_EQ(pair.Read(2, kWait), (Bytes{0x13, 0x11}));
    ASSERT_TRUE(pair.Write(Bytes(frames[0].begin() + 10, frames[0].end())));
    EXPECT_EQ(pair.Read(1, kWait), Bytes{RSP_DONE});

    // The device going away ends the head with the reason.
    pair.CloseMaster();
    EXPECT_TRUE(attached->WaitFor([](const HeadReport& r) { return r.state == HeadState::Stopped; },
                                  kWait));
    EXPECT_FALSE(attached->Report().lineError.empty());
}

}  // namespace
