// kavlet-flash's parts that need no device: address lists, the options read from the command
// line, JSON strings and objects, the forms of the run's events, whole runs on an in-memory
// line, and the port list read from a fake device folder and sysfs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "cli/FailureReasons.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/Json.h"
#include "cli/JsonLines.h"
#include "cli/PlainLines.h"
#include "cli/PortReport.h"
#include "cli/ProgressLine.h"
#include "tests/cli_support.h"
#include "tests/support/MemoryLine.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"
#include "tests/support/TextPattern.h"
#include "upgrade/FirmwareFrame.h"

namespace fs = std::filesystem;
using Addresses = std::vector<std::uint8_t>;

namespace {

struct AddressCase {
    const char* text;
    Addresses addresses;  // expected; empty: an error whose message holds `error`
    const char* error = "";
};

const AddressCase kAddressCases[] = {
    {"1", {1}},
    {"255", {255}},
    {"1,3,5-8", {1, 3, 5, 6, 7, 8}},
    {"3,1", {3, 1}},  // the order given
    {"7-7", {7}},
    {"250-255,1", {250, 251, 252, 253, 254, 255, 1}},
    {"0", {}, "\"0\" is not a number from 1 to 255"},
    {"256", {}, "\"256\" is not a number from 1 to 255"},
    {"99999999999", {}, "not a number from 1 to 255"},
    {"-1", {}, "not a number"},
    {"+1", {}, "not a number"},
    {" 1", {}, "not a number"},
    {"1.5", {}, "not a number"},
    {"a", {}, "not a number"},
    {"1-", {}, "\"1-\" is not a number"},
    {"1-2-3", {}, "not a number"},
    {"", {}, "empty"},
    {"1,,2", {}, "empty item"},
    {"1,", {}, "empty item"},
    {"8-5", {}, "\"8-5\" runs backwards"},
    {"1,1", {}, "1 is named more than once"},
    {"1-3,2", {}, "2 is named more than once"},
};

TEST(CliAddressList, EachListGivesItsAddressesInOrderOrSaysWhatIsWrong) {
    for (const AddressCase& c : kAddressCases) {
        std::string error;
        const auto addresses = flash::ParseAddressList(c.text, &error);
        if (c.addresses.empty()) {
            EXPECT_FALSE(addresses) << c.text;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
        } else {
            ASSERT_TRUE(addresses) << c.text << ": " << error;
            EXPECT_EQ(*addresses, c.addresses) << c.text;
        }
    }
}

struct OptionsCase {
    std::vector<std::string> arguments;
    std::uint8_t protocolIndex;
    std::uint32_t speed;
    std::uint8_t speedIndex;
    std::chrono::milliseconds answerTimeout;
    unsigned maxResends;
};

TEST(CliOptions, ProtocolAndSpeedBecomeTheDeviceDialogsPositions) {
    using std::chrono::milliseconds;
    const std::vector<std::string> base = {"--port", "/dev/ttyUSB0", "--address", "1"};
    const OptionsCase cases[] = {
        {{}, 1, 2400, 0, milliseconds(10'000), 10},
        {{"--protocol", "pelco-p"}, 0, 2400, 0, milliseconds(10'000), 10},
        {{"--protocol=pelco-d", "--speed=9600"}, 1, 9600, 2, milliseconds(10'000), 10},
        {{"--speed", "921600"}, 1, 921600, 9, milliseconds(10'000), 10},
        {{"--speed", "115200"}, 1, 115200, 6, milliseconds(10'000), 10},
        {{"--answer-timeout", "0.5", "--max-resends", "0"}, 1, 2400, 0, milliseconds(500), 0},
        {{"--answer-timeout", "3", "--max-resends", "1000"}, 1, 2400, 0, milliseconds(3000), 1000},
        {{"--answer-timeout", ".25"}, 1, 2400, 0, milliseconds(250), 10},
    };
    for (const OptionsCase& c : cases) {
        std::vector<std::string> arguments = base;
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.push_back("image.bin");
        const auto parsed = flash::ParseArguments(arguments);
        ASSERT_TRUE(parsed.options) << parsed.error;
        const flash::FlashOptions& o = *parsed.options;
        const std::string row = testing::PrintToString(c.arguments);
        EXPECT_EQ(o.mode, flash::Mode::Flash) << row;
        EXPECT_EQ(o.protocolIndex, c.protocolIndex) << row;
        EXPECT_EQ(o.speed, c.speed) << row;
        EXPECT_EQ(o.speedIndex, c.speedIndex) << row;
        EXPECT_EQ(o.answerTimeout, c.answerTimeout) << row;
        EXPECT_EQ(o.maxResends, c.maxResends) << row;
        EXPECT_EQ(o.image, "image.bin") << row;
        EXPECT_EQ(o.port, "/dev/ttyUSB0") << row;
    }
}

TEST(CliOptions, EveryWrongCommandLineSaysWhatIsWrongInOneSentence) {
    const std::string port = "/dev/x";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"-x", "img"}, "Unknown option \"-x\""},
        // Control characters typed into an argument are shown as "?", never sent to the terminal.
        {{"--bo\ngus\x1b[2J"}, "Unknown option \"--bo?gus?[2J\""},
        {{"--port"}, "The option --port needs a value"},
        {{"--port", port, "--port", "COM2"}, "--port is given twice"},
        {{"--port", port, "img"}, "Name the heads with --address"},
        {{"--port", port, "--address", "0", "img"}, "\"0\" is not a number from 1 to 255"},
        {{"--port", port, "--address", "256", "img"}, "\"256\" is not a number from 1 to 255"},
        {{"--port", port, "--address", "1,1", "img"}, "1 is named more than once"},
        {{"--port", port, "--address", "5-3", "img"}, "\"5-3\" runs backwards"},
        {{"--port", port, "--address", "1,,2", "img"}, "empty item"},
        {{"--port", port, "--address", "1", "--speed", "1200", "img"},
         "The speed \"1200\" is not one of 2400, 4800"},
        {{"--port", port, "--address", "1", "--speed", "fast", "img"}, "\"fast\" is not one"},
        {{"--port", port, "--address", "1", "--protocol", "pelco-x", "img"},
         "The protocol \"pelco-x\" is unknown"},
        {{"--port", port, "--address", "1", "--answer-timeout", "0", "img"},
         "The answer timeout \"0\" is not a number of seconds"},
        {{"--port", port, "--address", "1", "--answer-timeout", "-1", "img"},
         "The answer timeout \"-1\""},
        {{"--port", port, "--address", "1", "--answer-timeout", "1e3", "img"},
         "The answer timeout \"1e3\""},
        {{"--port", port, "--address", "1", "--answer-timeout", "3601", "img"},
         "The answer timeout \"3601\""},
        {{"--port", port, "--address", "1", "--max-resends", "-1", "img"},
         "The resend limit \"-1\""},
        {{"--port", port, "--address", "1", "--max-resends", "1001", "img"},
         "The resend limit \"1001\""},
        {{"--port", port, "--address", "1"}, "Name the firmware image to send"},
        {{"--port", port, "--address", "1", "a.bin", "b.bin"}, "Only one image"},
        {{"--port", port, "--address", "1", "--json=yes", "img"}, "--json takes no value"},
        {{"--list-ports", "--port", port}, "--list-ports takes no option but --json"},
        {{"--list-ports", "img"}, "--list-ports takes no image"},
        {{"--plan", "p.csv", "--port", port}, "With --plan the plan names the ports"},
        {{"--plan", "p.csv", "img"}, "With --plan the plan names the images"},
        {{"--plan", "p.csv", "--jobs", "0"}, "The number of jobs \"0\""},
        {{"--plan", "p.csv", "--resume"}, "--resume needs the journal"},
        {{"--port", port, "--address", "1", "--journal", "j", "img"},
         "--journal goes with --plan only"},
        // "--port=" with nothing after "=" is an empty value, not the next argument's.
        {{"--port=", "--address", "1", "img"}, "The port \"\" is neither"},
        {{"--port", port, "--address=", "--speed", "9600", "img"}, "empty"},
        {{"--plan=", "--jobs", "2"}, "The plan file name is empty"},
        // An option where a value belongs is taken as the value, and refused as one.
        {{"--port", port, "--address", "--speed", "9600", "img"},
         "The address \"--speed\" is not a number from 1 to 255"},
    };
    for (const auto& c : cases) {
        const auto parsed = flash::ParseArguments(c.arguments);
        const std::string row = testing::PrintToString(c.arguments);
        EXPECT_FALSE(parsed.options) << row;
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << row << ": " << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << row << ": one sentence";
    }
}

TEST(CliOptions, ModesOtherThanFlashing) {
    const struct {
        std::vector<std::string> arguments;
        flash::Mode mode;
        bool json;
    } cases[] = {
        {{"--help"}, flash::Mode::Help, false},
        {{"-h"}, flash::Mode::Help, false},
        {{"--port", "x", "--help"}, flash::Mode::Help, false},
        {{"--version"}, flash::Mode::Version, false},
        {{"--list-ports"}, flash::Mode::ListPorts, false},
        {{"--json", "--list-ports"}, flash::Mode::ListPorts, true},
    };
    for (const auto& c : cases) {
        const auto parsed = flash::ParseArguments(c.arguments);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(parsed.options->mode, c.mode) << testing::PrintToString(c.arguments);
        EXPECT_EQ(parsed.options->json, c.json) << testing::PrintToString(c.arguments);
    }
}

// --- JSON

TEST(CliJson, StringsAreEscapedAndReadBackAsTheyWere) {
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"line\nend\r\ttab", "\"line\\nend\\r\\ttab\""},
        {std::string("\x01\x1f\x7f\b\f", 5), "\"\\u0001\\u001f\\u007f\\b\\f\""},
        {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
        {"/dev/ttyUSB0", "\"/dev/ttyUSB0\""},
        {"固件.bin", "\"固件.bin\""},  // UTF-8 stays as it is
        {"\xc3\xa9", "\"\xc3\xa9\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flash::JsonString(c.text), c.json) << c.text;
        EXPECT_EQ(cli_test::JsonReader::String(flash::JsonString(c.text)), c.text) << c.text;
    }
}

TEST(CliJson, BytesThatAreNotUtf8BecomeTheReplacementCharacter) {
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"a\xff"
         "b",
         "\"a\\ufffdb\""},                                         // never a UTF-8 byte
        {"\x80", "\"\\ufffd\""},                                   // a continuation byte alone
        {"\xc3", "\"\\ufffd\""},                                   // a sequence cut short
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                        // an overlong "/"
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // a surrogate
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
        {"\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},             // an overlong "/" in three
        {"\xf0\x80\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // and in four bytes
        {"\xe2\x82", "\"\\ufffd\""},  // the start of a sequence: one U+FFFD
        {"\xe2\x82"
         "b",
         "\"\\ufffdb\""},
        {"\xef\xbf\xbd\xff", "\"\xef\xbf\xbd\xef\xbf\xbd\""},  // beside a U+FFFD of its own
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flash::JsonString(c.text), c.json) << testing::PrintToString(c.text);
        EXPECT_TRUE(cli_test::JsonReader::String(flash::JsonString(c.text)));
    }
}

TEST(CliJson, AnObjectKeepsItsMembersInOrderAndReadsBack) {
    const std::string text =
        flash::JsonObject()
            .Add("event", "start")
            .Add("address", 7)
            .Add("size", std::int64_t{4294967296})
            .AddSeconds("t", 1.23456)
            .Add("ok", true)
            .Add("heads", {flash::JsonObject().Add("a", 1), flash::JsonObject().AddSeconds("s", 2)})
            .Add("image", "a \"b\"\n")
            .Text();
    EXPECT_EQ(text,
              "{\"event\":\"start\",\"address\":7,\"size\":4294967296,\"t\":1.235,\"ok\":true,"
              "\"heads\":[{\"a\":1},{\"s\":2.000}],\"image\":\"a \\\"b\\\"\\n\"}");
    const auto members = cli_test::JsonReader::Object(text);
    ASSERT_TRUE(members);
    EXPECT_EQ(members->at("image"), "a \"b\"\n");
    EXPECT_EQ(flash::JsonObject().Text(), "{}");
}

// --- The forms of the run's events

// What a form writes, out and err in one file, for a head that answered the greeting and failed
// while its first frame was going out. Only here is the progress line seen: the end-to-end runs
// write into pipes.
TEST(CliEvents, EachFormShowsAFailureWhileSendingItsOwnWay) {
    const std::string error =
        "kavlet-flash: head 1 did not answer frame 0 within 1 s. (no-answer)\n";
    const struct {
        const char* form;
        std::string text;  // "t" masked as T
    } cases[] = {
        {"progress",
         "\rhead   1 [........................] 0/4107 B   0%       0 B/s -:-- left, 0 resends"
         "\033[K\n" +
             error},
        {"plain", "head 1: connected\n" + error},
        {"quiet", error},
        {"json",
         "{\"event\":\"connected\",\"address\":1,\"t\":T}\n"
         "{\"event\":\"failed\",\"address\":1,\"t\":T,\"reason\":\"no-answer\",\"message\":"
         "\"head 1 did not answer frame 0 within 1 s.\"}\n" +
             error},
    };
    for (const auto& c : cases) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
        ASSERT_TRUE(file);
        std::unique_ptr<flash::FlashEvents> events;
        const std::string form = c.form;
        if (form == "progress")
            events = std::make_unique<flash::ProgressLine>(file.get(), file.get());
        if (form == "plain" || form == "quiet")
            events = std::make_unique<flash::PlainLines>(file.get(), file.get(), form == "quiet");
        if (form == "json") events = std::make_unique<flash::JsonLines>(file.get(), file.get());
        const flash::SendProgress progress{1, 4107, 0, std::chrono::steady_clock::now(), 0};
        events->Connected(1);
        events->Sending(progress);
        events->Failed({1, "failed", TransferFailure::NoAnswer, 1, 0, 1.0},
                       "head 1 did not answer frame 0 within 1 s.");
        std::rewind(file.get());
        std::string text;
        for (int ch; (ch = std::fgetc(file.get())) != EOF;) text += static_cast<char>(ch);
        EXPECT_EQ(text_pattern::Replace(text, "\"t\":[0-9.]+", "\"t\":T"), c.text) << c.form;
    }
}

// --- The reasons a head fails for

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every failure has its own row, in the order the failures are listed; one token always means
// one exit status and the same end of the run; and the man page and docs/cli.md describe every
// token (the page as a ".B" entry of its own, cli.md as a row of its table).
TEST(CliReasons, EveryFailureHasItsRowAndEveryTokenIsDocumented) {
    std::string page = ReadText(KAVLET_SOURCE_DIR "/docs/man/kavlet-flash.1");
    page = text_pattern::Replace(page, R"(\\-)", "-");
    const std::string guide = ReadText(KAVLET_SOURCE_DIR "/docs/cli.md");
    ASSERT_FALSE(page.empty());
    ASSERT_FALSE(guide.empty());
    ASSERT_EQ(flash::FailureReasons().size(), kAllTransferFailures.size());
    std::map<std::string, std::pair<int, bool>> tokens;
    for (std::size_t i = 0; i < kAllTransferFailures.size(); ++i) {
        const TransferFailure failure = kAllTransferFailures[i];
        const flash::FailureReason& row = flash::ReasonFor(failure);
        SCOPED_TRACE(row.token);
        EXPECT_EQ(flash::FailureReasons()[i].failure, failure);
        EXPECT_EQ(row.failure, failure);
        ASSERT_NE(row.sentence, nullptr);
        EXPECT_FALSE(row.sentence(flash::FailureFacts{.imageProblem = "x"}).empty());
        const auto [known, added] =
            tokens.emplace(row.token, std::pair(row.exitStatus, row.endsRun));
        EXPECT_EQ(known->second, std::pair(row.exitStatus, row.endsRun)) << "one token, one end";
        EXPECT_NE(page.find("\n.B " + std::string(row.token) + "\n"), std::string::npos)
            << "named in the man page";
        EXPECT_NE(guide.find("| `" + std::string(row.token) + "` |"), std::string::npos)
            << "named in docs/cli.md";
    }
}

// --- Whole runs in this process, on an in-memory line where the test plays the head

TEST(CliMemoryRun, ResendsAndTheExitStatusOffTheHappyPath) {
    constexpr std::size_t kGreeted = 7 + 2;  // the Pelco-D command and the greeting
    constexpr auto kWait = std::chrono::seconds(10);
    // What else happens: an 86 between the command and the greeting, the image deleted or the
    // port gone at the first answer to a frame, the output unwritable all along, the line held
    // (XOFF) from the last answer on.
    enum Then { Nothing, StaleAnswer, ImageGone, PortGone, OutputFull, HeldAfterLastAnswer };
    const struct {
        const char* name;
        std::string addresses;
        std::vector<std::string> options;
        std::vector<std::uint8_t> answers;  // to the frames, in order, once the greeting had 80
        Then then;
        int exit;
        std::size_t frames;        // told as sent
        std::string told;          // in the output, when not empty
        std::size_t size = 10000;  // the image's bytes
        std::string summary = "";  // lines of the summary table (a regex), when not empty
    } cases[] = {
        {"one resend of each of two blocks, one allowed a block",
         "1",
         {"--max-resends", "1"},
         {0x81, 0x82, 0x83, 0x82, 0x84},
         Nothing,
         flash::kExitDone,
         5,
         ""},
        {"the image gone before the second head: the third is not tried",
         "1,2,3",
         {},
         {0x82, 0x82, 0x84},
         ImageGone,
         flash::kExitImage,
         3,
         "",
         10000,
         "\n1 +done +3 [^\n]*\n2 +failed \\(file\\) +0 [^\n]*\n3 +skipped +0 "},
        {"the port gone before the next frame's first byte",
         "1",
         {},
         {0x82},
         PortGone,
         flash::kExitPort,
         1,
         ""},
        {"an answer before the greeting answers nothing",
         "1",
         {},
         {0x82, 0x82, 0x84},
         StaleAnswer,
         flash::kExitDone,
         3,
         ""},
        {"output that cannot be written, a head that fails",
         "1",
         {},
         {0x86},
         OutputFull,
         flash::kExitHeadFailed,
         0,
         ""},
        {"held before the first byte of the frame after two answered blocks",
         "1",
         {"--answer-timeout", "2"},
         {0x82, 0x82},
         HeldAfterLastAnswer,
         flash::kExitHeadFailed,
         2,
         "head 1 did not answer frame 2 within 2 s."},
        // What a head answers in place of 82 or 84, and the sentence each ends the run with.
        {"a checksum error with no resend allowed",
         "1",
         {"--max-resends", "0"},
         {0x82, 0x81},
         Nothing,
         flash::kExitHeadFailed,
         2,
         "head 1 rejected block 1 (checksum error 81) once more after 0 resends, the most "
         "--max-resends allows."},
        {"a checksum error 83 resent once",
         "1",
         {"--max-resends", "1"},
         {0x82, 0x83, 0x82, 0x84},
         Nothing,
         flash::kExitDone,
         4,
         "head 1: checksum error 83 on block 1, sending it again (resend 1 of at most 1)"},
        {"86 to the second frame",
         "1",
         {},
         {0x82, 0x86},
         Nothing,
         flash::kExitHeadFailed,
         2,
         "head 1 answered 86: the upgrade failed at block 1."},
        {"84 to the first frame of three",
         "1",
         {},
         {0x84},
         Nothing,
         flash::kExitHeadFailed,
         1,
         "head 1 answered 84 (done) before it had the whole image at block 0, so the upgrade is "
         "not known to have worked."},
        {"82 to the last block: one frame more, then 84",
         "1",
         {},
         {0x82, 0x82, 0x84},
         Nothing,
         flash::kExitDone,
         3,
         "head 1: frame 2 sent (load address 0x00021001, 0 bytes)",
         4097},
        {"82 to the frame after the last block too: never done",
         "1",
         {},
         {0x82, 0x82, 0x82},
         Nothing,
         flash::kExitHeadFailed,
         3,
         "head 1 answered 82, not 84, to the frame after the last block: it never said done, so "
         "the upgrade is not known to have worked.",
         4097},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder{"kavlet-cli-run"};
        const std::string image = folder.File("image.bin");
        std::ofstream(image, std::ios::binary) << std::string(c.size, 'k');
        std::vector<std::string> arguments = {"--port", "/dev/ttyUSB0", "--address", c.addresses};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(image);
        const auto parsed = flash::ParseArguments(arguments);
        ASSERT_TRUE(parsed.options) << parsed.error;
        memory_line::MemoryPort port;
        TestClock clock{TestClock::Mode::PausesPass};  // the handshake's pauses pass at once
        // The stale answer comes in the pause after the start-upgrade command, at the head's
        // speed, and is read before the reopening at 115200 (a thread that waited for the
        // command could be late on a loaded machine, and answer the greeting instead).
        bool staled = false;
        clock.onPause = [&](std::chrono::milliseconds) {
            if (c.then != StaleAnswer || staled || port.WrittenCount() != kGreeted - 2) return;
            staled = port.Push({0x86}) && port.WaitForInputRead(kWait);
        };
        std::thread head([&] {
            if (!port.WaitForWritten(kGreeted, kWait)) return;
            port.Push({0x80});
            for (std::size_t k = 0; k < c.answers.size(); ++k) {
                if (!port.WaitForWritten(kGreeted + (k + 1) * FRAME_SIZE, kWait)) return;
                if (k == 0 && c.then == ImageGone) fs::remove(image);
                if (k == 0 && c.then == PortGone) port.Hold();
                if (k + 1 == c.answers.size() && c.then == HeldAfterLastAnswer) port.Hold();
                port.Push({c.answers[k]});
                if (k == 0 && c.then == PortGone) {
                    port.WaitForWritersWaiting(1, kWait);
                    port.HangUp();
                }
            }
        });
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
        flash::RunIo io;
        io.out = io.err = out.get();
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> full(std::fopen("/dev/full", "w"),
                                                             std::fclose);
        if (c.then == OutputFull) io.out = full.get();
        io.openLine = port.Opener();
        io.clock = &clock;
        EXPECT_EQ(flash::RunFlash(*parsed.options, io), c.exit);
        head.join();
        std::rewind(out.get());
        std::string text;
        for (int ch; (ch = std::fgetc(out.get())) != EOF;) text += static_cast<char>(ch);
        std::size_t frames = 0;
        for (auto at = text.find(" sent (load"); at != std::string::npos;
             at = text.find(" sent (load", at + 1))
            ++frames;
        EXPECT_EQ(frames, c.frames) << text;
        if (!c.told.empty()) {
            EXPECT_NE(text.find(c.told), std::string::npos) << text;
        }
        if (!c.summary.empty()) {
            EXPECT_TRUE(text_pattern::Found(text, c.summary)) << text;
        }
    }
}

// --- The port list on a fake tree

class CliPortList : public testing::Test {
  protected:
    void Dir(const fs::path& relative) { fs::create_directories(root / relative); }
    void File(const fs::path& relative, const std::string& text) {
        fs::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << text;
    }
    void Link(const fs::path& relative, const fs::path& target) {
        fs::create_directories((root / relative).parent_path());
        fs::create_symlink(target, root / relative);
    }
    PortRoots Roots() const { return {(root / "dev").string(), (root / "sys").string()}; }

    TempDir folder{"kavlet-cli-ports"};
    fs::path root = folder.Path();
};

TEST_F(CliPortList, RealPortsWithDriverAndUsbIdsAndNothingElse) {
    // Devices in /dev; tty0 and ttyS1/ttyS10 (no port behind them) must not show.
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB10", "ttyUSB2",
                             "ttyACM0", "tty0", "console"})
        File(fs::path("dev") / name, "");
    // ttyUSB0 shows once, by its link's name; the link of an adapter pulled out not at all.
    Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", "../../ttyUSB0");
    Link("dev/serial/by-id/usb-Prolific_PL2303_gone-if00-port0", "../../ttyUSB7");
    for (const char* driver :
         {"pnp/drivers/serial", "platform/drivers/serial8250", "serial-base/drivers/port",
          "usb-serial/drivers/ftdi_sio", "usb/drivers/cdc_acm"})
        Dir(fs::path("sys/bus") / driver);
    // ttyS0: a port of its own driver, type 4 (16550A).
    Dir("sys/devices/pnp0/00:01");
    Link("sys/devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial");
    Link("sys/class/tty/ttyS0/device", "../../../devices/pnp0/00:01");
    File("sys/class/tty/ttyS0/type", "4\n");
    // ttyS1: a driver, but port type 0: nothing there.
    Dir("sys/devices/platform/serial8250/port.1");
    Link("sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    Link("sys/devices/platform/serial8250/port.1/driver",
         "../../../../bus/serial-base/drivers/port");
    Link("sys/class/tty/ttyS1/device", "../../../devices/platform/serial8250/port.1");
    File("sys/class/tty/ttyS1/type", "0\n");
    // ttyS2: under the serial core's generic "port" driver; its parent names the real one.
    Dir("sys/devices/platform/serial8250/port.2");
    Link("sys/devices/platform/serial8250/port.2/driver",
         "../../../../bus/serial-base/drivers/port");
    Link("sys/class/tty/ttyS2/device", "../../../devices/platform/serial8250/port.2");
    File("sys/class/tty/ttyS2/type", "4\n");
    // ttyS10: no device at all.
    File("sys/class/tty/ttyS10/type", "0\n");
    // ttyUSB0: a USB serial adapter with a product name.
    Dir("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0");
    File("sys/devices/usb1/1-1/idVendor", "0403\n");
    File("sys/devices/usb1/1-1/idProduct", "6001\n");
    File("sys/devices/usb1/1-1/product", "FT232R USB UART\n");
    Link("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/driver",
         "../../../../../bus/usb-serial/drivers/ftdi_sio");
    Link("sys/class/tty/ttyUSB0/device", "../../../devices/usb1/1-1/1-1:1.0/ttyUSB0");
    // ttyACM0: a CDC ACM device without a product name.
    Dir("sys/devices/usb1/1-2/1-2:1.0");
    File("sys/devices/usb1/1-2/idVendor", "2341\n");
    File("sys/devices/usb1/1-2/idProduct", "0043\n");
    Link("sys/devices/usb1/1-2/1-2:1.0/driver", "../../../../bus/usb/drivers/cdc_acm");
    Link("sys/class/tty/ttyACM0/device", "../../../devices/usb1/1-2/1-2:1.0");
    // ttyUSB2 and ttyUSB10: no sysfs entries; listed, without details, 2 before 10.

    const std::string dev = (root / "dev").string();
    const std::vector<PortEntry> expected = {
        {dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", dev + "/ttyUSB0", "ftdi_sio",
         "0403:6001", "FT232R USB UART"},
        {dev + "/ttyUSB2", "", "", "", ""},
        {dev + "/ttyUSB10", "", "", "", ""},
        {dev + "/ttyACM0", "", "cdc_acm", "2341:0043", ""},
        {dev + "/ttyS0", "", "serial", "", ""},
        {dev + "/ttyS2", "", "serial8250", "", ""},
    };
    const auto ports = ListPorts(Roots());
    ASSERT_EQ(ports.size(), expected.size()) << flash::PortsText(ports);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(ports[i].path, expected[i].path) << i;
        EXPECT_EQ(ports[i].target, expected[i].target) << i;
        EXPECT_EQ(ports[i].driver, expected[i].driver) << i;
        EXPECT_EQ(ports[i].usbId, expected[i].usbId) << i;
        EXPECT_EQ(ports[i].product, expected[i].product) << i;
    }
    EXPECT_NE(flash::PortsText(ports).find("-if00-port0 -> " + dev +
                                           "/ttyUSB0  driver ftdi_sio  usb 0403:6001  "
                                           "\"FT232R USB UART\"\n"),
              std::string::npos)
        << flash::PortsText(ports);
    const auto lines = cli_test::Lines(flash::PortsJson(ports));
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto members = cli_test::JsonReader::Object(lines[i]);
        ASSERT_TRUE(members) << lines[i];
        EXPECT_EQ(members->at("event"), "port");
        EXPECT_EQ(members->at("path"), expected[i].path);
    }
}

TEST_F(CliPortList, NoPortsSaysSo) {
    Dir("dev");
    Dir("sys/class/tty");
    const auto ports = ListPorts(Roots());
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(flash::PortsText(ports), "No serial ports found.\n");
    EXPECT_EQ(flash::PortsJson(ports), "");
    // Roots that do not exist are no error either.
    EXPECT_TRUE(ListPorts({(root / "none").string(), (root / "none").string()}).empty());
}

}  // namespace
