// Line settings through the kernel's termios2 interface, which takes any speed in baud
// (BOTHER), 128000 and 256000 included, where cfsetspeed() knows only the standard rates.
// Kept apart because <asm/termbits.h> cannot be included together with <termios.h>.
//
// All functions act on an open terminal descriptor, are safe to call from any thread, and
// report failure by their result only (errno tells why).
#pragma once

#include <cstdint>
#include <optional>

#include "serial/SerialSettings.h"

struct termios2;  // <asm/termbits.h>

namespace termios2_io {

// Raw binary 8-bit line with XON/XOFF (0x11/0x13) in both directions, no hardware flow
// control, receiver on, modem lines ignored. False when the driver refuses the settings or
// a value has no termios equivalent.
bool ApplyRawSettings(int fd, const SerialSettings& settings);

// The record ApplyRawSettings hands the driver, built anew from the settings alone (a
// pseudo-terminal forces some of it, such as the character size, whatever it is given). False,
// with tio untouched, when a value has no termios equivalent.
bool BuildRawSettings(const SerialSettings& settings, struct termios2& tio);

// The speed the driver reports for the descriptor's line (either side of a pseudo-terminal).
std::optional<std::uint32_t> ReadBaudRate(int fd);

// True when the descriptor is a terminal whose settings can be read.
bool IsTerminal(int fd);

// Resumes output held by an XOFF received earlier (the driver keeps that state across
// openings of the same device).
bool RestartOutput(int fd);

// Empty the driver's input queue, output queue, or both.
bool DiscardInput(int fd);
bool DiscardOutput(int fd);

}  // namespace termios2_io
