// The head's behaviour without a line (HeadEngine): bytes in, the exact writes out.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tests/support/TestImages.h"
#include "tools/head/HeadEngine.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"

using namespace std::chrono_literals;
using head::HeadOptions;
using head::HeadReport;
using head::HeadState;
using head_test::Bytes;

namespace {

TEST(HeadEngine, BytesSentAlongWithTheCommandAtItsSpeedAreNoiseToTheLoader) {
    const auto start = head::Clock::now();
    for (const std::uint32_t speed : {2400u, 115200u}) {
        HeadOptions options;
        options.speed = speed;
        head::HeadEngine engine(options, start);
        const auto command = BuildPelcoDStartUpgrade(1);
        Bytes bytes = {0x3F, 0x3F};  // a greeting before the command: nothing but a stray one
        bytes.insert(bytes.end(), command.begin(), command.end());
        bytes.insert(bytes.end(), {0x3F, 0x3F});
        engine.Receive(bytes, speed, start);
        EXPECT_EQ(engine.Report().state, HeadState::Loader);
        EXPECT_EQ(engine.LineSpeed(), UPGRADE_BAUD_RATE);
        // At 115200 the loader hears the greeting; at 2400 it is noise.
        EXPECT_EQ(engine.Report().greetings, speed == UPGRADE_BAUD_RATE ? 1u : 0u);
        EXPECT_EQ(engine.Report().noiseBytes, speed == UPGRADE_BAUD_RATE ? 0u : 2u);
        EXPECT_EQ(engine.Report().strayGreetings, speed == UPGRADE_BAUD_RATE ? 0u : 2u);
    }
}

// The engine alone, fed far more than a line would carry, in random pieces, speeds and times:
// every greeting and every complete frame gets exactly one answer, and nothing else does.
TEST(HeadEngineFuzz, EveryGreetingAndFrameGetsOneAnswer) {
    for (const bool normal : {true, false}) {
        HeadOptions options;
        options.startInLoader = !normal;
        options.frameTimeout = 5ms;
        auto now = head::Clock::time_point{} + 1h;
        head::HeadEngine engine(options, now);
        std::mt19937 random(normal ? 1 : 2);
        std::size_t written = 0;
        std::uint64_t fed = 0;
        for (int round = 0; round < 3000; ++round) {
            Bytes chunk = RandomLineBytes(random, random() % 700 + 1, 12);
            if (round % 97 == 0) {
                const auto command = BuildPelcoDStartUpgrade(1);
                chunk.insert(chunk.end(), command.begin(), command.end());
            }
            const std::optional<std::uint32_t> speed =
                random() % 10 == 0 ? std::optional<std::uint32_t>(9600) : std::nullopt;
            engine.Receive(chunk, speed, now);
            fed += chunk.size();
            now += std::chrono::microseconds(random() % 8000);
            engine.Advance(now);
            written += engine.TakeDueOutput(now).size();
            engine.TakeNewEvents();
        }
        const HeadReport& report = engine.Report();
        EXPECT_EQ(report.answers.size(), report.greetings + report.frames);
        EXPECT_EQ(written, report.answers.size());
        EXPECT_EQ(report.bytesReceived, fed);
        std::uint64_t commandBytes = 0;
        for (const auto& c : report.commands) commandBytes += c.bytes.size();
        EXPECT_LE(report.noiseBytes + report.skippedBytes + 2 * report.greetings +
                      FRAME_SIZE * report.frames + commandBytes,
                  fed);
        EXPECT_GT(report.frames, 0u);
        EXPECT_GT(report.greetings, 0u);
        EXPECT_EQ(report.state, HeadState::Loader);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Faults that act inside one step: what goes out, write by write

// A piece of what the tool sends: the greeting, or bytes [from, to) of a frame of a two-block
// image (frame 0 or 1; the same frame again is a resend).
struct Piece {
    int frame;  // -1: the greeting 3F 3F
    std::size_t from = 0;
    std::size_t to = FRAME_SIZE;
    std::vector<Bytes> writes;  // the writes due right after the piece, each as one chunk
};

struct WriteCase {
    const char* name;
    std::function<void(head::HeadFaults&)> set;
    std::vector<Piece> pieces;
};
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadEngineWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(HeadEngineWriteTest, BytesInExactWritesOut) {
    const WriteCase& c = GetParam();
    HeadOptions options = head_test::LoaderOptions();
    c.set(options.faults);
    ASSERT_EQ(head::CheckOptions(options), "");
    auto now = head::Clock::time_point{} + 1h;
    head::HeadEngine engine(options, now);
    const auto frames = head_test::FramesFor(RandomImage(5000, 21));

    std::vector<Bytes> all;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        const Piece& piece = c.pieces[i];
        SCOPED_TRACE(testing::Message() << "piece " << i);
        const Bytes bytes = piece.frame < 0 ? Bytes{0x3F, 0x3F}
                                            : Bytes(frames[piece.frame].begin() + piece.from,
                                                    frames[piece.frame].begin() + piece.to);
        engine.Receive(bytes, std::nullopt, now);
        engine.Advance(now);
        EXPECT_EQ(engine.TakeDueWrites(now), piece.writes);
        all.insert(all.end(), piece.writes.begin(), piece.writes.end());
        now += 1ms;
    }
    const HeadReport& report = engine.Report();
    EXPECT_EQ(report.writes, all);
    // Unprompted codes stand apart from the answers: one answer a greeting or frame still.
    if (!options.faults.silentFrom && options.faults.earlyDoneAfterBytes == 0) {
        EXPECT_EQ(report.answers.size(), report.greetings + report.frames);
    }
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(engine.NextDeadline(), std::nullopt) << "nothing more due";
}

constexpr std::size_t kAll = FRAME_SIZE;
INSTANTIATE_TEST_SUITE_P(
    Head, HeadEngineWriteTest,
    testing::Values(
        WriteCase{"NoFault",
                  [](head::HeadFaults&) {},
                  {{-1, 0, 0, {{0x80}}}, {0, 0, kAll, {{0x82}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"MergedAfterTheAnswerToAFrame",
                  [](head::HeadFaults& f) { f.mergeAt = 1; },
                  {{-1, 0, 0, {{0x80}}}, {0, 0, kAll, {{0x82, 0x80}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"MergedBeforeTheAnswerToTheGreeting",
                  [](head::HeadFaults& f) {
                      f.mergeAt = head::kGreetingPoint;
                      f.mergeBytes = {0x82, 0x84};
                      f.mergeBefore = true;
                  },
                  {{-1, 0, 0, {{0x82, 0x84, 0x80}}}, {0, 0, kAll, {{0x82}}}}},
        WriteCase{"MergedWithAChecksumErrorOnceNotWithTheResend",
                  [](head::HeadFaults& f) {
                      f.rejectFrame = 1;
                      f.mergeAt = 1;
                      f.mergeBytes = {0x82};
                  },
                  {{0, 0, kAll, {{0x81, 0x82}}}, {0, 0, kAll, {{0x82}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"MergedWithAFailure",
                  [](head::HeadFaults& f) {
                      f.failAt = 2;
                      f.failCode = 0x87;
                      f.mergeAt = 2;
                      f.mergeBytes = {0x84};
                  },
                  {{0, 0, kAll, {{0x82}}}, {1, 0, kAll, {{0x87, 0x84}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"NothingMergedWhereTheHeadIsSilent",
                  [](head::HeadFaults& f) {
                      f.silentFrom = 2;
                      f.mergeAt = 2;
                  },
                  {{0, 0, kAll, {{0x82}}}, {1, 0, kAll, {}}}},
        WriteCase{"GarbageWithoutGapStaysAWriteOfItsOwn",
                  [](head::HeadFaults& f) {
                      f.garbageAt = 1;
                      f.garbageBeforeAnswer = true;
                      f.garbageGap = 0ms;
                      f.garbageBytes = {0x55};
                      f.mergeAt = 1;
                  },
                  {{0, 0, kAll, {{0x55}, {0x82, 0x80}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"UnpromptedFailureInTheMiddleOfAFrame",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 1;
                      f.unpromptedAfterBytes = 1000;
                  },
                  {{0, 0, 999, {}},
                   {0, 999, 1000, {{0x86}}},
                   {0, 1000, kAll, {{0x82}}},
                   {1, 0, kAll, {{0x84}}}}},
        WriteCase{"UnpromptedTimeoutAfterTheStartByte",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 2;
                      f.unpromptedAfterBytes = 1;
                      f.unpromptedCode = 0x87;
                  },
                  {{0, 0, kAll, {{0x82}}}, {1, 0, 1, {{0x87}}}, {1, 1, kAll, {{0x84}}}}},
        WriteCase{"UnpromptedBeforeTheLastByte",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 1;
                      f.unpromptedAfterBytes = FRAME_SIZE - 1;
                  },
                  {{0, 0, FRAME_SIZE - 1, {{0x86}}}, {0, FRAME_SIZE - 1, kAll, {{0x82}}}}},
        WriteCase{"UnpromptedAndTheAnswerFromOneReadAreTwoWritesInOrder",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 1;
                      f.unpromptedAfterBytes = 2000;
                  },
                  {{0, 0, kAll, {{0x86}, {0x82}}}}},
        WriteCase{"UnpromptedInTheResendCountsTheResendAsAFrame",
                  [](head::HeadFaults& f) {
                      f.rejectFrame = 1;
                      f.unpromptedFrame = 2;
                      f.unpromptedAfterBytes = 100;
                  },
                  {{0, 0, kAll, {{0x81}}}, {0, 0, 100, {{0x86}}}, {0, 100, kAll, {{0x82}}}}},
        WriteCase{"UnpromptedAndXoffAtTheSameByte",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 1;
                      f.unpromptedAfterBytes = 500;
                      f.xoffFrame = 1;
                      f.xoffAfterBytes = 500;
                      f.xoffPause = 0ms;
                  },
                  {{0, 0, 500, {{0x13}, {0x86}, {0x11}}}, {0, 500, kAll, {{0x82}}}}},
        WriteCase{"StrayDoneInTheMiddleOfTheFirstFrame",
                  [](head::HeadFaults& f) {
                      f.unpromptedFrame = 1;
                      f.unpromptedAfterBytes = 100;
                      f.unpromptedCode = 0x84;
                  },
                  {{0, 0, 100, {{0x84}}}, {0, 100, kAll, {{0x82}}}, {1, 0, kAll, {{0x84}}}}},
        WriteCase{"EchoComesLaterInAWriteOfItsOwnHoldingBackNoAnswer",
                  [](head::HeadFaults& f) {
                      f.echoFrame = 1;
                      f.echoDelay = 2ms;
                  },
                  {{0, 0, kAll, {{0x82}}}, {1, 0, kAll, {{0x84}}}, {-1, 0, 0, {{0x82}, {0x80}}}}},
        WriteCase{"EarlyDoneOnceTheLastFrameShowsItsFlagThenSilence",
                  [](head::HeadFaults& f) { f.earlyDoneAfterBytes = 2; },
                  {{0, 0, kAll, {{0x82}}}, {1, 0, 2, {{0x84}}}, {1, 2, kAll, {}}, {-1, 0, 0, {}}}},
        WriteCase{"XoffAfterTheStartByte",
                  [](head::HeadFaults& f) {
                      f.xoffFrame = 1;
                      f.xoffAfterBytes = 1;
                      f.xoffPause = 0ms;
                  },
                  {{0, 0, 1, {{0x13}, {0x11}}}, {0, 1, kAll, {{0x82}}}}}),
    [](const testing::TestParamInfo<WriteCase>& param) { return param.param.name; });
