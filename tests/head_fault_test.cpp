// The head's faults on a pseudo-terminal: the answers and bytes the tool gets on its line.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tests/support/TestImages.h"
#include "tools/head/HeadOptions.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/ResponseCodes.h"

using namespace std::chrono_literals;
using head::HeadOptions;
using head::HeadReport;
using head::HeadState;
using head_test::Bytes;
using head_test::FramesFor;
using head_test::HeadTest;
using head_test::kWait;
using head_test::LoaderOptions;

namespace {

// ---------------------------------------------------------------------------------------------
// Faults

struct AnswerFaultCase {
    const char* name;
    std::function<void(head::HeadFaults&)> set;
    Bytes answers;  // to the greeting, then to each frame sent (00: none came)
};
void PrintTo(const AnswerFaultCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadAnswerFaultTest : public HeadTest, public testing::WithParamInterface<AnswerFaultCase> {};

// The tool's reaction is played here: a checksum error or a failure sends the same frame again,
// anything else goes on with the next; the sequence of answers on the wire is compared.
TEST_P(HeadAnswerFaultTest, AnswersAsTold) {
    const AnswerFaultCase& c = GetParam();
    HeadOptions options = LoaderOptions();
    c.set(options.faults);
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = 2 * 4096 + 1;
    StartHead(options);
    const Bytes image = RandomImage(options.expectSize, 9);
    const auto frames = FramesFor(image);

    // Sends bytes, waits until the head has handled them, and reads its answer (0: none). The
    // report holds an answer as soon as the head has decided it, so silence needs no long wait.
    auto step = [&](std::span<const std::uint8_t> bytes,
                    const std::function<bool(const HeadReport&)>& handled) -> std::uint8_t {
        const std::size_t before = head_->Report().answers.size();
        EXPECT_TRUE(tool_->Send(bytes));
        EXPECT_TRUE(WaitFor(handled));
        const HeadReport report = head_->Report();
        if (report.answers.size() == before) {
            EXPECT_TRUE(tool_->Read(1, 100ms).empty());
            return 0;
        }
        const Bytes got = tool_->Read(1);
        EXPECT_EQ(got, Bytes{report.answers.back()});
        return got.empty() ? 0 : got[0];
    };

    const Bytes greeting = {0x3F, 0x3F};
    Bytes answers = {step(greeting, [](const HeadReport& r) { return r.greetings == 1; })};
    for (std::size_t block = 0, sent = 0; block < frames.size() && sent < 8;) {
        ++sent;
        const std::uint8_t code =
            step(frames[block], [sent](const HeadReport& r) { return r.frames == sent; });
        answers.push_back(code);
        if (code == 0 || code == RSP_DONE) break;
        if (code == RSP_BLOCK_OK) ++block;
    }
    EXPECT_EQ(answers, c.answers);
    if (c.answers.back() == RSP_DONE) {
        EXPECT_EQ(head_->Report().finishedImage, image);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Head, HeadAnswerFaultTest,
    testing::Values(
        AnswerFaultCase{"None", [](head::HeadFaults&) {}, {0x80, 0x82, 0x82, 0x84}},
        AnswerFaultCase{"Reject81",
                        [](head::HeadFaults& f) { f.rejectFrame = 2; },
                        {0x80, 0x82, 0x81, 0x82, 0x84}},
        AnswerFaultCase{"Reject83",
                        [](head::HeadFaults& f) {
                            f.rejectFrame = 1;
                            f.rejectCode = 0x83;
                        },
                        {0x80, 0x83, 0x82, 0x82, 0x84}},
        AnswerFaultCase{"FailAtFrame",
                        [](head::HeadFaults& f) { f.failAt = 3; },
                        {0x80, 0x82, 0x82, 0x86, 0x84}},
        AnswerFaultCase{"TimeoutAtGreeting",
                        [](head::HeadFaults& f) {
                            f.failAt = head::kGreetingPoint;
                            f.failCode = 0x87;
                        },
                        {0x87, 0x82, 0x82, 0x84}},
        AnswerFaultCase{
            "SilentFromFrame2", [](head::HeadFaults& f) { f.silentFrom = 2; }, {0x80, 0x82, 0x00}},
        AnswerFaultCase{"SilentFromGreeting",
                        [](head::HeadFaults& f) { f.silentFrom = head::kGreetingPoint; },
                        {0x00, 0x00}},
        AnswerFaultCase{"RejectedFrameFailsOnResend",
                        [](head::HeadFaults& f) {
                            f.rejectFrame = 1;
                            f.failAt = 2;
                        },
                        {0x80, 0x81, 0x86, 0x82, 0x82, 0x84}}),
    [](const testing::TestParamInfo<AnswerFaultCase>& param) { return param.param.name; });

TEST_F(HeadTest, GarbageComesAfterOrBeforeTheAnswer) {
    for (const bool before : {false, true}) {
        SCOPED_TRACE(before ? "before" : "after");
        HeadOptions options = LoaderOptions();
        options.faults.garbageAt = 1;
        options.faults.garbageBeforeAnswer = before;
        options.faults.garbageGap = 50ms;
        StartHead(options);
        const auto frames = FramesFor(RandomImage(5000, 4));
        ASSERT_TRUE(tool_->Send(frames[0]));
        const Bytes garbage = options.faults.garbageBytes;
        Bytes expected = garbage;
        if (before) {
            expected.push_back(RSP_BLOCK_OK);
        } else {
            expected.insert(expected.begin(), RSP_BLOCK_OK);
        }
        EXPECT_EQ(tool_->Read(expected.size()), expected);
        EXPECT_EQ(SendFrame(frames[1]), Bytes{RSP_DONE});  // once only
        EXPECT_EQ(head_->Report().answers, (Bytes{RSP_BLOCK_OK, RSP_DONE}));
        head_->Stop();
    }
}

TEST_F(HeadTest, WithheldDoneMakesTheToolSendOneFrameMore) {
    HeadOptions options = LoaderOptions();
    options.faults.withholdDone = true;
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = 4196;
    StartHead(options);
    const Bytes image = RandomImage(4196, 5);
    const auto frames = FramesFor(image);
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_BLOCK_OK});
    EXPECT_EQ(SendFrame(frames[1]), Bytes{RSP_BLOCK_OK});
    // What the tool sends next: no file data left, load address at the end of the file.
    FirmwareFrame extra{};
    BuildFirmwareFrame(extra, 4196, {}, 4196);
    EXPECT_EQ(SendFrame(extra), Bytes{RSP_DONE});

    const HeadReport report = head_->Report();
    EXPECT_EQ(report.extraFrames, 1u);
    EXPECT_EQ(report.impliedImageSize, 4196u);
    EXPECT_EQ(report.finishedImage, image);
    EXPECT_TRUE(report.problems.empty());
}

TEST_F(HeadTest, XoffHoldsTheToolUntilXon) {
    HeadOptions options = LoaderOptions();
    options.faults.xoffFrame = 2;
    options.faults.xoffAfterBytes = 1000;
    options.faults.xoffPause = 1500ms;
    StartHead(options);
    const Bytes image = RandomImage(3 * 4096, 6);
    const auto frames = FramesFor(image);
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_BLOCK_OK});

    const std::span<const std::uint8_t> second(frames[1]);
    ASSERT_TRUE(tool_->Send(second.first(1000)));
    ASSERT_TRUE(WaitFor([](const HeadReport& r) { return r.xoffSent; }));
    // The tool's line stops taking bytes (the XOFF itself never reaches the tool's reader).
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (tool_->Writable() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(tool_->Writable());
    const bool stoppedBeforeXon = !head_->Report().xonSent;
    ASSERT_TRUE(tool_->Send(second.subspan(1000)));  // held until XON
    EXPECT_TRUE(head_->Report().xonSent);
    EXPECT_EQ(tool_->Read(1), Bytes{RSP_BLOCK_OK});
    EXPECT_EQ(SendFrame(frames[2]), Bytes{RSP_DONE});

    const HeadReport report = head_->Report();
    if (stoppedBeforeXon) {
        EXPECT_EQ(report.bytesWhilePaused, 0u);
    }
    EXPECT_EQ(report.written, (Bytes{0x82, 0x13, 0x11, 0x82, 0x84}));
    EXPECT_EQ(report.answers, (Bytes{0x82, 0x82, 0x84}));
    EXPECT_EQ(report.finishedImage, Bytes(image.begin(), image.end()));
}

TEST_F(HeadTest, FaultsCanBeSetWhileItRuns) {
    StartHead(LoaderOptions());
    const auto frames = FramesFor(RandomImage(2 * 4096, 11));
    head::HeadFaults faults;
    faults.rejectFrame = 1;
    faults.rejectCode = RSP_CHECKSUM_ERROR_2;
    head_->SetFaults(faults);
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_CHECKSUM_ERROR_2});

    // A pause far longer than the test ends as soon as the fault is taken away.
    faults = {};
    faults.xoffFrame = 2;
    faults.xoffAfterBytes = 100;
    faults.xoffPause = std::chrono::hours(1);
    head_->SetFaults(faults);
    const std::span<const std::uint8_t> frame(frames[0]);
    ASSERT_TRUE(tool_->Send(frame.first(100)));
    ASSERT_TRUE(WaitFor([](const HeadReport& r) { return r.xoffSent; }));
    head_->SetFaults({});
    ASSERT_TRUE(tool_->Send(frame.subspan(100)));
    EXPECT_EQ(tool_->Read(1), Bytes{RSP_BLOCK_OK});
    EXPECT_EQ(SendFrame(frames[1]), Bytes{RSP_DONE});
    EXPECT_EQ(head_->Report().written, (Bytes{0x83, 0x13, 0x11, 0x82, 0x84}));
}

TEST_F(HeadTest, PacedHeadTakesAsLongAsARealLine) {
    HeadOptions options = LoaderOptions();
    options.paceBaud = 115200;
    StartHead(options);
    const auto frames = FramesFor(RandomImage(100, 8));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_DONE});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // A lower bound only: 4107 bytes at 11,520 bytes/s take 356 ms, less the first burst.
    EXPECT_GE(elapsed, 300ms);
    std::printf("paced frame at 115200 baud: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

}  // namespace

// What the tool's receive loop reads, read() by read(): an answer merged with other bytes comes
// in one chunk, and an unprompted code comes while the frame is still unfinished.
struct ChunkStep {
    int frame;  // -1: the greeting 3F 3F; else a frame of a two-block image
    std::size_t from = 0;
    std::size_t to = FRAME_SIZE;
    std::vector<Bytes> chunks;  // read by the tool after sending the piece
};

struct ChunkCase {
    const char* name;
    std::function<void(head::HeadFaults&)> set;
    std::vector<ChunkStep> steps;
};
void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadChunkTest : public HeadTest, public testing::WithParamInterface<ChunkCase> {};

TEST_P(HeadChunkTest, TheToolReadsTheseChunks) {
    const ChunkCase& c = GetParam();
    HeadOptions options = LoaderOptions();
    c.set(options.faults);
    StartHead(options);
    const auto frames = FramesFor(RandomImage(5000, 22));
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const ChunkStep& step = c.steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        if (step.frame < 0) {
            ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
        } else {
            const std::span<const std::uint8_t> frame(frames[step.frame]);
            ASSERT_TRUE(tool_->Send(frame.subspan(step.from, step.to - step.from)));
        }
        std::size_t count = 0;
        for (const Bytes& chunk : step.chunks) count += chunk.size();
        EXPECT_EQ(tool_->ReadChunks(count), step.chunks);
    }
    EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Head, HeadChunkTest,
    testing::Values(ChunkCase{"MergedAfterTheAnswerToAFrame",
                              [](head::HeadFaults& f) { f.mergeAt = 1; },
                              {{-1, 0, 0, {{0x80}}},
                               {0, 0, FRAME_SIZE, {{0x82, 0x80}}},
                               {1, 0, FRAME_SIZE, {{0x84}}}}},
                    ChunkCase{"MergedBeforeTheAnswerToTheGreeting",
                              [](head::HeadFaults& f) {
                                  f.mergeAt = head::kGreetingPoint;
                                  f.mergeBytes = {0x82};
                                  f.mergeBefore = true;
                              },
                              {{-1, 0, 0, {{0x82, 0x80}}}, {0, 0, FRAME_SIZE, {{0x82}}}}},
                    ChunkCase{"UnpromptedTimeoutWhileTheFrameIsUnfinished",
                              [](head::HeadFaults& f) {
                                  f.unpromptedFrame = 2;
                                  f.unpromptedAfterBytes = 1000;
                                  f.unpromptedCode = 0x87;
                              },
                              {{0, 0, FRAME_SIZE, {{0x82}}},
                               {1, 0, 1000, {{0x87}}},
                               {1, 1000, FRAME_SIZE, {{0x84}}}}},
                    ChunkCase{"EchoOfTheBlockOkWhileTheNextFrameIsUnfinished",
                              [](head::HeadFaults& f) {
                                  f.echoFrame = 1;
                                  f.echoDelay = 50ms;
                              },
                              {{0, 0, FRAME_SIZE, {{0x82}}},
                               {1, 0, 1000, {{0x82}}},
                               {1, 1000, FRAME_SIZE, {{0x84}}}}},
                    ChunkCase{"EarlyDoneWhileTheLastFrameIsUnfinishedThenNothing",
                              [](head::HeadFaults& f) { f.earlyDoneAfterBytes = 2000; },
                              {{0, 0, FRAME_SIZE, {{0x82}}},
                               {1, 0, 2000, {{0x84}}},
                               {1, 2000, FRAME_SIZE, {}}}}),
    [](const testing::TestParamInfo<ChunkCase>& param) { return param.param.name; });
