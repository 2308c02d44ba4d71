// Opening a firmware image, and why one cannot be sent: one check for every front end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The image's bytes, read whole when it is chosen: the head gets the image as it was then,
// whatever happens to the file while it is sent (rewritten, truncated, deleted).
using FirmwareImage = std::vector<std::uint8_t>;

// The largest image held: far more than a head's firmware, and well within any laptop's memory
// (at 115200 baud it takes an hour and a half to send).
inline constexpr std::int32_t kMaxImageSize = 64 * 1024 * 1024;

// Why an image cannot be sent.
enum class ImageFault {
    None,            // a regular file of 1 byte to kMaxImageSize, read whole
    Missing,         // nothing by that name
    Folder,          // a folder
    NotRegularFile,  // a FIFO, a device, a socket: nothing that surely ends
    Empty,           // a regular file without a byte
    TooLarge,        // more than kMaxImageSize bytes
    Unreadable,      // the system refused to tell or to open it (errorNumber says why)
};

struct ImageCheck {
    ImageFault fault = ImageFault::Unreadable;
    int errorNumber = 0;    // Missing, Unreadable: the system's error code
    std::int32_t size = 0;  // the image's size in bytes when read
    bool Opened() const { return fault == ImageFault::None; }
};

struct OpenedImage {
    FirmwareImage bytes;  // empty unless the check says Opened
    ImageCheck check;
};

// Reads path whole without ever waiting (a FIFO or a device does not hold the caller), and only
// when it is a regular file of 1 byte to kMaxImageSize. A regular file whose size the system
// gives as 0 (the files under /proc) is read to its end: only one that yields no byte is empty.
OpenedImage OpenImage(const std::string& path);

// Where an engine gets an image's bytes: OpenImage unless a front end holds the images already
// (read once for many heads).
using ImageReader = std::function<OpenedImage(const std::string& path)>;
