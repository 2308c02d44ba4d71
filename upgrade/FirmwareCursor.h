// The firmware image and where the transfer stands in it: the image's bytes (read whole when it
// was opened), the offset of the next block (fileOffset), the block in the frame built last, and
// how far the head has taken the image, block after block in order.
// Every rule that moves the position lives here: the next frame, a block accepted, the same block
// again, back to the start of a block that did not get out whole, back to the first block, done.
//
// Thread rules: any thread (the front end's and the sender's); each call holds the cursor's own
// lock for a short step and never waits for anything else meanwhile.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "upgrade/FirmwareFrame.h"
#include "upgrade/ImageCheck.h"

class FirmwareCursor {
  public:
    FirmwareCursor() = default;
    // Images are read by reader (empty: OpenImage).
    explicit FirmwareCursor(ImageReader reader) : reader_(std::move(reader)) {}

    // Reads the image and starts at its first block; any earlier image is given up. Nothing is
    // kept when the check fails.
    ImageCheck Open(const std::string& path);
    void Forget();
    bool IsOpen() const;
    std::int32_t Size() const;
    // The file offset of the next block to read.
    std::int32_t Offset() const;

    // Builds the frame for the block at the offset and steps past it. None without an image, or
    // when that block lies outside it.
    std::optional<FirmwareFrame> NextFrame();
    // The head answered 82 to the frame built last, which went out whole. The block counts as
    // taken when every block before it was and it was not taken yet: then returns the offset
    // of the next block. None otherwise, and without an image.
    std::optional<std::int32_t> BlockAccepted();
    // A new sender begins: from the first block the head has not taken, so that no block is
    // skipped however the transfer before it ended.
    void RestartAtFirstNotTaken();
    // The head rejected the block: back to its start, never further, however often it says
    // so. False without a file.
    bool SameBlockAgain();
    // The frame built last did not get out whole: back to the start of its block, so that the
    // next frame is that block again, not the one after it.
    void RewindToBlockStart();
    // Back to the first block.
    void Reset();
    // Whether the frame built last went out whole with the last-block flag, after every block
    // before it was taken: an 84 to it means the head holds the whole image.
    bool LastFrameCompletesImage() const;
    // Whether the frame built last was the one without file data that follows the last block.
    bool LastFrameWasPastTheImage() const;
    // The whole image was taken: returns the offset reached, then forgets the image.
    std::int32_t Finish();

  private:
    const ImageReader reader_;
    mutable std::mutex mutex_;
    FirmwareImage image_;               // empty without an image: an image has a byte at least
    std::int32_t firmwareSize_ = 0;     // bytes; at most kMaxImageSize
    std::int32_t fileOffset_ = 0;       // file offset of the next block to read
    std::int32_t lastBlockLength_ = 0;  // file bytes in the frame built last, 0 to 4096
    std::int32_t lastBlockOffset_ = 0;  // file offset of the block in the frame built last
    bool lastFrameFinal_ = false;       // the frame built last carried the last-block flag
    std::int32_t taken_ = 0;            // the head took every block before this offset
};
