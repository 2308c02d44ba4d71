// Firmware frames as the loader receives them, and the byte total shown before a transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <span>
#include <vector>

#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/Sender.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct BuiltFrame {
    FirmwareFrame bytes;
    std::uint32_t sum;
};

BuiltFrame Build(std::int32_t blockOffset, std::span<const std::uint8_t> data,
                 std::int32_t firmwareSize) {
    BuiltFrame built{};
    built.sum = BuildFirmwareFrame(built.bytes, blockOffset, data, firmwareSize);
    return built;
}

// Cuts a file into frames the way the sender walks it: a block at a time until one carries
// the last-block flag.
std::vector<BuiltFrame> FramesForFile(const Bytes& file) {
    std::vector<BuiltFrame> frames;
    const auto size = std::int32_t(file.size());
    std::int32_t offset = 0;
    while (frames.size() <= file.size() / FRAME_DATA_SIZE + 1) {
        const auto n = std::min<std::int32_t>(std::int32_t(FRAME_DATA_SIZE), size - offset);
        frames.push_back(
            Build(offset, std::span(file).subspan(std::size_t(offset), std::size_t(n)), size));
        offset += n;
        if (frames.back().bytes[1] == 1) break;
    }
    return frames;
}

Bytes Slice(const FirmwareFrame& frame, std::size_t from, std::size_t count) {
    return Bytes(frame.begin() + std::ptrdiff_t(from),
                 frame.begin() + std::ptrdiff_t(from + count));
}

Bytes Header(const FirmwareFrame& frame) {
    return Slice(frame, 0, 8);
}
Bytes Data(const FirmwareFrame& frame) {
    return Slice(frame, 8, 4096);
}
Bytes Checksum(const FirmwareFrame& frame) {
    return Slice(frame, 4104, 3);
}

// The data area for a block: its bytes, then 0xFF fill up to 4096.
Bytes Filled(Bytes data) {
    data.resize(4096, 0xFF);
    return data;
}

// Checks the checksum bytes against a sum taken here over bytes 1..4103.
void ExpectConsistentChecksum(const BuiltFrame& built) {
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i <= 4103; ++i) sum += built.bytes[i];
    EXPECT_EQ(built.sum, sum);
    EXPECT_EQ(FrameSum(built.bytes), sum);
    EXPECT_EQ(Checksum(built.bytes),
              (Bytes{std::uint8_t(sum >> 16), std::uint8_t(sum >> 8), std::uint8_t(sum)}));
}

// The numbers every other test derives what it expects from, each held to its value once: a
// wrong one would pass every test that computes with it.
TEST(LineNumbers, EachHasItsValue) {
    const struct {
        const char* name;
        std::uint64_t value;
        std::uint64_t expected;
    } rows[] = {
        {"bytes in a frame", FRAME_SIZE, 4107},
        {"file bytes in a frame", FRAME_DATA_SIZE, 4096},
        {"the frame's length field", FRAME_LENGTH_FIELD, 0x1000},
        {"the first data byte's index", FRAME_DATA_OFFSET, 8},
        {"the checksum's index", FRAME_CHECKSUM_OFFSET, 4104},
        {"the load address of offset 0", FIRMWARE_LOAD_BASE, 0x00020000},
        {"the start byte", FRAME_START_BYTE, 0x73},
        {"the fill byte", FRAME_FILL_BYTE, 0xFF},
        {"bytes in one write of a frame", kFrameWrite, 64},
        {"the loader's line speed", UPGRADE_BAUD_RATE, 115200},
    };
    for (const auto& row : rows) EXPECT_EQ(row.value, row.expected) << row.name;
}

TEST(FirmwareFrame, HundredZeroBytes) {
    const auto frames = FramesForFile(Bytes(100, 0x00));
    ASSERT_EQ(frames.size(), 1u);
    const FirmwareFrame& f = frames[0].bytes;
    EXPECT_EQ(Header(f), (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Data(f), Filled(Bytes(100, 0x00)));
    EXPECT_EQ(Checksum(f), (Bytes{0x0F, 0x8C, 0x77}));
    EXPECT_EQ(frames[0].sum, 0x0F8C77u);
}

TEST(FirmwareFrame, FullBlockOfZeroBytes) {
    const auto frames = FramesForFile(Bytes(4096, 0x00));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Header(frames[0].bytes), (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Data(frames[0].bytes), Bytes(4096, 0x00));
    EXPECT_EQ(Checksum(frames[0].bytes), (Bytes{0x00, 0x00, 0x13}));
}

TEST(FirmwareFrame, OneByteIntoTheSecondBlock) {
    Bytes file(4097);
    std::mt19937 engine(7);
    for (auto& b : file) b = std::uint8_t(engine());
    file.back() = 0xAB;

    const auto frames = FramesForFile(file);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Header(frames[0].bytes), (Bytes{0x73, 0x00, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Data(frames[0].bytes), Bytes(file.begin(), file.begin() + 4096));
    ExpectConsistentChecksum(frames[0]);

    EXPECT_EQ(Header(frames[1].bytes), (Bytes{0x73, 0x01, 0x00, 0x02, 0x10, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Data(frames[1].bytes), Filled({0xAB}));
    EXPECT_EQ(Checksum(frames[1].bytes), (Bytes{0x0F, 0xEF, 0xCF}));
}

TEST(FirmwareFrame, EmptyFileStillGivesAFrame) {
    const auto frames = FramesForFile(Bytes{});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Header(frames[0].bytes), (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Data(frames[0].bytes), Bytes(4096, 0xFF));
    EXPECT_EQ(Checksum(frames[0].bytes), (Bytes{0x0F, 0xF0, 0x13}));
}

// The loader acknowledging the last frame as an ordinary block makes the sender read at the end
// of the file: a frame with no file data at the address just past it.
TEST(FirmwareFrame, FramePastTheEndOfTheFile) {
    const BuiltFrame extra = Build(100, {}, 100);
    EXPECT_EQ(Header(extra.bytes), (Bytes{0x73, 0x01, 0x00, 0x02, 0x00, 0x64, 0x10, 0x00}));
    EXPECT_EQ(Data(extra.bytes), Bytes(4096, 0xFF));
    EXPECT_EQ(Checksum(extra.bytes), (Bytes{0x0F, 0xF0, 0x77}));
}

TEST(FirmwareFrame, WholeFileInSequence) {
    Bytes file(10000);
    std::mt19937 engine(11);
    for (auto& b : file) b = std::uint8_t(engine());

    const auto frames = FramesForFile(file);
    ASSERT_EQ(frames.size(), 3u);
    const std::uint8_t addressHigh[] = {0x00, 0x10, 0x20};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const FirmwareFrame& f = frames[i].bytes;
        const std::uint8_t last = i == 2 ? 1 : 0;
        EXPECT_EQ(Header(f), (Bytes{0x73, last, 0x00, 0x02, addressHigh[i], 0x00, 0x10, 0x00}));
        EXPECT_EQ(BlockOffsetOf(f), std::int32_t(i * 4096)) << "read back from the frame";
        const auto from = file.begin() + std::ptrdiff_t(i * 4096);
        const auto to = i == 2 ? file.end() : from + 4096;
        EXPECT_EQ(Data(f), Filled(Bytes(from, to)));
        ExpectConsistentChecksum(frames[i]);
    }
    EXPECT_EQ(std::int64_t(frames.size() * FRAME_SIZE), TotalBytesToSend(10000));
}

// A block sent again after a checksum error is rebuilt into the buffer that meanwhile held
// another block; nothing of that one may survive.
TEST(FirmwareFrame, RebuildingABlockGivesTheSameBytes) {
    Bytes file(6000);
    std::mt19937 engine(3);
    for (auto& b : file) b = std::uint8_t(engine());
    const std::span<const std::uint8_t> first = std::span(file).first(4096);
    const std::span<const std::uint8_t> second = std::span(file).subspan(4096);

    const BuiltFrame fresh = Build(4096, second, 6000);
    FirmwareFrame reused;
    reused.fill(0x11);
    BuildFirmwareFrame(reused, 0, first, 6000);
    const std::uint32_t sum = BuildFirmwareFrame(reused, 4096, second, 6000);
    EXPECT_EQ(reused, fresh.bytes);
    EXPECT_EQ(sum, fresh.sum);
}

// The checksum field is three bytes: even the largest possible sum must fit.
TEST(FirmwareFrame, LargestSumFitsTheChecksum) {
    FirmwareFrame allOnes;
    allOnes.fill(0xFF);
    EXPECT_EQ(FrameSum(allOnes), 4103u * 255u);
    EXPECT_LT(FrameSum(allOnes), 1u << 24);

    // The largest sum a real frame reaches: flag set, high address bytes, all data 0xFF.
    const Bytes data(4096, 0xFF);
    const BuiltFrame built = Build(0x7FFDF000, data, 0x7FFDF000 + 4096);
    ASSERT_EQ(built.bytes[1], 1);
    EXPECT_LT(built.sum, 1u << 24);
    ExpectConsistentChecksum(built);
}

// Offsets near 2 GiB: offset plus length passes the 32-bit signed range, and the flag must
// still be decided on the true sum.
TEST(FirmwareFrame, BlocksNearTwoGibibytes) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    const Bytes data(4096, 0x5A);

    const BuiltFrame last = Build(0x7FFFF000, data, kMax);  // offset + 4096 = 2^31
    EXPECT_EQ(Header(last.bytes), (Bytes{0x73, 0x01, 0x80, 0x01, 0xF0, 0x00, 0x10, 0x00}));
    EXPECT_EQ(BlockOffsetOf(last.bytes), 0x7FFFF000);
    ExpectConsistentChecksum(last);

    const BuiltFrame before = Build(0x7FFFE000, data, kMax);
    EXPECT_EQ(Header(before.bytes), (Bytes{0x73, 0x00, 0x80, 0x01, 0xE0, 0x00, 0x10, 0x00}));

    const BuiltFrame pastEnd = Build(kMax, {}, kMax);
    EXPECT_EQ(Header(pastEnd.bytes), (Bytes{0x73, 0x01, 0x80, 0x01, 0xFF, 0xFF, 0x10, 0x00}));
    EXPECT_EQ(Data(pastEnd.bytes), Bytes(4096, 0xFF));
}

struct TotalCase {
    std::int32_t fileSize;
    std::int64_t total;
};

void PrintTo(const TotalCase& c, std::ostream* os) {
    *os << c.fileSize << " bytes";
}

class TotalToSend : public testing::TestWithParam<TotalCase> {};

TEST_P(TotalToSend, FourThousandOneHundredSevenPerStartedBlock) {
    EXPECT_EQ(TotalBytesToSend(GetParam().fileSize), GetParam().total);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TotalToSend,
    testing::Values(TotalCase{0, 0}, TotalCase{1, 4107}, TotalCase{4095, 4107},
                    TotalCase{4096, 4107}, TotalCase{4097, 8214}, TotalCase{8192, 8214},
                    TotalCase{8193, 12321}, TotalCase{10000, 12321},
                    TotalCase{2000000000, 2005374174},
                    // the largest file whose total still fits a signed 32-bit count
                    TotalCase{2141728768, 2147480481},
                    // past it the count is still right, not wrapped around
                    TotalCase{2141728769, 2147484588},
                    TotalCase{std::numeric_limits<std::int32_t>::max(), 2153250816}));

}  // namespace
