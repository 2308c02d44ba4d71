// Why a port did not open, as the platform lines report it: the kind, for deciding, and the
// errno value, for telling the operator (strerror). Every opener returns one with its line
// (see serial/OpenResult.h).
#pragma once

enum class LineErrorKind {
    None,              // the opening succeeded
    NoSuchDevice,      // the name names no device, or the device is missing
    Busy,              // another program (or another opening) holds the device
    NotPermitted,      // the device may not be opened by this user
    NotASerialDevice,  // it opened, but it is no terminal or communications device
    HostNotFound,      // a network port's host name does not resolve (errorNumber 0)
    Other,             // anything else: errorNumber tells what
};

struct LineError {
    LineErrorKind kind = LineErrorKind::None;
    int errorNumber = 0;  // the errno value that explains it; 0 when there is none to give

    // The kind an errno value stands for, with that value; None for 0.
    static LineError FromErrno(int errorNumber);

    friend bool operator==(const LineError&, const LineError&) = default;
};
