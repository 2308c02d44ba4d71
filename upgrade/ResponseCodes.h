// One-byte answers of the camera head's loader. Only the first byte of a received chunk counts.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t RSP_CONNECTED = 0x80;  // answer to the greeting 3F 3F
inline constexpr std::uint8_t RSP_CHECKSUM_ERROR =
    0x81;                                           // frame rejected: send the same block again
inline constexpr std::uint8_t RSP_BLOCK_OK = 0x82;  // frame accepted: send the next block
inline constexpr std::uint8_t RSP_CHECKSUM_ERROR_2 = 0x83;  // handled exactly as 0x81
inline constexpr std::uint8_t RSP_DONE = 0x84;     // whole image received: upgrade succeeded
inline constexpr std::uint8_t RSP_FAILED = 0x86;   // the upgrade failed
inline constexpr std::uint8_t RSP_TIMEOUT = 0x87;  // the upgrade timed out

inline constexpr bool IsChecksumError(std::uint8_t code) {
    return code == RSP_CHECKSUM_ERROR || code == RSP_CHECKSUM_ERROR_2;
}

// One of the codes above.
inline constexpr bool IsResponseCode(std::uint8_t code) {
    return code == RSP_CONNECTED || IsChecksumError(code) || code == RSP_BLOCK_OK ||
           code == RSP_DONE || code == RSP_FAILED || code == RSP_TIMEOUT;
}

// An answer to the greeting: the loader is there, or it reports a failure.
inline constexpr bool AnswersGreeting(std::uint8_t code) {
    return code == RSP_CONNECTED || code == RSP_FAILED || code == RSP_TIMEOUT;
}

// An answer to a frame: any code but the greeting's.
inline constexpr bool AnswersFrame(std::uint8_t code) {
    return IsResponseCode(code) && code != RSP_CONNECTED;
}
