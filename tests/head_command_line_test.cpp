// The kavlet-head program's command line.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tools/head/HeadCommandLine.h"

using namespace std::chrono_literals;
using head::HeadOptions;
using head::HeadReport;
using head::HeadState;
using head_test::Bytes;

namespace {

// ---------------------------------------------------------------------------------------------
// Command line

TEST(HeadCommandLine, ParsesEveryOption) {
    head::HeadCommandLine line;
    std::string error;
    ASSERT_TRUE(head::ParseHeadCommandLine({"--address",
                                            "169",
                                            "--protocol=pelco-p",
                                            "--speed",
                                            "256000",
                                            "--loader",
                                            "--output",
                                            "/tmp/x.bin",
                                            "--expect-size",
                                            "5000",
                                            "--frame-timeout",
                                            "300",
                                            "--pace",
                                            "115200",
                                            "--reject-frame",
                                            "3",
                                            "--reject-code",
                                            "0x83",
                                            "--fail-at",
                                            "greeting",
                                            "--fail-code",
                                            "87",
                                            "--xoff-frame",
                                            "2",
                                            "--xoff-after",
                                            "100",
                                            "--xoff-ms",
                                            "700",
                                            "--silent-from",
                                            "9",
                                            "--garbage-at",
                                            "4",
                                            "--garbage-before",
                                            "--garbage-bytes",
                                            "01 02,7f",
                                            "--garbage-gap",
                                            "20",
                                            "--no-done",
                                            "--quiet",
                                            "--attach",
                                            "/dev/null"},
                                           &line, &error))
        << error;
    const HeadOptions& o = line.options;
    EXPECT_EQ(o.address, 169u);
    EXPECT_EQ(o.protocol, head::PelcoProtocol::PelcoP);
    EXPECT_EQ(o.speed, 256000u);
    EXPECT_TRUE(o.startInLoader);
    EXPECT_EQ(o.outputPath, "/tmp/x.bin");
    EXPECT_EQ(o.sizeRule, head::ImageSizeRule::ExpectSize);
    EXPECT_EQ(o.expectSize, 5000u);
    EXPECT_EQ(o.frameTimeout, 300ms);
    EXPECT_EQ(o.paceBaud, 115200u);
    EXPECT_EQ(o.faults.rejectFrame, 3u);
    EXPECT_EQ(o.faults.rejectCode, 0x83);
    EXPECT_EQ(o.faults.failAt, head::kGreetingPoint);
    EXPECT_EQ(o.faults.failCode, 0x87);
    EXPECT_EQ(o.faults.xoffFrame, 2u);
    EXPECT_EQ(o.faults.xoffAfterBytes, 100u);
    EXPECT_EQ(o.faults.xoffPause, 700ms);
    EXPECT_EQ(o.faults.silentFrom, 9u);
    EXPECT_EQ(o.faults.garbageAt, 4u);
    EXPECT_TRUE(o.faults.garbageBeforeAnswer);
    EXPECT_EQ(o.faults.garbageBytes, (Bytes{0x01, 0x02, 0x7F}));
    EXPECT_EQ(o.faults.garbageGap, 20ms);
    EXPECT_TRUE(o.faults.withholdDone);
    EXPECT_TRUE(line.quiet);
    EXPECT_EQ(line.attachPath, "/dev/null");

    // Every option is in the help text.
    for (const char* name :
         {"--address",       "--protocol",    "--speed",        "--loader",
          "--attach",        "--output",      "--expect-size",  "--trim-fill",
          "--frame-timeout", "--pace",        "--reject-frame", "--reject-code",
          "--fail-at",       "--fail-code",   "--xoff-frame",   "--xoff-after",
          "--xoff-ms",       "--silent-from", "--garbage-at",   "--garbage-before",
          "--garbage-bytes", "--garbage-gap", "--no-done",      "--quiet",
          "--merge-answer",  "--unprompted",  "--echo-answer",  "--early-done",
          "--help"}) {
        EXPECT_NE(head::HeadUsage().find(name), std::string::npos) << name;
    }
}

TEST(HeadCommandLine, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> wrong = {
        {"--address", "0"},
        {"--address", "256"},
        {"--protocol", "visca"},
        {"--speed", "fast"},
        {"--reject-code", "82"},
        {"--fail-code", "84"},
        {"--fail-at", "0"},
        {"--xoff-after", "4107"},
        {"--garbage-bytes", "80"},
        {"--garbage-bytes", "13 00"},
        {"--garbage-bytes", "zz"},
        {"--bogus"},
        {"--speed"},
        {"--loader=yes"},
        {"--merge-answer", "2"},
        {"--merge-answer", "0:80"},
        {"--merge-answer", "2:"},
        {"--merge-answer", "2:before"},
        {"--merge-answer", "2:zz"},
        {"--merge-answer", "2:100"},
        {"--merge-answer", "greeting:80 11"},
        {"--merge-answer", "2:82:13:before"},
        {"--unprompted", "2"},
        {"--unprompted", "0:10"},
        {"--unprompted", "2:0"},
        {"--unprompted", "2:4107"},
        {"--unprompted", "2:10:85"},
        {"--unprompted", "2:10:13"},
        {"--echo-answer", "2"},
        {"--echo-answer", "0:50"},
        {"--echo-answer", "2:50:1"},
        {"--early-done", "1"},
        {"--early-done", "4107"},
        {"--unprompted", "2:10:86:1"},
        {"--unprompted", "2:x:86"},
    };
    for (const auto& args : wrong) {
        head::HeadCommandLine line;
        std::string error;
        EXPECT_FALSE(head::ParseHeadCommandLine(args, &line, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

// The two faults given as one value each: what the value sets.
struct ValueCase {
    std::string option;
    std::string value;
    head::HeadFaults expected;  // the fields the value sets; the rest at their defaults
};

head::HeadFaults Merge(unsigned at, Bytes bytes, bool before) {
    head::HeadFaults f;
    f.mergeAt = at;
    f.mergeBytes = std::move(bytes);
    f.mergeBefore = before;
    return f;
}

head::HeadFaults Unprompted(unsigned frame, std::size_t after, std::uint8_t code) {
    head::HeadFaults f;
    f.unpromptedFrame = frame;
    f.unpromptedAfterBytes = after;
    f.unpromptedCode = code;
    return f;
}

head::HeadFaults Echo(unsigned frame, std::chrono::milliseconds delay) {
    head::HeadFaults f;
    f.echoFrame = frame;
    f.echoDelay = delay;
    return f;
}

head::HeadFaults EarlyDone(std::size_t after) {
    head::HeadFaults f;
    f.earlyDoneAfterBytes = after;
    return f;
}

TEST(HeadCommandLine, MergedAnswerAndUnpromptedCode) {
    const ValueCase cases[] = {
        {"--merge-answer", "2:80", Merge(2, {0x80}, false)},
        {"--merge-answer", "greeting:82:before", Merge(head::kGreetingPoint, {0x82}, true)},
        {"--merge-answer", "Greeting:82:AFTER", Merge(head::kGreetingPoint, {0x82}, false)},
        {"--merge-answer", "7:84 80,0", Merge(7, {0x84, 0x80, 0x00}, false)},
        {"--merge-answer", "3:82:84:before", Merge(3, {0x82, 0x84}, true)},
        {"--unprompted", "3:1000", Unprompted(3, 1000, 0x86)},
        {"--unprompted", "1:1:87", Unprompted(1, 1, 0x87)},
        {"--unprompted", "12:4106:0x86", Unprompted(12, 4106, 0x86)},
        {"--unprompted", "2:100:82", Unprompted(2, 100, 0x82)},
        {"--echo-answer", "1:50", Echo(1, 50ms)},
        {"--early-done", "2000", EarlyDone(2000)},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.option + " " + c.value);
        for (const bool joined : {false, true}) {
            const std::vector<std::string> args =
                joined ? std::vector<std::string>{c.option + "=" + c.value}
                       : std::vector<std::string>{c.option, c.value};
            head::HeadCommandLine line;
            std::string error;
            ASSERT_TRUE(head::ParseHeadCommandLine(args, &line, &error)) << error;
            const head::HeadFaults& f = line.options.faults;
            EXPECT_EQ(f.mergeAt, c.expected.mergeAt);
            EXPECT_EQ(f.mergeBytes, c.expected.mergeBytes);
            EXPECT_EQ(f.mergeBefore, c.expected.mergeBefore);
            EXPECT_EQ(f.unpromptedFrame, c.expected.unpromptedFrame);
            EXPECT_EQ(f.unpromptedAfterBytes, c.expected.unpromptedAfterBytes);
            EXPECT_EQ(f.unpromptedCode, c.expected.unpromptedCode);
            EXPECT_EQ(f.echoFrame, c.expected.echoFrame);
            EXPECT_EQ(f.echoDelay, c.expected.echoDelay);
            EXPECT_EQ(f.earlyDoneAfterBytes, c.expected.earlyDoneAfterBytes);
        }
    }
}

}  // namespace
