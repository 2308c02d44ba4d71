#include "upgrade/FirmwareFrame.h"

#include <algorithm>

std::int32_t BlockOffsetOf(const FirmwareFrame& frame) {
    const std::uint32_t loadAddress = std::uint32_t{frame[2]} << 24 |
                                      std::uint32_t{frame[3]} << 16 | std::uint32_t{frame[4]} << 8 |
                                      frame[5];
    return static_cast<std::int32_t>(loadAddress - FIRMWARE_LOAD_BASE);
}

std::uint32_t FrameSum(const FirmwareFrame& frame) {
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < FRAME_CHECKSUM_OFFSET; ++i) sum += frame[i];
    return sum;
}

std::uint32_t BuildFirmwareFrame(FirmwareFrame& frame, std::int32_t blockOffset,
                                 std::span<const std::uint8_t> data, std::int32_t firmwareSize) {
    const std::size_t n = std::min(data.size(), FRAME_DATA_SIZE);
    frame.fill(FRAME_FILL_BYTE);
    std::copy_n(data.begin(), n, frame.begin() + FRAME_DATA_OFFSET);

    // Computed in 64 bits: the block past a file of nearly 2 GiB must not wrap around.
    const bool lastBlock =
        std::int64_t{blockOffset} + std::int64_t(n) >= std::int64_t{firmwareSize};
    const std::uint32_t loadAddress = FIRMWARE_LOAD_BASE + static_cast<std::uint32_t>(blockOffset);
    frame[0] = FRAME_START_BYTE;
    frame[1] = lastBlock ? 1 : 0;
    frame[2] = static_cast<std::uint8_t>(loadAddress >> 24);
    frame[3] = static_cast<std::uint8_t>(loadAddress >> 16);
    frame[4] = static_cast<std::uint8_t>(loadAddress >> 8);
    frame[5] = static_cast<std::uint8_t>(loadAddress);
    frame[6] = static_cast<std::uint8_t>(FRAME_LENGTH_FIELD >> 8);
    frame[7] = static_cast<std::uint8_t>(FRAME_LENGTH_FIELD);

    const std::uint32_t sum = FrameSum(frame);
    frame[FRAME_CHECKSUM_OFFSET] = static_cast<std::uint8_t>(sum >> 16);
    frame[FRAME_CHECKSUM_OFFSET + 1] = static_cast<std::uint8_t>(sum >> 8);
    frame[FRAME_CHECKSUM_OFFSET + 2] = static_cast<std::uint8_t>(sum);
    return sum;
}

std::int64_t TotalBytesToSend(std::int32_t firmwareSize) {
    const std::int64_t blockSize = std::int64_t(FRAME_DATA_SIZE);
    const std::int64_t blocks = firmwareSize / blockSize + (firmwareSize % blockSize > 0 ? 1 : 0);
    // In 64 bits: for files from 2,141,728,769 bytes on the total no longer fits 32 bits.
    return blocks * std::int64_t(FRAME_SIZE);
}
