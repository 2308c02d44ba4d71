// One open serial device: the small platform layer under CSerialPort. Each platform has its
// own implementation (serial/posix/ on the POSIX terminal calls), chosen at build time, and
// tests may put a line of their own in its place.
//
// Thread rules, for every implementation: every call may come from any thread. Read-side
// calls (BytesQueued, ReadQueued, WaitForInput, DiscardInput) are meant for one thread, the
// receive loop (OutputQueued may be asked from any); WriteAll serialises its callers, so two writes never interleave on the line;
// Close wakes every wait in progress and is safe to call more than once. After Close every
// call fails at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/OpenResult.h"
#include "serial/SerialSettings.h"

class SerialLine;
using LineOpenResult = OpenResult<SerialLine>;

// A device that a closed line left held for its next opening (see
// SerialLine::CloseKeepingDevice): no other program can open it meanwhile. Destroying the
// reservation releases the device.
class PortReservation {
  public:
    virtual ~PortReservation() = default;
    // A line on the reserved device, set up as a fresh opening would be, except that
    // DiscardStaleQueues empties input only: output the last opening handed over may still be
    // going out. Takes the device over; a failure releases it.
    virtual LineOpenResult OpenLine() = 0;
};

class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // Applies the line settings (the port name is not looked at). False when the driver
    // refuses them or a value has no equivalent there.
    virtual bool ApplySettings(const SerialSettings& settings) = 0;

    // True while the device still answers requests (it has not been closed).
    virtual bool IsUsable() const = 0;

    // True when the driver has counted a frame, overrun, parity, break or buffer-overrun error
    // since the last call (or since opening).
    virtual bool TakeLineErrors() = 0;

    // Bytes waiting in the driver's input queue, or -1 when the device cannot be asked.
    virtual int BytesQueued() const = 0;

    // Bytes handed over by writes that still wait in the driver's output queue (not yet on the
    // wire: a peer's XOFF holds them, or the line is slower than the writer), or -1 when the
    // driver cannot tell or the line is closed. A pseudo-terminal always says 0; a USB
    // adapter's own FIFO (a few hundred bytes at most) is beyond what any driver reports.
    virtual int OutputQueued() const = 0;

    // The most bytes one write of a long run of bytes (a firmware frame) should hold. A USB-serial
    // adapter sends each write as a transfer of its own, so a device line takes one full-speed USB
    // packet at a time (64); a network line sends each write as a segment of its own, and takes as
    // much at once as it is given.
    virtual std::size_t PreferredWriteSize() const { return 64; }

    // Reads at most maxBytes of what is queued, never waiting. Returns the count, 0 when
    // nothing was read, -1 on an error of the device (such as the far side gone).
    virtual long ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) = 0;

    // Hands all bytes to the driver, waiting while it takes no more (a peer's XOFF holds it
    // until XON, with no time-out). Returns the number of bytes handed over: fewer than asked
    // only when the line was closed or failed meanwhile.
    virtual std::size_t WriteAll(const std::uint8_t* bytes, std::size_t count) = 0;

    enum class WaitResult {
        InputReady,  // at least one byte waits
        Closed,      // Close was called
        HungUp,  // the device is gone (the far side of a pseudo-terminal closed, adapter pulled)
        Failed,  // the wait itself failed
    };
    // Blocks until a byte arrives, the line is closed, or the device goes away. No polling.
    virtual WaitResult WaitForInput() = 0;

    virtual bool DiscardInput() = 0;
    virtual bool DiscardOutput() = 0;
    // Once a new opening's settings are applied: empties what the driver still holds from
    // before. Input always; output only where that cannot cut off bytes an earlier opening
    // handed over and the device may still be sending. Each platform decides which.
    virtual void DiscardStaleQueues() = 0;

    // Releases everything opening took, after waking every wait and letting every call in
    // progress return. Output that a write cut short left in the driver is discarded.
    virtual void Close() = 0;
    virtual bool IsClosed() const = 0;

    // Closes the line as Close does, but keeps the device held and hands it to the
    // reservation returned, for a reopening of the same port. Null when the line keeps
    // nothing (it is then simply closed, and the port is opened afresh).
    virtual std::unique_ptr<PortReservation> CloseKeepingDevice() {
        Close();
        return nullptr;
    }
};

// Opens a port by the name the operator gave ("COMn" or a device path): the line, or null and
// why not. Handed to CSerialPort, so that tests and other front ends choose the devices.
using LineOpener = std::function<LineOpenResult(const std::string& portName)>;

// This platform's device for a port name, opened exclusively (see serial/PortNames.h for the
// names).
LineOpenResult OpenPlatformLine(const std::string& portName);
