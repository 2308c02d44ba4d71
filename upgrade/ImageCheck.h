// Opening a firmware image, and why one cannot be sent: one check for every front end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// An open firmware file. Shared so that a stream given up by the front end's thread is
// closed only once the sender, which may still be reading it, has let go of it too.
using FirmwareStream = std::shared_ptr<std::FILE>;

// Why an image cannot be sent.
enum class ImageFault {
    None,            // a regular file of 1 byte to 2 GiB - 1 byte, open for reading
    Missing,         // nothing by that name
    Folder,          // a folder
    NotRegularFile,  // a FIFO, a device, a socket: nothing whose size tells what it holds
    Empty,           // a regular file without a byte
    TooLarge,        // 2 GiB or more, more than a frame's load address can reach
    Unreadable,      // the system refused to tell or to open it (errorNumber says why)
};

struct ImageCheck {
    ImageFault fault = ImageFault::Unreadable;
    int errorNumber = 0;    // Missing, Unreadable: the system's error code
    std::int32_t size = 0;  // the image's size in bytes when opened
    bool Opened() const { return fault == ImageFault::None; }
};

struct OpenedImage {
    FirmwareStream stream;  // null unless the check says Opened
    ImageCheck check;
};

// Opens path for reading without ever waiting (a FIFO or a device does not hold the caller),
// and only when it is a regular file with at least one byte and less than 2 GiB.
OpenedImage OpenImage(const std::string& path);
