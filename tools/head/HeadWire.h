// What travels on the head's line, as the head itself knows it. Written apart from the tool:
// the head states every constant of the exchange here, so a mistake on either side shows up as
// a disagreement on the wire instead of being shared by both.
#pragma once

#include <array>
#include <cstdint>

namespace head::wire {

// Normal operation: the start-upgrade command, Pelco-D or Pelco-P, at the head's own speed.
inline constexpr std::uint8_t kPelcoDSync = 0xFF;   // Pelco-D: FF, address, 4 bytes, sum
inline constexpr std::uint8_t kPelcoPStart = 0xA0;  // Pelco-P: A0, address - 1, 4 bytes, AF, xor
inline constexpr std::uint8_t kPelcoPEnd = 0xAF;
inline constexpr std::size_t kPelcoDLength = 7;
inline constexpr std::size_t kPelcoPLength = 8;
// Pelco-D command 1, command 2, data 1, data 2 (Pelco-P data 1 to 4) of the start-upgrade
// command.
inline constexpr std::array<std::uint8_t, 4> kStartUpgrade = {0x00, 0x57, 0x00, 0x00};

// The loader: everything after the start-upgrade command runs at this speed.
inline constexpr std::uint32_t kLoaderBaud = 115200;
inline constexpr std::uint8_t kGreetingByte = 0x3F;  // the greeting is this byte twice

// A firmware frame, sent byte 0 first, fields big-endian:
//   0          start byte
//   1          last-block flag (non-zero on the block that reaches the end of the file)
//   2..5       load address: kLoadBase + the block's offset in the file
//   6..7       length field, always 0x1000
//   8..4103    4096 data bytes, 0xFF past the end of the file
//   4104..4106 low 24 bits of the sum of bytes 1..4103
inline constexpr std::size_t kFrameSize = 4107;
inline constexpr std::size_t kFrameDataSize = 4096;
inline constexpr std::uint8_t kFrameStart = 0x73;
inline constexpr std::size_t kFlagAt = 1;
inline constexpr std::size_t kAddressAt = 2;
inline constexpr std::size_t kLengthAt = 6;
inline constexpr std::size_t kDataAt = 8;
inline constexpr std::size_t kSumAt = 4104;
inline constexpr std::uint32_t kLoadBase = 0x00020000;
inline constexpr std::uint16_t kLengthField = 0x1000;
inline constexpr std::uint8_t kFill = 0xFF;
inline constexpr std::uint32_t kSumMask = 0xFFFFFF;
static_assert(kSumAt + 3 == kFrameSize && kDataAt + kFrameDataSize == kSumAt);

// One-byte answers of the loader.
inline constexpr std::uint8_t kConnected = 0x80;       // to the greeting
inline constexpr std::uint8_t kChecksumError = 0x81;   // send the same frame again
inline constexpr std::uint8_t kBlockOk = 0x82;         // send the next frame
inline constexpr std::uint8_t kChecksumError2 = 0x83;  // as 0x81
inline constexpr std::uint8_t kDone = 0x84;            // the whole image is in
inline constexpr std::uint8_t kFailed = 0x86;
inline constexpr std::uint8_t kTimedOut = 0x87;

// Software flow control the head sends to hold and release the tool.
inline constexpr std::uint8_t kXon = 0x11;
inline constexpr std::uint8_t kXoff = 0x13;

inline constexpr bool IsAnswerCode(std::uint8_t b) {
    return b >= kConnected && b <= kTimedOut && b != 0x85;
}

}  // namespace head::wire
