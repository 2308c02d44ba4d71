// The virtual camera head: its own checks cross-checked against the tool's frame builders, and
// its behaviour on a pseudo-terminal driven from the tool's side the way the tool drives a port.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialLine.h"
#include "tests/support/PseudoTerminal.h"
#include "tools/head/HeadCommandLine.h"
#include "tools/head/HeadEngine.h"
#include "tools/head/HeadProtocol.h"
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
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kWait = 10s;  // every wait is bounded; generous for a loaded machine
constexpr auto kQuiet = 300ms;

Bytes MakeImage(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes image(size);
    for (auto& b : image) b = static_cast<std::uint8_t>(random());
    return image;
}

// The frames the tool sends for an image, built by the tool's own code.
std::vector<FirmwareFrame> FramesFor(const Bytes& image) {
    std::vector<FirmwareFrame> frames;
    const auto size = static_cast<std::int32_t>(image.size());
    std::int32_t offset = 0;
    do {
        const std::size_t n = std::min<std::size_t>(FRAME_DATA_SIZE, image.size() - offset);
        FirmwareFrame frame{};
        BuildFirmwareFrame(frame, offset, {image.data() + offset, n}, size);
        frames.push_back(frame);
        offset += static_cast<std::int32_t>(FRAME_DATA_SIZE);
    } while (offset < size);
    return frames;
}

// The tool's side of the line: the slave path opened and set up the way the tool does it.
class ToolSide {
  public:
    ToolSide(const std::string& path, std::uint32_t baud) : line_(SerialLine::Open(path)) {
        if (line_) SetSpeed(baud);
    }
    bool IsOpen() const { return line_ != nullptr; }
    bool SetSpeed(std::uint32_t baud) { return line_->ApplySettings({baud, 8, 0, 0}); }
    bool Send(std::span<const std::uint8_t> bytes) {
        return line_->WriteAll(bytes.data(), bytes.size()) == bytes.size();
    }
    bool Send(std::initializer_list<std::uint8_t> bytes) {
        return Send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout = kWait) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{line_->DescriptorForTests(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buffer[256];
            const long n = line_->ReadQueued(buffer, std::min(sizeof buffer, count - got.size()));
            if (n < 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    Bytes ReadUntilQuiet(std::chrono::milliseconds quiet = kQuiet) {
        Bytes got;
        for (;;) {
            Bytes more = Read(4096, quiet);
            if (more.empty()) return got;
            got.insert(got.end(), more.begin(), more.end());
        }
    }
    // True while the line's driver would take a byte now (false while a peer's XOFF holds it).
    bool Writable() const {
        pollfd p{line_->DescriptorForTests(), POLLOUT, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
    }
    int Descriptor() const { return line_->DescriptorForTests(); }

  private:
    std::shared_ptr<SerialLine> line_;
};

HeadOptions LoaderOptions() {
    HeadOptions options;
    options.startInLoader = true;
    return options;
}

class HeadTest : public testing::Test {
  protected:
    void StartHead(HeadOptions options, std::uint32_t toolBaud = UPGRADE_BAUD_RATE) {
        std::string error;
        head_ = VirtualHead::CreatePty(std::move(options), &error);
        ASSERT_TRUE(head_) << error;
        head_->Start();
        tool_ = std::make_unique<ToolSide>(head_->SlavePath(), toolBaud);
        ASSERT_TRUE(tool_->IsOpen());
    }

    bool WaitFor(const std::function<bool(const HeadReport&)>& condition) {
        return head_->WaitFor(condition, kWait);
    }

    // Sends a frame and returns the one answer byte (empty when none came).
    Bytes SendFrame(const FirmwareFrame& frame) {
        if (!tool_->Send(frame)) return {};
        return tool_->Read(1);
    }

    // Sends every frame of the image, each once, and returns the answers in order.
    Bytes SendImage(const Bytes& image) {
        Bytes answers;
        for (const FirmwareFrame& frame : FramesFor(image)) {
            const Bytes answer = SendFrame(frame);
            if (answer.size() != 1) break;
            answers.push_back(answer[0]);
        }
        return answers;
    }

    static Bytes ExpectedAnswers(std::size_t frames) {
        Bytes answers(frames, RSP_BLOCK_OK);
        answers.back() = RSP_DONE;
        return answers;
    }

    std::unique_ptr<VirtualHead> head_;
    std::unique_ptr<ToolSide> tool_;
};

// ---------------------------------------------------------------------------------------------
// SHA-256

TEST(HeadSha256, KnownVectors) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // Lengths around the padding boundaries of a 64-byte block.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
    };
    for (const auto& c : cases) {
        const Bytes message(c.message.begin(), c.message.end());
        EXPECT_EQ(Sha256::HexOf(message), c.digest) << c.message.size() << " bytes";
    }
}

TEST(HeadSha256, PiecewiseUpdatesGiveTheSameDigest) {
    // One million 'a', fed in uneven pieces.
    const Bytes million(1'000'000, 'a');
    Sha256 hash;
    std::size_t done = 0;
    for (std::size_t piece = 1; done < million.size(); piece = piece * 7 % 1000 + 1) {
        const std::size_t n = std::min(piece, million.size() - done);
        hash.Update({million.data() + done, n});
        done += n;
    }
    EXPECT_EQ(Sha256::Hex(hash.Finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// ---------------------------------------------------------------------------------------------
// The head's own parsers against the tool's builders

TEST(HeadProtocol, RecognisesTheToolsStartUpgradeCommands) {
    for (const unsigned address : {1u, 16u, 169u, 254u, 255u}) {
        SCOPED_TRACE(address);
        const auto a = static_cast<std::uint8_t>(address);
        head::PelcoFrame frame;
        const auto d = BuildPelcoDStartUpgrade(a);
        ASSERT_EQ(head::MatchPelcoFrame(d, &frame), head::Match::Frame);
        EXPECT_EQ(frame.protocol, head::PelcoProtocol::PelcoD);
        EXPECT_EQ(frame.address, address);
        EXPECT_EQ(frame.length, 7u);
        EXPECT_TRUE(frame.IsStartUpgrade());

        const auto p = BuildPelcoPStartUpgrade(a);
        ASSERT_EQ(head::MatchPelcoFrame(p, &frame), head::Match::Frame);
        EXPECT_EQ(frame.protocol, head::PelcoProtocol::PelcoP);
        EXPECT_EQ(frame.address, address);
        EXPECT_EQ(frame.length, 8u);
        EXPECT_TRUE(frame.IsStartUpgrade());

        // Any single damaged byte after the first makes it no frame; a cut one needs more.
        for (std::size_t i = 1; i < p.size(); ++i) {
            auto bad = p;
            bad[i] ^= 0x01;
            EXPECT_EQ(head::MatchPelcoFrame(bad, nullptr), head::Match::NoFrame) << i;
        }
        EXPECT_EQ(head::MatchPelcoFrame(std::span(d).first(6), nullptr), head::Match::NeedMore);
        EXPECT_EQ(head::MatchPelcoFrame(std::span(p).first(7), nullptr), head::Match::NeedMore);
    }
    const Bytes panRight = {0xFF, 0x01, 0x00, 0x02, 0x20, 0x00, 0x23};
    head::PelcoFrame frame;
    ASSERT_EQ(head::MatchPelcoFrame(panRight, &frame), head::Match::Frame);
    EXPECT_FALSE(frame.IsStartUpgrade());
    EXPECT_EQ(head::MatchPelcoFrame(Bytes{0x3F, 0x3F}, nullptr), head::Match::NoFrame);
}

TEST(HeadProtocol, ChecksTheToolsFirmwareFrames) {
    // The head's own sum must agree with the sum the tool put in the frame.
    const Bytes zeros(100, 0);
    FirmwareFrame frame{};
    BuildFirmwareFrame(frame, 0, zeros, 100);
    auto fields = head::ReadLoaderFrame(frame);
    EXPECT_TRUE(fields.startByteOk);
    EXPECT_TRUE(fields.lastBlock);
    EXPECT_EQ(fields.loadAddress, 0x00020000u);
    EXPECT_EQ(fields.lengthField, 0x1000);
    EXPECT_EQ(fields.carriedSum, 0x0F8C77u);
    EXPECT_TRUE(fields.SumOk());

    const Bytes image = MakeImage(3 * 4096 + 5, 7);
    for (const FirmwareFrame& f : FramesFor(image)) EXPECT_TRUE(head::ReadLoaderFrame(f).SumOk());

    frame[FRAME_DATA_OFFSET + 42] ^= 0x40;  // a zero file byte
    fields = head::ReadLoaderFrame(frame);
    EXPECT_FALSE(fields.SumOk());
    EXPECT_EQ(fields.computedSum, 0x0F8C77u + 0x40);
}

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
    Bytes image = MakeImage(c.size, static_cast<std::uint32_t>(c.size));
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
    const auto path = std::filesystem::temp_directory_path() /
                      ("kavlet-head-test-" + std::to_string(getpid()) + ".bin");
    HeadOptions options = LoaderOptions();
    options.sizeRule = head::ImageSizeRule::ExpectSize;
    options.expectSize = 5000;
    options.outputPath = path.string();
    StartHead(options);
    const Bytes first = MakeImage(5000, 1);
    const Bytes second = MakeImage(5000, 2);
    EXPECT_EQ(SendImage(first), ExpectedAnswers(2));
    EXPECT_EQ(SendImage(second), ExpectedAnswers(2));  // starts again at load address 00020000

    std::ifstream in(path, std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    EXPECT_EQ(written, second);
    const HeadReport report = head_->Report();
    EXPECT_EQ(report.imagesCompleted, 2u);
    EXPECT_EQ(report.sha256, Sha256::HexOf(second));
}

TEST_F(HeadTest, BadFramesAreAnswered) {
    StartHead(LoaderOptions());
    const Bytes image = MakeImage(3 * 4096, 3);
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
    const Bytes image = MakeImage(options.expectSize, 9);
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
        const auto frames = FramesFor(MakeImage(5000, 4));
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
    const Bytes image = MakeImage(4196, 5);
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
    const Bytes image = MakeImage(3 * 4096, 6);
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
    const auto frames = FramesFor(MakeImage(2 * 4096, 11));
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
    const auto frames = FramesFor(MakeImage(100, 8));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFrame(frames[0]), Bytes{RSP_DONE});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // A lower bound only: 4107 bytes at 11,520 bytes/s take 356 ms, less the first burst.
    EXPECT_GE(elapsed, 300ms);
    std::printf("paced frame at 115200 baud: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

// ---------------------------------------------------------------------------------------------
// Robustness

TEST_F(HeadTest, SurvivesRandomBytes) {
    HeadOptions options = LoaderOptions();
    options.frameTimeout = 100ms;
    StartHead(options);
    std::mt19937 random(12345);
    std::uint64_t sent = 0;
    for (int round = 0; round < 60; ++round) {
        Bytes chunk(random() % 3000 + 1);
        for (auto& b : chunk) {
            // Often the bytes that start something, so that the head's parsers are exercised.
            const unsigned pick = random() % 16;
            b = pick == 0   ? 0x73
                : pick == 1 ? 0x3F
                : pick == 2 ? 0xFF
                : pick == 3 ? 0xA0
                            : static_cast<std::uint8_t>(random());
        }
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
            Bytes chunk(random() % 700 + 1);
            for (auto& b : chunk) {
                const unsigned pick = random() % 12;
                b = pick == 0   ? 0x73
                    : pick == 1 ? 0x3F
                    : pick == 2 ? 0xFF
                    : pick == 3 ? 0xA0
                                : static_cast<std::uint8_t>(random());
            }
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

    const auto frames = FramesFor(MakeImage(10, 10));
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
    };
    for (const auto& args : wrong) {
        head::HeadCommandLine line;
        std::string error;
        EXPECT_FALSE(head::ParseHeadCommandLine(args, &line, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
