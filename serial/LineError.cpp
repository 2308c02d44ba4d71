#include "serial/LineError.h"

#include <cerrno>

LineError LineError::FromErrno(int errorNumber) {
    switch (errorNumber) {
        case 0:
            return {};
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return {LineErrorKind::NoSuchDevice, errorNumber};
        case EBUSY:
            return {LineErrorKind::Busy, errorNumber};
        case EACCES:
        case EPERM:
            return {LineErrorKind::NotPermitted, errorNumber};
        case ENOTTY:
            return {LineErrorKind::NotASerialDevice, errorNumber};
        default:
            return {LineErrorKind::Other, errorNumber};
    }
}
