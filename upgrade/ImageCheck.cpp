#include "upgrade/ImageCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#endif

#include <cerrno>
#include <limits>

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
        // Only a regular file has a size that tells what it holds: /dev/zero and the files
        // under /proc report 0 and FIFOs nothing.
        check.fault = ImageFault::NotRegularFile;
    } else if (info.st_size == 0) {
        check.fault = ImageFault::Empty;
    } else if (info.st_size > std::numeric_limits<std::int32_t>::max()) {
        check.fault = ImageFault::TooLarge;
    } else {
        check.fault = ImageFault::None;
        check.size = static_cast<std::int32_t>(info.st_size);
    }
    return check;
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
    // What was opened is judged again: the name may stand for another file by now.
    image.check =
        fstat(fd, &info) == 0 ? Judge(info) : ImageCheck{ImageFault::Unreadable, errno, 0};
    // Reads of a regular file never wait: the non-blocking flag can stay.
    std::FILE* file = image.check.Opened() ? fdopen(fd, "rb") : nullptr;
    if (!file) {
        if (image.check.Opened()) image.check = {ImageFault::Unreadable, errno, 0};
        close(fd);
        return image;
    }
    image.stream = FirmwareStream(file, [](std::FILE* f) { std::fclose(f); });
    return image;
}
