// The head's behaviour without a line (HeadEngine): bytes in, the exact writes out.

#include <gtest/gtest.h>

#include <chrono>
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
        Bytes bytes(command.begin(), command.end());
        bytes.insert(bytes.end(), {0x3F, 0x3F});
        engine.Receive(bytes, speed, start);
        EXPECT_EQ(engine.Report().state, HeadState::Loader);
        EXPECT_EQ(engine.LineSpeed(), UPGRADE_BAUD_RATE);
        // At 115200 the loader hears the greeting; at 2400 it is noise.
        EXPECT_EQ(engine.Report().greetings, speed == UPGRADE_BAUD_RATE ? 1u : 0u);
        EXPECT_EQ(engine.Report().noiseBytes, speed == UPGRADE_BAUD_RATE ? 0u : 2u);
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
