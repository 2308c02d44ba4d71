// Several virtual heads on one line (VirtualBus, kavlet-head --bus): who hears what, who
// answers, whose image grows; engine by engine without a line, then on a pseudo-terminal the
// way the tool drives a port, and the command line.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tools/head/HeadCommandLine.h"
#include "tools/head/HeadEngine.h"
#include "tools/head/VirtualBus.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/ResponseCodes.h"

using namespace std::chrono_literals;
using head::HeadOptions;
using head::HeadReport;
using head::HeadState;
using head_test::Bytes;
using head_test::FramesFor;
using head_test::kWait;
using head_test::ToolSide;
using P = head::PelcoProtocol;

namespace {

constexpr std::size_t kImageSize = 5000;  // two frames
constexpr std::uint8_t kD = PROTOCOL_INDEX_PELCO_D;
constexpr std::uint8_t kP = PROTOCOL_INDEX_PELCO_P;

HeadOptions Head(unsigned address, P protocol, std::uint32_t speed,
                 std::function<void(head::HeadFaults&)> faults = {}) {
    HeadOptions options;
    options.address = address;
    options.protocol = protocol;
    options.speed = speed;
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = kImageSize;
    if (faults) faults(options.faults);
    return options;
}

// Heads 1 and 2 (Pelco-D, 2400) and 7 (Pelco-P, 9600).
std::vector<HeadOptions> ThreeHeads() {
    return {Head(1, P::PelcoD, 2400), Head(2, P::PelcoD, 2400), Head(7, P::PelcoP, 9600)};
}

Bytes ImageOf(unsigned seed) {
    return RandomImage(kImageSize, seed);
}

// ---------------------------------------------------------------------------------------------
// Engines side by side, fed the same bytes at the same speed, as on a bus

struct Step {
    std::uint32_t speed;
    std::vector<Bytes> pieces;         // fed one after another
    std::map<unsigned, Bytes> writes;  // what each head writes; the others write nothing
    std::string states;                // after the step, a letter a head: N normal, L loader
};

Step Command(unsigned address, std::uint8_t protocol, std::uint32_t speed, std::string states) {
    return {speed,
            {BuildStartUpgradeFrame(static_cast<std::uint8_t>(address), protocol)},
            {},
            std::move(states)};
}

Step Greeting(std::map<unsigned, Bytes> writes, std::string states) {
    return {UPGRADE_BAUD_RATE, {{0x3F, 0x3F}}, std::move(writes), std::move(states)};
}

// Frames of image seed, by number (a number twice is a resend).
Step Frames(unsigned seed, std::vector<int> numbers, std::map<unsigned, Bytes> writes,
            std::string states) {
    const auto frames = FramesFor(ImageOf(seed));
    std::vector<Bytes> pieces;
    for (const int n : numbers) pieces.emplace_back(frames[n].begin(), frames[n].end());
    return {UPGRADE_BAUD_RATE, std::move(pieces), std::move(writes), std::move(states)};
}

struct BusCase {
    const char* name;
    std::vector<HeadOptions> heads;
    std::vector<Step> steps;
    std::map<unsigned, unsigned> images;  // address -> seed of the image it keeps; others none
};
void PrintTo(const BusCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadBusEngineTest : public testing::TestWithParam<BusCase> {};

TEST_P(HeadBusEngineTest, OnlyTheAddressedHeadAnswers) {
    const BusCase& c = GetParam();
    auto now = head::Clock::time_point{} + 1h;
    std::vector<head::HeadEngine> engines;
    for (HeadOptions options : c.heads) {
        options.leaveLoaderWhenDone = true;  // as VirtualBus sets it
        engines.emplace_back(options, now);
    }
    for (std::size_t s = 0; s < c.steps.size(); ++s) {
        const Step& step = c.steps[s];
        SCOPED_TRACE(testing::Message() << "step " << s);
        std::map<unsigned, Bytes> writes;
        for (const Bytes& piece : step.pieces) {
            for (std::size_t i = 0; i < engines.size(); ++i) {
                engines[i].Receive(piece, step.speed, now);
                engines[i].Advance(now);
                const Bytes out = engines[i].TakeDueOutput(now);
                if (!out.empty()) {
                    Bytes& to = writes[c.heads[i].address];
                    to.insert(to.end(), out.begin(), out.end());
                }
            }
            now += 1ms;
        }
        EXPECT_EQ(writes, step.writes);
        std::string states;
        for (const auto& engine : engines) {
            states += engine.Report().state == HeadState::Loader ? 'L' : 'N';
        }
        EXPECT_EQ(states, step.states);
    }
    for (std::size_t i = 0; i < engines.size(); ++i) {
        const HeadReport& report = engines[i].Report();
        const auto image = c.images.find(c.heads[i].address);
        SCOPED_TRACE(testing::Message() << "head " << c.heads[i].address);
        if (image == c.images.end()) {
            EXPECT_EQ(report.imagesCompleted, 0u);
        } else {
            EXPECT_EQ(report.finishedImage, ImageOf(image->second));
        }
    }
}

const Bytes k82_84 = {RSP_BLOCK_OK, RSP_DONE};
const Bytes k80 = {RSP_CONNECTED};

INSTANTIATE_TEST_SUITE_P(
    Head, HeadBusEngineTest,
    testing::Values(
        BusCase{"TwoThenSevenThenTwoAgain",
                ThreeHeads(),
                {Command(2, kD, 2400, "NLN"), Greeting({{2, k80}}, "NLN"),
                 Frames(1, {0, 1}, {{2, k82_84}}, "NLN"),
                 // Bytes at 9600: head 2's image is complete, so its loader ends.
                 Command(7, kP, 9600, "NNL"), Greeting({{7, k80}}, "NNL"),
                 Frames(2, {0, 1}, {{7, k82_84}}, "NNL"), Command(2, kD, 2400, "NLN"),
                 Greeting({{2, k80}}, "NLN")},
                {{2, 1}, {7, 2}}},
        BusCase{"NeighboursAtOneSpeed",
                ThreeHeads(),
                {Command(1, kD, 2400, "LNN"), Greeting({{1, k80}}, "LNN"),
                 Frames(3, {0, 1}, {{1, k82_84}}, "LNN"), Command(2, kD, 2400, "NLN"),
                 Greeting({{2, k80}}, "NLN"), Frames(4, {0, 1}, {{2, k82_84}}, "NLN")},
                {{1, 3}, {2, 4}}},
        BusCase{"WrongSpeedProtocolOrAddressWakesNobody",
                ThreeHeads(),
                {Command(2, kD, 9600, "NNN"), Command(2, kP, 2400, "NNN"),
                 Command(2, kD, UPGRADE_BAUD_RATE, "NNN"), Command(7, kD, 9600, "NNN"),
                 Command(7, kP, 2400, "NNN"), Command(3, kD, 2400, "NNN"), Greeting({}, "NNN"),
                 Frames(5, {0, 1}, {}, "NNN")},
                {}},
        // Loader traffic is at its own speed: it only ever hears its own start-upgrade command.
        BusCase{"HeadAt115200HearsOnlyItsOwnCommand",
                {Head(1, P::PelcoD, 2400), Head(3, P::PelcoD, UPGRADE_BAUD_RATE)},
                {Greeting({}, "NN"), Command(1, kD, 2400, "LN"), Greeting({{1, k80}}, "LN"),
                 Frames(6, {0, 1}, {{1, k82_84}}, "LN"),
                 Command(3, kD, UPGRADE_BAUD_RATE, "NL"),  // ends head 1's loader as well
                 Greeting({{3, k80}}, "NL"), Frames(7, {0, 1}, {{3, k82_84}}, "NL")},
                {{1, 6}, {3, 7}}},
        BusCase{"IncompleteImageKeepsItsLoader",
                ThreeHeads(),
                {Command(2, kD, 2400, "NLN"), Greeting({{2, k80}}, "NLN"),
                 Frames(8, {0}, {{2, {RSP_BLOCK_OK}}}, "NLN"), Command(7, kP, 9600, "NLL"),
                 Greeting({{2, k80}, {7, k80}}, "NLL")},  // two answers: they collide
                {}},
        BusCase{"FaultsActOnTheirHeadOnly",
                {Head(1, P::PelcoD, 2400), Head(2, P::PelcoD, 2400),
                 Head(7, P::PelcoP, 9600, [](head::HeadFaults& f) { f.rejectFrame = 1; })},
                {Command(2, kD, 2400, "NLN"), Greeting({{2, k80}}, "NLN"),
                 Frames(9, {0, 1}, {{2, k82_84}}, "NLN"), Command(7, kP, 9600, "NNL"),
                 Greeting({{7, k80}}, "NNL"),
                 Frames(10, {0, 0, 1}, {{7, {RSP_CHECKSUM_ERROR, RSP_BLOCK_OK, RSP_DONE}}}, "NNL")},
                {{2, 9}, {7, 10}}}),
    [](const testing::TestParamInfo<BusCase>& param) { return param.param.name; });

// ---------------------------------------------------------------------------------------------
// On a pseudo-terminal: the tool upgrades heads one after another

// One upgrade as the tool does it: the command at the head's speed, then at 115200 the greeting
// and the frames, a frame sent again after a checksum error.
struct Job {
    unsigned address;
    std::uint8_t protocol;
    std::uint32_t speed;
    unsigned seed;
    Bytes answers;  // the greeting's, then each frame's
    std::function<void(head::HeadFaults&)> faultsSetBefore = {};
};

struct BusRun {
    const char* name;
    std::vector<HeadOptions> heads;
    std::vector<Job> jobs;
};
void PrintTo(const BusRun& c, std::ostream* os) {
    *os << c.name;
}

class BusTest : public testing::Test {
  protected:
    void StartBus(std::vector<HeadOptions> heads) {
        std::string error;
        bus_ = head::VirtualBus::CreatePty(std::move(heads), &error);
        ASSERT_TRUE(bus_) << error;
        bus_->Start();
        tool_ = std::make_unique<ToolSide>(bus_->SlavePath(), UPGRADE_BAUD_RATE);
        ASSERT_TRUE(tool_->IsOpen());
    }

    // Waits until every head has read count bytes from the line.
    bool AllRead(std::uint64_t count) {
        for (const unsigned address : bus_->Addresses()) {
            if (!bus_->WaitFor(
                    address, [&](const HeadReport& r) { return r.bytesReceived == count; },
                    kWait)) {
                return false;
            }
        }
        return true;
    }

    // Runs a job; returns the answers the tool read.
    Bytes Upgrade(const Job& job) {
        if (job.faultsSetBefore) {
            head::HeadFaults faults;
            job.faultsSetBefore(faults);
            bus_->SetFaults(job.address, faults);
        }
        EXPECT_TRUE(tool_->SetSpeed(job.speed));
        EXPECT_TRUE(tool_->Send(
            BuildStartUpgradeFrame(static_cast<std::uint8_t>(job.address), job.protocol)));
        EXPECT_TRUE(bus_->WaitFor(
            job.address, [](const HeadReport& r) { return r.state == HeadState::Loader; }, kWait));
        EXPECT_TRUE(tool_->SetSpeed(UPGRADE_BAUD_RATE));
        EXPECT_TRUE(tool_->Send({0x3F, 0x3F}));
        Bytes answers = tool_->Read(1);
        const auto frames = FramesFor(ImageOf(job.seed));
        for (std::size_t n = 0, sent = 0; n < frames.size() && sent < 6; ++sent) {
            EXPECT_TRUE(tool_->Send(frames[n]));
            const Bytes answer = tool_->Read(1);
            if (answer.empty()) break;
            answers.push_back(answer[0]);
            if (answer[0] != RSP_CHECKSUM_ERROR) ++n;
        }
        return answers;
    }

    std::unique_ptr<head::VirtualBus> bus_;
    std::unique_ptr<ToolSide> tool_;
};

class HeadBusRunTest : public BusTest, public testing::WithParamInterface<BusRun> {};

TEST_P(HeadBusRunTest, EachHeadKeepsItsOwnImage) {
    const BusRun& c = GetParam();
    StartBus(c.heads);
    std::map<unsigned, unsigned> seeds;
    std::map<unsigned, unsigned> greetings;
    for (const Job& job : c.jobs) {
        SCOPED_TRACE(testing::Message() << "head " << job.address);
        EXPECT_EQ(Upgrade(job), job.answers);
        seeds[job.address] = job.seed;
        ++greetings[job.address];
        for (const unsigned other : bus_->Addresses()) {
            if (other == job.address) continue;
            EXPECT_NE(bus_->Report(other).state, HeadState::Loader) << "head " << other;
        }
    }
    EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
    EXPECT_EQ(bus_->Collisions(), 0u);
    for (const unsigned address : bus_->Addresses()) {
        SCOPED_TRACE(testing::Message() << "head " << address);
        const HeadReport report = bus_->Report(address);
        EXPECT_EQ(report.greetings, greetings[address]);
        EXPECT_TRUE(report.problems.empty()) << report.problems.front();
        if (seeds.count(address)) {
            EXPECT_EQ(report.finishedImage, ImageOf(seeds[address]));
        } else {
            EXPECT_TRUE(report.answers.empty());
            EXPECT_TRUE(report.image.empty());
            EXPECT_EQ(report.state, HeadState::Normal);
        }
    }
    const std::string summary = bus_->SummaryText();
    for (const HeadOptions& h : c.heads) {
        EXPECT_NE(summary.find("head " + std::to_string(h.address) + " ("), std::string::npos);
    }
    EXPECT_NE(summary.find(std::to_string(c.jobs.size()) + " images complete"), std::string::npos)
        << summary;
}

const Bytes kClean = {RSP_CONNECTED, RSP_BLOCK_OK, RSP_DONE};
const Bytes kRejectedFirst = {RSP_CONNECTED, RSP_CHECKSUM_ERROR, RSP_BLOCK_OK, RSP_DONE};
const Bytes kRejectedSecond = {RSP_CONNECTED, RSP_BLOCK_OK, RSP_CHECKSUM_ERROR, RSP_DONE};

INSTANTIATE_TEST_SUITE_P(
    Head, HeadBusRunTest,
    testing::Values(
        BusRun{
            "TwoThenSeven", ThreeHeads(), {{2, kD, 2400, 11, kClean}, {7, kP, 9600, 12, kClean}}},
        BusRun{"SevenTwoOneThenTwoAgain",
               ThreeHeads(),
               {{7, kP, 9600, 13, kClean},
                {2, kD, 2400, 14, kClean},
                {1, kD, 2400, 15, kClean},
                {2, kD, 2400, 16, kClean}}},
        BusRun{"HeadAt115200AfterAnother",
               {Head(1, P::PelcoD, 2400), Head(3, P::PelcoP, UPGRADE_BAUD_RATE)},
               {{1, kD, 2400, 17, kClean}, {3, kP, UPGRADE_BAUD_RATE, 18, kClean}}},
        BusRun{"FaultGivenToTwoOnly",
               {Head(1, P::PelcoD, 2400),
                Head(2, P::PelcoD, 2400, [](head::HeadFaults& f) { f.rejectFrame = 2; }),
                Head(7, P::PelcoP, 9600)},
               {{7, kP, 9600, 19, kClean}, {2, kD, 2400, 20, kRejectedSecond}}},
        BusRun{"FaultSetOnSevenWhileRunning",
               ThreeHeads(),
               {{2, kD, 2400, 21, kClean},
                {7, kP, 9600, 22, kRejectedFirst, [](head::HeadFaults& f) { f.rejectFrame = 1; }},
                {1, kD, 2400, 23, kClean}}}),
    [](const testing::TestParamInfo<BusRun>& param) { return param.param.name; });

TEST_F(BusTest, CommandsThatWakeNobody) {
    StartBus(ThreeHeads());
    struct Row {
        unsigned address;
        std::uint8_t protocol;
        std::uint32_t speed;
    };
    const Row rows[] = {
        {2, kD, 9600},               // head 2's command at head 7's speed
        {2, kP, 2400},               // in the other protocol
        {2, kD, UPGRADE_BAUD_RATE},  // at the loader's speed
        {7, kD, 9600},
        {7, kP, 2400},
        {4, kD, 2400},  // no such head
    };
    std::uint64_t sent = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.address << " at " << row.speed);
        const Bytes command =
            BuildStartUpgradeFrame(static_cast<std::uint8_t>(row.address), row.protocol);
        ASSERT_TRUE(tool_->SetSpeed(row.speed));
        ASSERT_TRUE(tool_->Send(command));
        sent += command.size();
        ASSERT_TRUE(AllRead(sent));
        for (const unsigned address : bus_->Addresses()) {
            EXPECT_EQ(bus_->Report(address).state, HeadState::Normal) << "head " << address;
        }
    }
    ASSERT_TRUE(tool_->SetSpeed(UPGRADE_BAUD_RATE));
    ASSERT_TRUE(tool_->Send({0x3F, 0x3F}));
    ASSERT_TRUE(AllRead(sent + 2));
    EXPECT_TRUE(tool_->ReadUntilQuiet().empty());
    for (const unsigned address : bus_->Addresses()) {
        EXPECT_TRUE(bus_->Report(address).answers.empty()) << "head " << address;
    }
}

// ---------------------------------------------------------------------------------------------
// The command line

struct BusLineCase {
    std::vector<std::string> args;
    // address, protocol, speed, rejectFrame, withholdDone: one a head
    std::vector<std::tuple<unsigned, P, std::uint32_t, unsigned, bool>> heads;
};

TEST(HeadBusCommandLine, ParsesTheBusAndEachHeadsFaults) {
    const BusLineCase cases[] = {
        {{"--bus", "1:pelco-d:2400,2:pelco-d:2400,7:pelco-p:9600"},
         {{1, P::PelcoD, 2400, 0, false},
          {2, P::PelcoD, 2400, 0, false},
          {7, P::PelcoP, 9600, 0, false}}},
        {{"--bus=255:P:115200"}, {{255, P::PelcoP, 115200, 0, false}}},
        {{"--bus", "1:d:2400,2:d:2400", "--head", "2", "--reject-frame", "2"},
         {{1, P::PelcoD, 2400, 0, false}, {2, P::PelcoD, 2400, 2, false}}},
        {{"--bus", "1:d:2400,7:p:9600", "--head=7", "--no-done", "--reject-frame=3", "--head", "1",
          "--reject-frame", "1", "--quiet"},
         {{1, P::PelcoD, 2400, 1, false}, {7, P::PelcoP, 9600, 3, true}}},
    };
    for (const BusLineCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        head::HeadCommandLine line;
        std::string error;
        ASSERT_TRUE(head::ParseHeadCommandLine(c.args, &line, &error)) << error;
        ASSERT_EQ(line.bus.size(), c.heads.size());
        for (std::size_t i = 0; i < c.heads.size(); ++i) {
            const auto& [address, protocol, speed, rejectFrame, withholdDone] = c.heads[i];
            EXPECT_EQ(line.bus[i].address, address);
            EXPECT_EQ(line.bus[i].protocol, protocol);
            EXPECT_EQ(line.bus[i].speed, speed);
            EXPECT_EQ(line.bus[i].faults.rejectFrame, rejectFrame);
            EXPECT_EQ(line.bus[i].faults.withholdDone, withholdDone);
        }
    }
    for (const char* name : {"--bus", "--head"}) {
        EXPECT_NE(head::HeadUsage().find(name), std::string::npos) << name;
    }
}

TEST(HeadBusCommandLine, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> wrong = {
        {"--bus", ""},
        {"--bus", "1:d:2400,1:p:9600"},  // one address twice
        {"--bus", "0:d:2400"},
        {"--bus", "256:d:2400"},
        {"--bus", "1:visca:2400"},
        {"--bus", "1:d:0"},
        {"--bus", "1:d"},
        {"--bus", "1:d:2400:5"},
        {"--bus", "1:d:2400,"},
        {"--bus", "1:d:2400", "--address", "3"},
        {"--bus", "1:d:2400", "--speed", "9600"},
        {"--bus", "1:d:2400", "--loader"},
        {"--bus", "1:d:2400", "--attach", "/dev/null"},
        {"--bus", "1:d:2400", "--reject-frame", "2"},  // a fault without its head
        {"--bus", "1:d:2400", "--head", "2", "--no-done"},
        {"--bus", "1:d:2400", "--head", "x"},
        {"--bus", "1:d:2400", "--head"},
        {"--bus", "1:d:2400", "--head", "1", "--no-done", "--head", "1", "--no-done"},
        {"--bus", "1:d:2400", "--head", "1", "--reject-code", "82"},
        {"--head", "1", "--no-done"},  // no bus
    };
    for (const auto& args : wrong) {
        head::HeadCommandLine line;
        std::string error;
        EXPECT_FALSE(head::ParseHeadCommandLine(args, &line, &error))
            << testing::PrintToString(args);
        EXPECT_FALSE(error.empty());
    }
}

TEST(HeadBusCommandLine, OutputPathTakesTheAddress) {
    const std::pair<std::string, std::string> rows[] = {
        {"out.bin", "out-7.bin"},
        {"/tmp/a.d/out", "/tmp/a.d/out-7"},
        {"dir/fw.tar.gz", "dir/fw.tar-7.gz"},
    };
    for (const auto& [path, expected] : rows) EXPECT_EQ(head::BusOutputPath(path, 7), expected);
}

// The line's settings reach every head, and each writes its own file.
TEST_F(BusTest, OutputWritesOneFileAHead) {
    const TempDir folder("kavlet-bus-test");
    head::HeadCommandLine line;
    std::string error;
    ASSERT_TRUE(head::ParseHeadCommandLine(
        {"--bus", "1:d:2400,2:d:2400,7:p:9600", "--output", folder.File("out.bin"), "--expect-size",
         std::to_string(kImageSize)},
        &line, &error))
        << error;
    StartBus(line.bus);
    EXPECT_EQ(Upgrade({7, kP, 9600, 31, kClean}), kClean);
    EXPECT_EQ(Upgrade({1, kD, 2400, 32, kClean}), kClean);

    auto read = [&](const std::string& name) {
        std::ifstream in(folder.File(name), std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(read("out-7.bin"), ImageOf(31));
    EXPECT_EQ(read("out-1.bin"), ImageOf(32));
    EXPECT_FALSE(std::filesystem::exists(folder.File("out-2.bin")));
    EXPECT_FALSE(std::filesystem::exists(folder.File("out.bin")));
}

}  // namespace
