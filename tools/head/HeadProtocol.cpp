#include "tools/head/HeadProtocol.h"

#include <cstdio>

#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"

namespace head {

namespace {

constexpr std::size_t kPelcoDLength = 7;
constexpr std::size_t kPelcoPLength = 8;

}  // namespace

const char* ProtocolName(PelcoProtocol protocol) {
    return protocol == PelcoProtocol::PelcoD ? "Pelco-D" : "Pelco-P";
}

bool PelcoFrame::IsStartUpgrade() const {
    return command == START_UPGRADE_COMMAND;
}

Match MatchPelcoFrame(std::span<const std::uint8_t> bytes, PelcoFrame* frame) {
    if (bytes.empty()) return Match::NeedMore;
    if (bytes[0] == PELCO_D_SYNC) {
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
    if (bytes[0] == PELCO_P_START) {
        if (bytes.size() < kPelcoPLength) return Match::NeedMore;
        if (bytes[6] != PELCO_P_END) return Match::NoFrame;
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
    if (frame.size() != FRAME_SIZE) return f;
    f.startByteOk = frame[0] == FRAME_START_BYTE;
    f.flagByte = frame[1];
    f.lastBlock = frame[1] != 0;
    f.loadAddress = (std::uint32_t{frame[2]} << 24) | (std::uint32_t{frame[3]} << 16) |
                    (std::uint32_t{frame[4]} << 8) | std::uint32_t{frame[5]};
    f.lengthField = static_cast<std::uint16_t>((frame[6] << 8) | frame[7]);
    const std::size_t sumAt = FRAME_CHECKSUM_OFFSET;
    f.carriedSum = (std::uint32_t{frame[sumAt]} << 16) | (std::uint32_t{frame[sumAt + 1]} << 8) |
                   std::uint32_t{frame[sumAt + 2]};
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < sumAt; ++i) sum += frame[i];
    f.computedSum = sum & 0xFFFFFF;
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
