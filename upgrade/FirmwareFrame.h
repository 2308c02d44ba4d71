// The firmware frame: the unit in which the image travels to the loader. Pure functions.
//
// Layout (4107 bytes, sent index 0 first, multi-byte fields big-endian):
//   0          start byte 0x73 ('s')
//   1          last-block flag: 1 when the block reaches the end of the file
//   2..5       load address: FIRMWARE_LOAD_BASE + file offset of the block
//   6..7       length field, always 0x1000, also in a short last block
//   8..4103    4096 data bytes; positions past the bytes read hold 0xFF
//   4104..4106 low 24 bits of the sum of bytes 1..4103
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr std::size_t FRAME_SIZE = 4107;                  // bytes in one frame
inline constexpr std::size_t FRAME_DATA_SIZE = 4096;             // file bytes carried by one frame
inline constexpr std::uint32_t FIRMWARE_LOAD_BASE = 0x00020000;  // load address of file offset 0
inline constexpr std::uint8_t FRAME_START_BYTE = 0x73;
inline constexpr std::uint8_t FRAME_FILL_BYTE = 0xFF;  // data positions past the end of the file
inline constexpr std::uint16_t FRAME_LENGTH_FIELD = 0x1000;
inline constexpr std::size_t FRAME_DATA_OFFSET = 8;         // index of the first data byte
inline constexpr std::size_t FRAME_CHECKSUM_OFFSET = 4104;  // index of the checksum's high byte

using FirmwareFrame = std::array<std::uint8_t, FRAME_SIZE>;

// Builds the frame for the block at blockOffset whose bytes are data (at most 4096), in a
// file of firmwareSize bytes. Returns the full 32-bit sum of bytes 1..4103.
std::uint32_t BuildFirmwareFrame(FirmwareFrame& frame, std::int32_t blockOffset,
                                 std::span<const std::uint8_t> data, std::int32_t firmwareSize);

// The file offset of the frame's block, read back from its load address.
std::int32_t BlockOffsetOf(const FirmwareFrame& frame);

// The 32-bit sum of frame bytes 1..4103 (the checksum carries its low 24 bits).
std::uint32_t FrameSum(const FirmwareFrame& frame);

// Bytes the transfer puts on the line when every frame goes out once: 4107 per started block
// of 4096 file bytes. Kept in 64 bits, so files near 2 GiB do not show a wrapped count.
std::int64_t TotalBytesToSend(std::int32_t firmwareSize);
