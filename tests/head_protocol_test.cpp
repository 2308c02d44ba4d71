// The head's own reading of what travels on the line (start-upgrade commands, firmware frames)
// cross-checked against the tool's builders, and the head's SHA-256.

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "tests/support/HeadFixture.h"
#include "tests/support/TestImages.h"
#include "tools/head/HeadProtocol.h"
#include "tools/head/Sha256.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"

using head::Sha256;
using head_test::Bytes;
using head_test::FramesFor;

namespace {

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

    const Bytes image = RandomImage(3 * 4096 + 5, 7);
    for (const FirmwareFrame& f : FramesFor(image)) EXPECT_TRUE(head::ReadLoaderFrame(f).SumOk());

    frame[FRAME_DATA_OFFSET + 42] ^= 0x40;  // a zero file byte
    fields = head::ReadLoaderFrame(frame);
    EXPECT_FALSE(fields.SumOk());
    EXPECT_EQ(fields.computedSum, 0x0F8C77u + 0x40);
}

}  // namespace
