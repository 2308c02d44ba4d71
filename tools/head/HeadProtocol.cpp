#include "tools/head/HeadProtocol.h"

#include <cstdio>

#include "tools/head/HeadWire.h"

namespace head {

namespace {

using namespace wire;

// The big-endian number in bytes [at, at + count).
std::uint32_t BigEndian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

}  // namespace

const char* ProtocolName(PelcoProtocol protocol) {
    return protocol == PelcoProtocol::PelcoD ? "Pelco-D" : "Pelco-P";
}

bool PelcoFrame::IsStartUpgrade() const {
    return command == kStartUpgrade;
}

Match MatchPelcoFrame(std::span<const std::uint8_t> bytes, PelcoFrame* frame) {
    if (bytes.empty()) return Match::NeedMore;
    if (bytes[0] == kPelcoDSync) {
        if (bytes.size() < kPelcoDLength) return Match::NeedMore;
        unsigned sum = 0;
        for (std::size_t i = 1; i <= 5; ++i) sum += bytes[i];
        if ((sum & 0xFF) != bytes[6]) return Match::NoFrame;
        if (frame) {
            frame->protocol = PelcoProtocol::PelcoD;
            frame->address = bytes[1];
            frame->command = {bytes[2], bytes[3], bytes[4], bytes[5]};
            frame->length = kPelcoDLength;
        }
        return Match::Frame;
    }
    if (bytes[0] == kPelcoPStart) {
        if (bytes.size() < kPelcoPLength) return Match::NeedMore;
        if (bytes[6] != kPelcoPEnd) return Match::NoFrame;
        std::uint8_t x = 0;
        for (std::size_t i = 0; i <= 6; ++i) x ^= bytes[i];
        if (x != bytes[7]) return Match::NoFrame;
        if (frame) {
            frame->protocol = PelcoProtocol::PelcoP;
            frame->address = unsigned{bytes[1]} + 1;
            frame->command = {bytes[2], bytes[3], bytes[4], bytes[5]};
            frame->length = kPelcoPLength;
        }
        return Match::Frame;
    }
    return Match::NoFrame;
}

LoaderFrameFields ReadLoaderFrame(std::span<const std::uint8_t> frame) {
    LoaderFrameFields f;
    if (frame.size() != kFrameSize) return f;
    f.startByteOk = frame[0] == kFrameStart;
    f.flagByte = frame[kFlagAt];
    f.lastBlock = f.flagByte != 0;
    f.loadAddress = BigEndian(frame, kAddressAt, 4);
    f.lengthField = static_cast<std::uint16_t>(BigEndian(frame, kLengthAt, 2));
    f.carriedSum = BigEndian(frame, kSumAt, 3);
    std::uint32_t sum = 0;
    for (const std::uint8_t b : frame.subspan(1, kSumAt - 1)) sum += b;
    f.computedSum = sum & kSumMask;
    return f;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
    std::string text;
    const std::size_t shown = bytes.size() < maxBytes ? bytes.size() : maxBytes;
    for (std::size_t i = 0; i < shown; ++i) {
        char piece[4];
        std::snprintf(piece, sizeof piece, "%02x", bytes[i]);
        if (i) text += ' ';
        text += piece;
    }
    if (shown < bytes.size()) text += " ...";
    return text;
}

}  // namespace head
