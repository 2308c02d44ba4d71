// kavlet-flash as the operator runs it: the built program as a child process, its output read
// through pipes, against the virtual camera head on a pseudo-terminal (in this process). Each
// run is checked for its exit status, what the operator is told, and what the head holds.
//
// Built a second time with KAVLET_FLASH_UNDER_WINE, the same runs check kavlet-flash.exe, the
// Windows build, under Wine: it opens a COM port linked to the head's pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/cli_support.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/TextPattern.h"
#include "tests/support/ToolFault.h"
#include "tests/support/WaitBreaker.h"
#include "tools/head/Sha256.h"
#include "tools/head/VirtualBus.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/PelcoCommand.h"
#ifdef KAVLET_FLASH_UNDER_WINE
#include <list>

#include "tests/windows/WineSupport.h"
#endif

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using cli_test::ChildResult;
using cli_test::JsonReader;
using cli_test::Lines;
using Members = std::map<std::string, std::string>;

namespace {

constexpr auto kRunLimit = 60s;  // every run is bounded; a hung one is killed and fails

// The answer wait for a run. A head that stays silent is only found out when the wait has run
// out, so runs that expect silence wait two seconds (heads that do answer share that run, and a
// loaded machine must not make them look silent); every other run keeps the tool's own wait.
constexpr const char* kSilenceWait = "2";
std::vector<std::string> AnswerWait(bool silenceExpected) {
    if (!silenceExpected) return {};
    return {"--answer-timeout", kSilenceWait};
}

#ifdef KAVLET_FLASH_UNDER_WINE
// The words that refuse a port name the command line does not take.
const std::string kNotAPort = " is not a port name such as COM1";
#else
const std::string kNotAPort = " is neither a device path";
#endif

std::size_t FramesFor(std::size_t size) {
    return (size + 4095) / 4096;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (const auto b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

// Every line of --json output as an object; fails the test on a line that is not one or has
// no "event".
std::vector<Members> JsonEvents(const std::string& out) {
    std::vector<Members> events;
    for (const std::string& line : Lines(out)) {
        const auto members = JsonReader::Object(line);
        EXPECT_TRUE(members) << "not a JSON object: " << line;
        if (!members) continue;
        EXPECT_TRUE(members->count("event")) << line;
        events.push_back(*members);
    }
    return events;
}

std::vector<Members> EventsNamed(const std::vector<Members>& events, const std::string& name) {
    std::vector<Members> found;
    for (const auto& e : events)
        if (e.at("event") == name) found.push_back(e);
    return found;
}

// Output read through a pipe carries no control characters (no \r, no colours).
void ExpectPlain(const ChildResult& r) {
    EXPECT_EQ(cli_test::ControlCharacter(r.out), std::nullopt) << r.out;
    EXPECT_EQ(cli_test::ControlCharacter(r.err), std::nullopt) << r.err;
}

bool Contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// The name the program opens a pseudo-terminal by: its path, or under Wine a COM port linked to
// it for as long as this object lives.
class LinePorts {
  public:
    std::string For(const std::string& slavePath) {
#ifdef KAVLET_FLASH_UNDER_WINE
        const wine_test::ComLink& link = links_.emplace_back(slavePath);
        EXPECT_TRUE(link.Made()) << "no COM link for " << slavePath;
        return link.Name();
#else
        return slavePath;
#endif
    }
    void Clear() {
#ifdef KAVLET_FLASH_UNDER_WINE
        links_.clear();
#endif
    }

  private:
#ifdef KAVLET_FLASH_UNDER_WINE
    std::list<wine_test::ComLink> links_;
#endif
};

class CliRun : public testing::Test {
  protected:
    void TearDown() override {
        if (head) head->Stop();
    }
    void StartHead(unsigned address, head::PelcoProtocol protocol, std::uint32_t speed,
                   std::size_t imageSize, head::HeadFaults faults = {}, std::uint32_t pace = 0) {
        head::HeadOptions options;
        options.address = address;
        options.protocol = protocol;
        options.speed = speed;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(imageSize);
        options.paceBaud = pace;
        options.faults = faults;
        std::string error;
        port.clear();
        ports.Clear();
        breaker.reset();
        head = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(head) << error;
        breaker.emplace(ToolFaultProbe(*head));
        head->Start();
    }
    std::string WriteImage(const Bytes& image, const std::string& name = "firmware.bin") {
        const std::string path = folder.File(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        return path;
    }
    std::vector<std::string> Arguments(const std::string& addresses, const std::string& image,
                                       std::vector<std::string> more = {}) {
        std::vector<std::string> arguments = {"--port", Port(), "--address", addresses};
        arguments.insert(arguments.end(), more.begin(), more.end());
        arguments.push_back(image);
        return arguments;
    }

    // The head's line as the program names it.
    std::string Port() {
        if (port.empty()) port = ports.For(head->SlavePath());
        return port;
    }

    TempDir folder{"kavlet-cli"};
    LinePorts ports;
    std::unique_ptr<head::VirtualHead> head;
    std::optional<WaitBreaker> breaker;  // a broken frame or handshake ends a run at once
    std::string port;
};

// --- Command lines that are wrong: exit 2, one sentence, nothing on stdout. The program's own
// rows: the status and the form of its one line, and the port names this platform refuses;
// what every other wrong command line says is in CliOptions (cli_unit_test.cpp), in process.

TEST(CliCommandLine, EveryUsageErrorExitsWithTwoAndSaysWhatIsWrong) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{}, "Name the port with --port"},
        {{"--bogus"}, "Unknown option \"--bogus\""},
        {{"--port", "ttyUSB0", "--address", "1", "img"}, std::string("\"ttyUSB0\"") + kNotAPort},
        {{"--port", "COM0", "--address", "1", "img"}, std::string("\"COM0\"") + kNotAPort},
        // Read when the run starts, not by the command line's parser: a run's error.
        {{"--plan", "/nonexistent/p.csv"}, "the plan /nonexistent/p.csv cannot be read"},
    };
    for (const auto& c : cases) {
        const ChildResult r = cli_test::RunFlash(c.arguments, kRunLimit);
        const std::string row = testing::PrintToString(c.arguments);
        EXPECT_EQ(r.exitStatus, 2) << row << r.err;
        EXPECT_EQ(r.out, "") << row;
        const auto lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << row << r.err;
        EXPECT_TRUE(Contains(lines[0], "kavlet-flash: ")) << lines[0];
        EXPECT_TRUE(Contains(lines[0], c.message)) << row << ": " << lines[0];
    }
}

TEST(CliCommandLine, HelpNamesEveryOptionWithExamplesAndListingPortsOpensNothing) {
    const ChildResult help = cli_test::RunFlash({"--help"}, kRunLimit);
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* option :
         {"--port", "--address", "--protocol", "--speed", "--answer-timeout", "--max-resends",
          "--json", "--quiet", "--list-ports", "--help", "--version", "Examples:", "Exit status"})
        EXPECT_TRUE(Contains(help.out, option)) << option;
    const ChildResult version = cli_test::RunFlash({"--version"}, kRunLimit);
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_TRUE(Contains(version.out, "kavlet-flash")) << version.out;
    // This machine's own ports: read from sysfs; whatever is there, each line is an object.
    const ChildResult ports = cli_test::RunFlash({"--list-ports", "--json"}, kRunLimit);
    EXPECT_EQ(ports.exitStatus, 0) << ports.err;
    for (const Members& e : JsonEvents(ports.out)) EXPECT_EQ(e.at("event"), "port");
}

// --- Nothing to send, or no line to send it on: exit 4 or 3 before the line is touched

TEST_F(CliRun, AnImageOrPortThatCannotBeUsedEndsTheRunWithItsOwnStatus) {
    StartHead(1, head::PelcoProtocol::PelcoD, 2400, 10);
    const std::string good = WriteImage(RandomImage(10, 1));
    const std::string empty = WriteImage({}, "empty.bin");
    const std::string missing = folder.File("missing.bin");
#ifdef KAVLET_FLASH_UNDER_WINE
    const std::string noPort = "COM250";                       // linked to nothing
    const std::string noPortShown = "COM250 (\\\\.\\COM250)";  // with the device it stands for
    const std::string fileAsPort = "\\\\.\\NUL";               // a device, but no serial port
#else
    const std::string noPort = folder.File("no-such-port");
    const std::string noPortShown = noPort;
    const std::string fileAsPort = WriteImage({1, 2, 3}, "not-a-port");
#endif
    const struct {
        std::string port, image;
        bool json;
        int exit;
        std::string message;
    } cases[] = {
        {Port(), missing, false, 4, "the image " + missing + " does not exist."},
        {Port(), missing, true, 4, "does not exist"},
        {Port(), empty, false, 4, "the image " + empty + " is empty"},
        {Port(), folder.Path().string(), false, 4, "is a folder, not a file"},
        {noPort, good, false, 3,
         "the port " + noPortShown + " cannot be opened: No such file or directory."},
        {noPort, good, true, 3, "the port " + noPortShown + " cannot be opened"},
        {fileAsPort, good, false, 3, "the port " + fileAsPort + " cannot be opened"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"--port", c.port, "--address", "1", c.image};
        if (c.json) arguments.insert(arguments.begin(), "--json");
        const ChildResult r = cli_test::RunFlash(arguments, kRunLimit);
        EXPECT_EQ(r.exitStatus, c.exit) << c.message << "\n" << r.err;
        const auto lines = Lines(r.err);
        // One sentence; with --json the summary table follows it (a header, a row).
        ASSERT_EQ(lines.size(), c.json && c.exit == 3 ? 3u : 1u) << r.err;
        EXPECT_TRUE(Contains(lines[0], c.message)) << lines[0];
        ExpectPlain(r);
        if (c.json) {
            // Without an image the run never starts; a run that started ends with its summary.
            const auto events = JsonEvents(r.out);
            std::vector<std::string> names;
            for (const Members& e : events) names.push_back(e.at("event"));
            const std::vector<std::string> shape =
                c.exit == 3 ? std::vector<std::string>{"start", "error", "summary"}
                            : std::vector<std::string>{"error"};
            ASSERT_EQ(names, shape) << r.out;
            EXPECT_EQ(EventsNamed(events, "error")[0].at("reason"), c.exit == 3 ? "port" : "file");
            if (c.exit == 3) {
                EXPECT_EQ(events.back().at("exit"), "3");
            }
        }
    }
    EXPECT_TRUE(head->Report().commands.empty()) << "nothing went on the line";
}

// --- Output that cannot be written: the head still takes the image, the run says so and fails

TEST_F(CliRun, OutputThatCannotBeWrittenIsToldAndTheHeadStillTakesTheImage) {
#ifdef KAVLET_FLASH_UNDER_WINE
    GTEST_SKIP() << "Wine's standard output is a Windows handle, not /dev/full";
#endif
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--json"}, {}}) {
        const Bytes image = RandomImage(5000, 21);
        StartHead(1, head::PelcoProtocol::PelcoD, 2400, image.size());
        auto child = cli_test::StartFlash(Arguments("1", WriteImage(image), options), "/dev/full");
        ASSERT_TRUE(child.Started());
        const ChildResult r = child.Wait(kRunLimit);
        EXPECT_EQ(r.exitStatus, 5) << r.err;
        EXPECT_TRUE(
            r.err.ends_with("kavlet-flash: could not write the output: No space left on device.\n"))
            << r.err;
        EXPECT_EQ(head->Report().finishedImage, image);
        head->Stop();
    }
}

// --- Whole transfers

struct TransferCase {
    const char* name;
    head::PelcoProtocol protocol;
    std::uint32_t speed;
    std::size_t size;
    std::vector<std::string> options;
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class CliTransfer : public CliRun, public testing::WithParamInterface<TransferCase> {};

TEST_P(CliTransfer, TheHeadHoldsTheFileAndTheOperatorIsToldItIsDone) {
    const TransferCase& c = GetParam();
    const Bytes image = RandomImage(c.size, 5);
    StartHead(9, c.protocol, c.speed, c.size);
    std::vector<std::string> options = c.options;
    options.insert(options.end(),
                   {"--protocol", c.protocol == head::PelcoProtocol::PelcoD ? "pelco-d" : "pelco-p",
                    "--speed", std::to_string(c.speed)});
    const ChildResult r = cli_test::RunFlash(Arguments("9", WriteImage(image), options), kRunLimit);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_FALSE(Contains(r.err, "kavlet-flash:")) << "no error: " << r.err;
    ExpectPlain(r);

    const head::HeadReport report = head->Report();
    EXPECT_EQ(report.finishedImage, image);
    EXPECT_EQ(report.frames, FramesFor(c.size));
    ASSERT_EQ(report.commands.size(), 1u);
    EXPECT_TRUE(report.commands[0].accepted);
    EXPECT_EQ(report.commands[0].lineSpeed, c.speed);
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();

    const bool json = std::find(c.options.begin(), c.options.end(), "--json") != c.options.end();
    const bool quiet = std::find(c.options.begin(), c.options.end(), "--quiet") != c.options.end();
    if (json) {
        const auto events = JsonEvents(r.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front().at("event"), "start");
        EXPECT_EQ(events.front().at("size"), std::to_string(c.size));
        EXPECT_EQ(events.front().at("frames"), std::to_string(FramesFor(c.size)));
        const std::uint8_t protocolIndex = c.protocol == head::PelcoProtocol::PelcoD
                                               ? PROTOCOL_INDEX_PELCO_D
                                               : PROTOCOL_INDEX_PELCO_P;
        ASSERT_EQ(EventsNamed(events, "command").size(), 1u);
        EXPECT_EQ(EventsNamed(events, "command")[0].at("bytes"),
                  Hex(BuildStartUpgradeFrame(9, protocolIndex)));
        EXPECT_EQ(EventsNamed(events, "connected").size(), 1u);
        const auto frames = EventsNamed(events, "frame");
        ASSERT_EQ(frames.size(), FramesFor(c.size));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].at("address"), "9");
            EXPECT_EQ(frames[i].at("index"), std::to_string(i));
            EXPECT_EQ(frames[i].at("load_address"), std::to_string(0x20000 + 4096 * i));
            EXPECT_EQ(frames[i].at("bytes"),
                      std::to_string(std::min<std::size_t>(4096, c.size - 4096 * i)));
        }
        EXPECT_EQ(EventsNamed(events, "accepted").size(), FramesFor(c.size));
        EXPECT_EQ(EventsNamed(events, "done").size(), 1u);
        EXPECT_EQ(events.back().at("event"), "summary");
        EXPECT_EQ(events.back().at("exit"), "0");
        EXPECT_TRUE(Contains(events.back().at("heads"), "{\"address\":9,\"result\":\"done\""));
    } else if (quiet) {
        EXPECT_FALSE(Contains(r.out, "sent")) << r.out;
        EXPECT_FALSE(Contains(r.out, "accepted")) << r.out;
        EXPECT_TRUE(
            text_pattern::Found(r.out, "\n9 +done +" + std::to_string(FramesFor(c.size)) + " +0 "))
            << r.out;
    } else {
        EXPECT_TRUE(Contains(r.out, "head 9: connected")) << r.out;
        EXPECT_TRUE(Contains(r.out, "head 9: frame 0 sent (load address 0x00020000")) << r.out;
        EXPECT_TRUE(Contains(
            r.out, "head 9: done, " + std::to_string(FramesFor(c.size)) + " frames, 0 resends"))
            << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, CliTransfer,
    testing::Values(
        TransferCase{"PelcoD2400OneByte", head::PelcoProtocol::PelcoD, 2400, 1, {}},
        TransferCase{"PelcoP9600OneBlock", head::PelcoProtocol::PelcoP, 9600, 4096, {}},
        TransferCase{
            "PelcoD2400OneByteMoreJson", head::PelcoProtocol::PelcoD, 2400, 4097, {"--json"}},
        TransferCase{
            "PelcoP9600OneByteMoreQuiet", head::PelcoProtocol::PelcoP, 9600, 4097, {"--quiet"}}),
    [](const auto& row) { return std::string(row.param.name); });

// --- A troubled head: the run ends with the right reason, never a false success

struct FaultCase {
    const char* name;
    std::size_t size;
    head::HeadFaults faults;
    std::vector<std::string> options;
    int exit;                // kEither: success only with the image whole at the head, or told
    const char* reason;      // "" for success
    const char* message;     // on stderr, or in the plain output for a success
    std::uint32_t pace = 0;  // the head reads no faster than a line of this speed
};

constexpr int kEither = -1;

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

head::HeadFaults Faults(const std::function<void(head::HeadFaults&)>& set) {
    head::HeadFaults faults;
    set(faults);
    return faults;
}

class CliFault : public CliRun, public testing::WithParamInterface<FaultCase> {};

TEST_P(CliFault, TheRunEndsForTheRightReason) {
    const FaultCase& c = GetParam();
    const Bytes image = RandomImage(c.size, 3);
    StartHead(1, head::PelcoProtocol::PelcoD, 2400, c.size, c.faults, c.pace);
    std::vector<std::string> options = AnswerWait(std::string(c.reason) == "no-answer");
    options.insert(options.end(), c.options.begin(), c.options.end());
    const ChildResult r = cli_test::RunFlash(Arguments("1", WriteImage(image), options), kRunLimit);
    ExpectPlain(r);
    const head::HeadReport report = head->Report();
    if (c.exit == kEither) {
        // The head has the image complete before it says done.
        if (r.exitStatus == 0) {
            EXPECT_EQ(report.finishedImage, image) << "a false success\n" << r.out;
        } else {
            EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
            EXPECT_TRUE(Contains(r.err, "kavlet-flash: head 1 ")) << r.err;
            EXPECT_FALSE(Contains(r.out, "head 1: done")) << r.out;
        }
        return;
    }
    EXPECT_EQ(r.exitStatus, c.exit) << r.out << r.err;
    const bool json = std::find(c.options.begin(), c.options.end(), "--json") != c.options.end();
    if (c.exit == 0) {
        EXPECT_EQ(report.finishedImage, image);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(Contains(r.out, c.message)) << r.out;
        return;
    }
    EXPECT_NE(report.finishedImage, image) << "the head must not hold the image";
    const auto lines = Lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "kavlet-flash: " + std::string(c.message) + " (" + c.reason + ")");
    if (json) {
        const auto events = JsonEvents(r.out);
        const auto failed = EventsNamed(events, "failed");
        ASSERT_EQ(failed.size(), 1u) << r.out;
        EXPECT_EQ(failed[0].at("reason"), c.reason);
        EXPECT_EQ(failed[0].at("address"), "1");
        EXPECT_TRUE(EventsNamed(events, "done").empty());
        EXPECT_TRUE(Contains(events.back().at("heads"), "\"reason\":\"" + std::string(c.reason)));
    } else {
        EXPECT_EQ(lines.size(), 1u) << r.err;
        EXPECT_TRUE(text_pattern::Found(r.out, "\n1 +failed \\(" + std::string(c.reason) + "\\)"))
            << r.out;
    }
}

// The program's own rows: exit status, the sentence on stderr, the JSON events. What a head's
// other answers (checksum errors with and without resends, 86, 84 too early, 82 for 84, never
// done) make of a run is in CliMemoryRun (cli_unit_test.cpp), in this process.
INSTANTIATE_TEST_SUITE_P(
    Faults, CliFault,
    testing::Values(
        FaultCase{"SilentGreeting",
                  5000,
                  Faults([](auto& f) { f.silentFrom = head::kGreetingPoint; }),
                  {},
                  1,
                  "no-answer",
                  "head 1 did not answer the greeting within 2 s (is a head with this address on "
                  "the line, with pelco-d at 2400 baud?)."},
        FaultCase{"SilentFromFrame2",
                  10000,
                  Faults([](auto& f) { f.silentFrom = 2; }),
                  {"--json"},
                  1,
                  "no-answer",
                  "head 1 did not answer frame 1 within 2 s."},
        FaultCase{"TimedOut87",
                  10000,
                  Faults([](auto& f) {
                      f.failAt = 1;
                      f.failCode = 0x87;
                  }),
                  {"--json"},
                  1,
                  "head-timeout",
                  "head 1 answered 87: the upgrade timed out in the head at block 0."},
        FaultCase{"BlockOkEchoedOnAPacedLine",
                  10000,
                  Faults([](auto& f) {
                      f.echoFrame = 1;
                      f.echoDelay = 50ms;
                  }),
                  {},
                  kEither,
                  "",
                  "",
                  115200}),
    [](const auto& row) { return std::string(row.param.name); });

// --- Several addresses on a line with one head: the others go unanswered

TEST_F(CliRun, AListWithOneHeadPresentUpgradesThatHeadAndNamesTheSilentOnes) {
    const Bytes image = RandomImage(5000, 11);
    StartHead(1, head::PelcoProtocol::PelcoD, 2400, image.size());
    // The head present comes last: once in its loader, the virtual head answers any greeting.
    const ChildResult r =
        cli_test::RunFlash(Arguments("2,3,1", WriteImage(image), AnswerWait(true)), kRunLimit);
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    ExpectPlain(r);
    EXPECT_EQ(head->Report().finishedImage, image);
    const auto errors = Lines(r.err);
    ASSERT_EQ(errors.size(), 2u) << r.err;
    EXPECT_TRUE(Contains(errors[0], "head 2 did not answer the greeting within 2 s")) << errors[0];
    EXPECT_TRUE(Contains(errors[1], "head 3 did not answer the greeting within 2 s")) << errors[1];
    EXPECT_TRUE(text_pattern::Found(r.out,
                                    "address +result +frames +resends +time\n"
                                    "2 +failed \\(no-answer\\) +0 +0 +[0-9.]+s\n"
                                    "3 +failed \\(no-answer\\) +0 +0 +[0-9.]+s\n"
                                    "1 +done +2 +0 +[0-9.]+s\n$"))
        << r.out;
    const auto commands = head->Report().commands;
    ASSERT_EQ(commands.size(), 3u) << "one start-upgrade command for each address";
    EXPECT_FALSE(commands[0].accepted);
    EXPECT_FALSE(commands[1].accepted);
    EXPECT_TRUE(commands[2].accepted);
}

// --- Several heads on one line: each addressed in turn, one failing leaves the others upgraded

struct BusHead {
    unsigned address;
    head::PelcoProtocol protocol;
    std::uint32_t speed;
    std::function<void(head::HeadFaults&)> faults = {};
};

struct BusCase {
    const char* name;
    std::vector<BusHead> heads;  // on the line; those not named by --address stand by
    const char* addresses;       // as given to --address
    std::vector<std::string> options;
    int exit;
    // A row a head named, in the order given: "" for done, else the reason it failed.
    std::vector<std::pair<unsigned, std::string>> results;
};

void PrintTo(const BusCase& c, std::ostream* os) {
    *os << c.name;
}

class CliBus : public testing::TestWithParam<BusCase> {
  protected:
    void TearDown() override {
        if (bus) bus->Stop();
    }
    TempDir folder{"kavlet-cli-bus"};
    LinePorts ports;
    std::unique_ptr<head::VirtualBus> bus;
    std::optional<WaitBreaker> breaker;  // a broken frame or handshake ends a run at once
};

constexpr std::size_t kBusImageSize = 5000;  // two frames a head

TEST_P(CliBus, EveryHeadNamedIsUpgradedInTurnAndTheSummaryTellsEachOnesResult) {
    const BusCase& c = GetParam();
    const Bytes image = RandomImage(kBusImageSize, 17);
    std::vector<head::HeadOptions> heads;
    for (const BusHead& h : c.heads) {
        head::HeadOptions options;
        options.address = h.address;
        options.protocol = h.protocol;
        options.speed = h.speed;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = kBusImageSize;
        if (h.faults) h.faults(options.faults);
        heads.push_back(options);
    }
    std::string error;
    bus = head::VirtualBus::CreatePty(heads, &error);
    ASSERT_TRUE(bus) << error;
    breaker.emplace(ToolFaultProbe(*bus));
    bus->Start();
    // Every head named shares the protocol and speed of the first one named.
    const unsigned first = c.results.front().first;
    const auto named = std::find_if(c.heads.begin(), c.heads.end(),
                                    [&](const BusHead& h) { return h.address == first; });
    ASSERT_NE(named, c.heads.end());
    std::vector<std::string> arguments = {
        "--port",     ports.For(bus->SlavePath()),
        "--address",  c.addresses,
        "--protocol", named->protocol == head::PelcoProtocol::PelcoD ? "pelco-d" : "pelco-p",
        "--speed",    std::to_string(named->speed)};
    const bool silence = std::any_of(c.results.begin(), c.results.end(),
                                     [](const auto& row) { return row.second == "no-answer"; });
    const std::vector<std::string> wait = AnswerWait(silence);
    arguments.insert(arguments.end(), wait.begin(), wait.end());
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const std::string path = folder.File("firmware.bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    arguments.push_back(path);
    const ChildResult r = cli_test::RunFlash(arguments, kRunLimit);
    EXPECT_EQ(r.exitStatus, c.exit) << r.out << r.err;
    ExpectPlain(r);

    // What each head holds.
    const std::string sha = head::Sha256::HexOf(image);
    for (const BusHead& h : c.heads) {
        SCOPED_TRACE("head " + std::to_string(h.address));
        const head::HeadReport report = bus->Report(h.address);
        const auto row = std::find_if(c.results.begin(), c.results.end(),
                                      [&](const auto& x) { return x.first == h.address; });
        const bool answeredDone = std::count(report.answers.begin(), report.answers.end(), 0x84);
        if (row == c.results.end()) {
            EXPECT_TRUE(std::none_of(report.commands.begin(), report.commands.end(),
                                     [](const auto& command) { return command.accepted; }))
                << "a head not named stays in normal operation";
            EXPECT_TRUE(report.answers.empty());
            EXPECT_TRUE(report.finishedImage.empty());
        } else if (row->second.empty()) {
            EXPECT_EQ(report.sha256, sha);
            EXPECT_EQ(report.finishedImage, image);
            EXPECT_EQ(report.framesAccepted, FramesFor(kBusImageSize));
            EXPECT_TRUE(answeredDone);
        } else {
            EXPECT_FALSE(answeredDone) << "a head reported failed never said done";
        }
    }
    EXPECT_EQ(bus->Collisions(), 0u) << bus->SummaryText();

    // One sentence on stderr a failed head, with its reason; none for a head that is done.
    const bool json = std::find(c.options.begin(), c.options.end(), "--json") != c.options.end();
    std::vector<std::string> errors;
    for (const std::string& line : Lines(r.err))
        if (line.rfind("kavlet-flash: ", 0) == 0) errors.push_back(line);
    std::size_t nextError = 0;
    std::string table = "address +result +frames +resends +time\n";
    for (const auto& [address, reason] : c.results) {
        const std::string a = std::to_string(address);
        if (reason.empty()) {
            table += a + " +done +" + std::to_string(FramesFor(kBusImageSize)) + " +0 +[0-9.]+s\n";
            continue;
        }
        table += a + " +failed \\(" + reason + "\\) +[0-9]+ +[0-9]+ +[0-9.]+s\n";
        ASSERT_LT(nextError, errors.size()) << r.err;
        const std::string& sentence = errors[nextError++];
        EXPECT_EQ(sentence.rfind("kavlet-flash: head " + a + " ", 0), 0u) << sentence;
        EXPECT_TRUE(sentence.ends_with(" (" + reason + ")")) << sentence;
    }
    EXPECT_EQ(nextError, errors.size()) << r.err;
    // The table ends the output: stdout's, or stderr's with --json.
    EXPECT_TRUE(text_pattern::Found(json ? r.err : r.out, table + "$")) << (json ? r.err : r.out);
    if (!json) {
        for (const auto& [address, reason] : c.results)
            EXPECT_EQ(Contains(r.out, "head " + std::to_string(address) + ": done, "),
                      reason.empty())
                << r.out;
        return;
    }

    // --json: every event of a head carries its address, the heads come one after another in
    // the order given, each from its command to its done or failed.
    const auto events = JsonEvents(r.out);
    ASSERT_GE(events.size(), 2u) << r.out;
    EXPECT_EQ(events.front().at("event"), "start");
    EXPECT_EQ(events.back().at("event"), "summary");
    EXPECT_EQ(events.back().at("exit"), std::to_string(c.exit));
    std::vector<std::vector<Members>> runs;  // the events of each head, in turn
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        const Members& e = events[i];
        ASSERT_TRUE(e.count("address")) << "no address: " << e.at("event");
        if (runs.empty() || runs.back().front().at("address") != e.at("address"))
            runs.emplace_back();
        runs.back().push_back(e);
    }
    ASSERT_EQ(runs.size(), c.results.size()) << r.out;
    std::string summaryHeads = "\\[";
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const auto& [address, reason] = c.results[k];
        const std::vector<Members>& run = runs[k];
        SCOPED_TRACE("head " + std::to_string(address));
        EXPECT_EQ(run.front().at("address"), std::to_string(address));
        EXPECT_EQ(run.front().at("event"), "command");
        EXPECT_EQ(run.back().at("event"), reason.empty() ? "done" : "failed");
        if (!reason.empty()) {
            EXPECT_EQ(run.back().at("reason"), reason);
        }
        std::vector<std::string> names;
        for (const Members& e : run) names.push_back(e.at("event"));
        if (reason.empty()) {
            EXPECT_EQ(names, (std::vector<std::string>{"command", "connected", "frame", "accepted",
                                                       "frame", "accepted", "done"}));
        }
        summaryHeads += (k ? "," : "") + std::string("\\{\"address\":") + std::to_string(address) +
                        ",\"result\":\"" + (reason.empty() ? "done\"" : "failed\"") +
                        (reason.empty() ? std::string() : ",\"reason\":\"" + reason + "\"") +
                        "[^}]*\\}";
    }
    EXPECT_TRUE(text_pattern::Whole(events.back().at("heads"), summaryHeads + "\\]"))
        << events.back().at("heads");
}

head::PelcoProtocol constexpr kPelcoD = head::PelcoProtocol::PelcoD;
head::PelcoProtocol constexpr kPelcoP = head::PelcoProtocol::PelcoP;

// Three Pelco-D heads at 2400, and a Pelco-P head at 9600 that is never named.
std::vector<BusHead> PelcoDLine(unsigned faulty = 0,
                                std::function<void(head::HeadFaults&)> faults = {}) {
    std::vector<BusHead> heads = {
        {1, kPelcoD, 2400}, {2, kPelcoD, 2400}, {7, kPelcoD, 2400}, {9, kPelcoP, 9600}};
    for (BusHead& h : heads)
        if (h.address == faulty) h.faults = faults;
    return heads;
}

INSTANTIATE_TEST_SUITE_P(
    Heads, CliBus,
    testing::Values(
        BusCase{
            "ThreePelcoDHeadsAllDone", PelcoDLine(), "1,2,7", {}, 0, {{1, ""}, {2, ""}, {7, ""}}},
        BusCase{"ThreePelcoPHeadsInTheOrderGivenJson",
                {{3, kPelcoP, 9600}, {1, kPelcoD, 2400}, {4, kPelcoP, 9600}, {9, kPelcoP, 9600}},
                "9,3,4",
                {"--json"},
                0,
                {{9, ""}, {3, ""}, {4, ""}}},
        BusCase{"MiddleHeadSilentAtTheGreeting",
                PelcoDLine(2, [](auto& f) { f.silentFrom = head::kGreetingPoint; }),
                "1,2,7",
                {},
                1,
                {{1, ""}, {2, "no-answer"}, {7, ""}}},
        BusCase{"MiddleHeadSilentFromFrame2Json",
                PelcoDLine(2, [](auto& f) { f.silentFrom = 2; }),
                "1-2,7",
                {"--json"},
                1,
                {{1, ""}, {2, "no-answer"}, {7, ""}}},
        // A head answering 86 keeps its half image and stays in its loader, where it would
        // answer the next head's greeting too: it comes last.
        BusCase{"LastHeadFailed86",
                PelcoDLine(7, [](auto& f) { f.failAt = 1; }),
                "1,2,7",
                {},
                1,
                {{1, ""}, {2, ""}, {7, "head-failed"}}},
        BusCase{"LastHeadTimedOut87Json",
                PelcoDLine(1,
                           [](auto& f) {
                               f.failAt = 2;
                               f.failCode = 0x87;
                           }),
                "7,2,1",
                {"--json"},
                1,
                {{7, ""}, {2, ""}, {1, "head-timeout"}}}),
    [](const auto& row) { return std::string(row.param.name); });

// --- Interrupted: exit 128 + signal, and where the head stood

TEST_F(CliRun, ASignalStopsAtOnceAndNamesTheLastAcceptedBlock) {
    const struct {
        int signal;
        const char* name;
        int exit;
        bool inHandshake;  // signalled during the handshake's pauses, to a head that never answers
    } cases[] = {{SIGINT, "SIGINT", 130, false},
                 {SIGTERM, "SIGTERM", 143, false},
                 {SIGHUP, "SIGHUP", 129, false},
                 {SIGQUIT, "SIGQUIT", 131, false},
                 {SIGINT, "SIGINT", 130, true}};
    for (const auto& c : cases) {
#ifdef KAVLET_FLASH_UNDER_WINE
        // Wine turns SIGINT into the console's Ctrl-C event, but ends a program on SIGTERM,
        // SIGHUP or SIGQUIT without one; Windows itself has none of them.
        if (c.signal != SIGINT) continue;
#endif
        const Bytes image = RandomImage(40960, 13);
        head::HeadFaults faults;
        if (c.inHandshake) faults.silentFrom = head::kGreetingPoint;
        // Paced as a real line, so that a frame takes a third of a second.
        StartHead(1, head::PelcoProtocol::PelcoD, 2400, image.size(), faults, 115200);
        auto child = cli_test::StartFlash(Arguments("1", WriteImage(image), {"--json"}));
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(head->WaitFor(
            [&](const head::HeadReport& r) {
                return (c.inHandshake ? !r.commands.empty() : r.framesAccepted >= 3) ||
                       tool_fault::Seen(r);
            },
            30s));
        if (WaitBreaker::Broken()) return;
        // The tool sent frame N only after it had seen block N - 2 accepted.
        const unsigned sentAfterSeen = head->Report().frames;
        child.Signal(c.signal);
        const ChildResult r = child.Wait(kRunLimit);
        EXPECT_EQ(r.exitStatus, c.exit) << r.err;
        ExpectPlain(r);
        const unsigned accepted = head->Report().framesAccepted;
        EXPECT_LT(accepted, 10u) << "the transfer stopped";
        const auto events = JsonEvents(r.out);
        const auto failed = EventsNamed(events, "failed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].at("reason"), "interrupted");
        EXPECT_EQ(events.back().at("exit"), std::to_string(c.exit));
        const std::string during =
            "kavlet-flash: interrupted by " + std::string(c.name) + " during head 1: ";
        const std::string released = "; the port " + Port() + " is released.";
        if (c.inHandshake) {
            EXPECT_TRUE(Contains(r.err, during + "head 1 had accepted no block yet" + released))
                << r.err;
            EXPECT_TRUE(EventsNamed(events, "accepted").empty());
            head->Stop();
            continue;
        }
        const auto match = text_pattern::First(
            r.err, during +
                       "the last block head 1 accepted was block ([0-9]+) \\(file "
                       "offset ([0-9]+)\\)");
        ASSERT_FALSE(match.empty()) << r.err;
        EXPECT_TRUE(Contains(r.err, released)) << r.err;
        const unsigned block = std::stoul(match[1]);
        EXPECT_GE(block + 2, sentAfterSeen - 1);
        EXPECT_LT(block, accepted);
        EXPECT_EQ(std::stoul(match[2]), block * 4096);
        const auto acceptedEvents = EventsNamed(events, "accepted");
        ASSERT_FALSE(acceptedEvents.empty());
        EXPECT_EQ(acceptedEvents.back().at("index"), std::to_string(block));
        head->Stop();
    }
}

#ifdef KAVLET_FLASH_UNDER_WINE
// --- --plan under Windows: two COM ports at once, the journal with each image's SHA-256 (from
// Windows' own bcrypt), flushed to the disk, and --resume reading it back

TEST(CliPlanWindows, APlanOverTwoComPortsFlashesBothAndResumeFindsThemDone) {
    TempDir folder("kavlet-plan");
    LinePorts ports;
    const Bytes a = RandomImage(9000, 21), b = RandomImage(14000, 22);
    const std::map<std::string, const Bytes*> images = {{"a.bin", &a}, {"b.bin", &b}};
    for (const auto& [name, image] : images)
        std::ofstream(folder.File(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(image->data()),
                   static_cast<std::streamsize>(image->size()));
    std::vector<std::unique_ptr<head::VirtualHead>> heads;
    std::string plan = "port,address,protocol,speed,image\n";
    for (const auto& [address, name] : {std::pair{3u, "a.bin"}, std::pair{4u, "b.bin"}}) {
        head::HeadOptions options;
        options.address = address;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(images.at(name)->size());
        std::string error;
        auto& h = heads.emplace_back(head::VirtualHead::CreatePty(options, &error));
        ASSERT_TRUE(h) << error;
        h->Start();
        plan += ports.For(h->SlavePath()) + "," + std::to_string(address) + ",pelco-d,2400," +
                name + "\n";
    }
    std::ofstream(folder.File("site.csv")) << plan;
    const std::vector<std::string> arguments = {
        "--plan", folder.File("site.csv"), "--journal", folder.File("site.journal"), "--jobs", "2"};
    const ChildResult r = cli_test::RunFlash(arguments, kRunLimit);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(heads[0]->Report().finishedImage, a);
    EXPECT_EQ(heads[1]->Report().finishedImage, b);
    std::ifstream in(folder.File("site.journal"));
    std::vector<Members> lines;
    for (std::string line; std::getline(in, line);) {
        const auto members = JsonReader::Object(line);
        ASSERT_TRUE(members) << line;
        lines.push_back(*members);
    }
    ASSERT_EQ(lines.size(), 2u);
    for (const Members& line : lines) {
        SCOPED_TRACE(line.at("image"));
        EXPECT_EQ(line.at("result"), "done");
        // The image as the plan's folder makes it: its path ends in the name the plan gives.
        const std::string image = line.at("image");
        const std::string name = image.substr(image.find_last_of("/\\") + 1);
        ASSERT_EQ(images.count(name), 1u);
        EXPECT_EQ(line.at("sha256"), head::Sha256::HexOf(*images.at(name)));
    }
    std::vector<std::string> resume = arguments;
    resume.push_back("--resume");
    const ChildResult again = cli_test::RunFlash(resume, kRunLimit);
    EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
    EXPECT_EQ(text_pattern::Count(again.out, "\n[23] [^\\n]*? skipped \\(done before\\)"), 2u)
        << again.out;
}
#endif

}  // namespace
