#include "upgrade/ImageCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#endif

#include <cerrno>

namespace {

// Opens for reading, never waiting: opening a FIFO for reading would otherwise wait for a writer.
int OpenForReading(const char* path) {
#ifdef _WIN32
    // Windows has no FIFOs to wait for: binary, and not inherited by child processes.
    return open(path, O_RDONLY | O_BINARY | O_NOINHERIT);
#else
    return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
}

// What the file's description says of it, ImageFault::None for an image that can be sent.
ImageCheck Judge(const struct stat& info) {
    ImageCheck check;
    if (S_ISDIR(info.st_mode)) {
        check.fault = ImageFault::Folder;
    } else if (!S_ISREG(info.st_mode)) {
        // Only a regular file ends: /dev/zero never does, and FIFOs wait for a writer.
        check.fault = ImageFault::NotRegularFile;
    } else if (info.st_size > kMaxImageSize) {
        check.fault = ImageFault::TooLarge;
    } else {
        // Size 0 may be an empty file, or one the system does not measure (the files under
        // /proc): it is read to its end to tell.
        check.fault = ImageFault::None;
        check.size = static_cast<std::int32_t>(info.st_size);
    }
    return check;
}

// Reads until the end of a file whose size was not told, at most a byte more than the largest
// image: empty, too large, or the image with its size.
ImageCheck ReadToEnd(int fd, FirmwareImage& bytes) {
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
        const std::size_t got = bytes.size();
        if (got > static_cast<std::size_t>(kMaxImageSize)) {
            bytes.clear();
            return {ImageFault::TooLarge, 0, 0};
        }
        bytes.resize(got + kChunk);
        const auto n = read(fd, bytes.data() + got, static_cast<unsigned>(kChunk));
        bytes.resize(got + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            bytes.clear();
            return {ImageFault::Unreadable, errno, 0};
        }
        if (n == 0) break;
    }
    if (bytes.empty()) return {ImageFault::Empty, 0, 0};
    return {ImageFault::None, 0, static_cast<std::int32_t>(bytes.size())};
}

}  // namespace

OpenedImage OpenImage(const std::string& path) {
    OpenedImage image;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        image.check.errorNumber = errno;
        image.check.fault = errno == ENOENT ? ImageFault::Missing : ImageFault::Unreadable;
        return image;
    }
    image.check = Judge(info);
    if (!image.check.Opened()) return image;
    const int fd = OpenForReading(path.c_str());
    if (fd < 0) {
        image.check = {ImageFault::Unreadable, errno, 0};
        return image;
    }
    // What was opened is judged again: the name may stand for another file by now. Reads of a
    // regular file never wait, so the non-blocking flag can stay.
    image.check =
        fstat(fd, &info) == 0 ? Judge(info) : ImageCheck{ImageFault::Unreadable, errno, 0};
    if (image.check.Opened() && image.check.size == 0) {
        image.check = ReadToEnd(fd, image.bytes);
    } else if (image.check.Opened()) {
        image.bytes.resize(static_cast<std::size_t>(image.check.size));
        std::size_t got = 0;
        while (got < image.bytes.size()) {
            const auto n =
                read(fd, image.bytes.data() + got, static_cast<unsigned>(image.bytes.size() - got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // Failed, or the file grew shorter since it was measured: nothing is kept.
                image.check = {ImageFault::Unreadable, n < 0 ? errno : 0, 0};
                image.bytes.clear();
                break;
            }
            got += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    return image;
}
