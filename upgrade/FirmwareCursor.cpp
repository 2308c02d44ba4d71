#include "upgrade/FirmwareCursor.h"

#include <algorithm>

ImageCheck FirmwareCursor::Open(const std::string& path) {
    OpenedImage image = OpenImage(path);
    std::lock_guard lock(mutex_);
    firmwareFile_ = std::move(image.stream);  // any earlier stream is given up
    firmwareSize_ = image.check.size;
    fileOffset_ = 0;
    lastBlockLength_ = 0;
    lastBlockOffset_ = 0;
    lastFrameFinal_ = false;
    return image.check;
}

void FirmwareCursor::Forget() {
    std::lock_guard lock(mutex_);
    firmwareFile_.reset();  // closed once no sender reads it any more
}

bool FirmwareCursor::IsOpen() const {
    std::lock_guard lock(mutex_);
    return firmwareFile_ != nullptr;
}

std::int32_t FirmwareCursor::Size() const {
    std::lock_guard lock(mutex_);
    return firmwareSize_;
}

std::int32_t FirmwareCursor::Offset() const {
    std::lock_guard lock(mutex_);
    return fileOffset_;
}

void FirmwareCursor::Seek() {
    if (firmwareFile_) std::fseek(firmwareFile_.get(), fileOffset_, SEEK_SET);
}

std::optional<FirmwareFrame> FirmwareCursor::NextFrame() {
    std::lock_guard lock(mutex_);
    const std::int32_t offset = fileOffset_;
    const std::int32_t size = firmwareSize_;
    if (!firmwareFile_ || offset < 0 || offset > size) return std::nullopt;
    const std::size_t expected = std::min<std::size_t>(std::size_t(size - offset), FRAME_DATA_SIZE);
    std::uint8_t data[FRAME_DATA_SIZE];
    std::size_t n = 0;
    if (expected > 0 && std::fseek(firmwareFile_.get(), offset, SEEK_SET) == 0) {
        n = std::fread(data, 1, expected, firmwareFile_.get());
    }
    if (n < expected) return std::nullopt;
    fileOffset_ = offset + static_cast<std::int32_t>(n);
    lastBlockLength_ = static_cast<std::int32_t>(n);
    lastBlockOffset_ = offset;
    FirmwareFrame frame;
    BuildFirmwareFrame(frame, offset, {data, n}, size);
    lastFrameFinal_ = frame[1] != 0;
    return frame;
}

std::optional<std::int32_t> FirmwareCursor::BlockAccepted() {
    std::lock_guard lock(mutex_);
    // Without a file there is nothing to position, and no transfer to move on.
    if (!firmwareFile_) return std::nullopt;
    Seek();
    return fileOffset_;
}

bool FirmwareCursor::SameBlockAgain() {
    std::lock_guard lock(mutex_);
    if (!firmwareFile_) return false;
    fileOffset_ = lastBlockOffset_;
    Seek();
    return true;
}

void FirmwareCursor::RewindToBlockStart() {
    std::lock_guard lock(mutex_);
    if (lastBlockLength_ > 0) fileOffset_ = lastBlockOffset_;
    lastBlockLength_ = 0;
    Seek();
}

void FirmwareCursor::Reset() {
    std::lock_guard lock(mutex_);
    fileOffset_ = 0;
    lastBlockLength_ = 0;
    lastBlockOffset_ = 0;
    lastFrameFinal_ = false;
    Seek();
}

bool FirmwareCursor::LastFrameWasFinal() const {
    std::lock_guard lock(mutex_);
    return firmwareFile_ && lastFrameFinal_;
}

std::int32_t FirmwareCursor::Finish() {
    std::lock_guard lock(mutex_);
    const std::int32_t reached = fileOffset_;
    fileOffset_ = 0;
    lastFrameFinal_ = false;
    firmwareFile_.reset();  // closed once no sender reads it any more
    return reached;
}
