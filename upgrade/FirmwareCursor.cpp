#include "upgrade/FirmwareCursor.h"

#include <algorithm>

ImageCheck FirmwareCursor::Open(const std::string& path) {
    OpenedImage image = reader_ ? reader_(path) : OpenImage(path);
    std::lock_guard lock(mutex_);
    image_ = std::move(image.bytes);  // any earlier image is given up
    firmwareSize_ = image.check.size;
    fileOffset_ = 0;
    lastBlockLength_ = 0;
    lastBlockOffset_ = 0;
    lastFrameFinal_ = false;
    taken_ = 0;
    return image.check;
}

void FirmwareCursor::Forget() {
    std::lock_guard lock(mutex_);
    image_ = {};
}

bool FirmwareCursor::IsOpen() const {
    std::lock_guard lock(mutex_);
    return !image_.empty();
}

std::int32_t FirmwareCursor::Size() const {
    std::lock_guard lock(mutex_);
    return firmwareSize_;
}

std::int32_t FirmwareCursor::Offset() const {
    std::lock_guard lock(mutex_);
    return fileOffset_;
}

std::optional<FirmwareFrame> FirmwareCursor::NextFrame() {
    std::lock_guard lock(mutex_);
    const std::int32_t offset = fileOffset_;
    const std::int32_t size = firmwareSize_;
    if (image_.empty() || offset < 0 || offset > size) return std::nullopt;
    const std::size_t n = std::min<std::size_t>(std::size_t(size - offset), FRAME_DATA_SIZE);
    fileOffset_ = offset + static_cast<std::int32_t>(n);
    lastBlockLength_ = static_cast<std::int32_t>(n);
    lastBlockOffset_ = offset;
    FirmwareFrame frame;
    BuildFirmwareFrame(frame, offset, {image_.data() + offset, n}, size);
    lastFrameFinal_ = frame[1] != 0;
    return frame;
}

std::optional<std::int32_t> FirmwareCursor::BlockAccepted() {
    std::lock_guard lock(mutex_);
    // Without an image there is no transfer to move on.
    if (image_.empty() || lastBlockOffset_ != taken_ || lastBlockLength_ == 0) return std::nullopt;
    taken_ += lastBlockLength_;
    return fileOffset_;
}

void FirmwareCursor::RestartAtFirstNotTaken() {
    std::lock_guard lock(mutex_);
    fileOffset_ = taken_;
    lastBlockLength_ = 0;
    lastFrameFinal_ = false;
}

bool FirmwareCursor::SameBlockAgain() {
    std::lock_guard lock(mutex_);
    if (image_.empty()) return false;
    fileOffset_ = lastBlockOffset_;
    return true;
}

void FirmwareCursor::RewindToBlockStart() {
    std::lock_guard lock(mutex_);
    if (lastBlockLength_ > 0) fileOffset_ = lastBlockOffset_;
    lastBlockLength_ = 0;
}

void FirmwareCursor::Reset() {
    std::lock_guard lock(mutex_);
    fileOffset_ = 0;
    lastBlockLength_ = 0;
    lastBlockOffset_ = 0;
    lastFrameFinal_ = false;
    taken_ = 0;
}

bool FirmwareCursor::LastFrameCompletesImage() const {
    std::lock_guard lock(mutex_);
    return !image_.empty() && lastFrameFinal_ && lastBlockOffset_ == taken_ &&
           (lastBlockLength_ > 0 || lastBlockOffset_ == firmwareSize_);
}

bool FirmwareCursor::LastFrameWasPastTheImage() const {
    std::lock_guard lock(mutex_);
    return !image_.empty() && lastFrameFinal_ && lastBlockOffset_ == firmwareSize_;
}

std::int32_t FirmwareCursor::Finish() {
    std::lock_guard lock(mutex_);
    const std::int32_t reached = fileOffset_;
    fileOffset_ = 0;
    lastFrameFinal_ = false;
    image_ = {};
    return reached;
}
