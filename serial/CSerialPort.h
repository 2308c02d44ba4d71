// The serial port object: one for the whole run. It keeps the port name and line settings,
// opens the device and performs the reads and writes the rest of the tool uses.
//
// It does not keep the open device: Open returns a PortHandle, which the caller stores, and
// every operation on the device takes it. Results report failure only (an invalid handle,
// false, a count of 0); callers decide what the operator sees.
//
// Calling order for one opening: Configure, Open, SetTimeouts, SetLineSettings,
// InitOverlapped; then any number of Read and Write; then Close, or CloseForReopening when the
// same port is opened again at once (at another speed).
//
// Thread rules: Configure and Open run on the user-interface thread. Read runs only on the
// receive loop. Write may run on the user-interface thread and the sender at once: the handle
// serialises writes, so they never overlap on the line. Close may run while either waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "serial/LineError.h"
#include "serial/SerialLine.h"
#include "serial/SerialSettings.h"

using PortHandle = std::shared_ptr<SerialLine>;
inline const PortHandle INVALID_PORT_HANDLE{};

class CSerialPort {
  public:
    // opener: how a port name becomes an open line; empty for this platform's devices.
    explicit CSerialPort(LineOpener opener = {}) : opener_(std::move(opener)) {}

    // One read moves at most this many bytes; it is also the size the driver queues stand for.
    static constexpr std::uint32_t READ_BUFFER_SIZE = 4096;

    void Configure(const SerialSettings& settings) { settings_ = settings; }

    // Opens the configured port exclusively. INVALID_PORT_HANDLE when the name names no
    // device, the device is missing, held by another program, not permitted, or no terminal;
    // LastOpenError then tells which.
    PortHandle Open();
    // Why the last Open failed; kind None after one that succeeded.
    const LineError& LastOpenError() const { return lastOpenError_; }

    // Reads never wait (they take only what is queued) and writes have no time-out, so the
    // read-interval time-out has nothing to set on Linux; it is kept for the caller's order of
    // calls. False when the handle is not an open terminal.
    bool SetTimeouts(std::uint32_t readIntervalTimeoutMs, const PortHandle& handle);

    // Applies the stored settings as a raw 8-bit line with XON/XOFF both ways. If the driver
    // refuses them, returns false and touches nothing else; otherwise empties the queues of
    // what they held from before (see SerialLine::DiscardStaleQueues for which).
    bool SetLineSettings(const PortHandle& handle);

    // The waitable events of each opening are the handle's own wake descriptor, created by
    // Open and released by Close, so nothing accumulates over reopenings. Always true.
    bool InitOverlapped();

    // Gives back everything the opening took, and a reservation kept by CloseForReopening
    // (also for an invalid handle). False for an invalid handle.
    bool Close(const PortHandle& handle);
    // Closes the line but keeps the device reserved, so that no other program can take the
    // port before the next Open. That Open builds its line on the reserved device when it
    // names the same port; any other Open, and Close, drop the reservation. False for an
    // invalid handle.
    bool CloseForReopening(const PortHandle& handle);

    // Writes all bytes, waiting as long as the peer holds the line with XOFF. Returns the
    // number written; 0 when a line error was pending (the output queue is then emptied and
    // nothing is written) or the handle is closed.
    std::uint32_t Write(const std::uint8_t* bytes, std::uint32_t count, const PortHandle& handle);

    // Reads the bytes already queued, at most READ_BUFFER_SIZE, and never waits for more.
    // Returns 0 when nothing is queued, a line error was pending (the input queue is then
    // emptied) or the device failed.
    std::uint32_t Read(std::uint8_t (&buffer)[READ_BUFFER_SIZE], const PortHandle& handle);

    // Hex text (see serial/HexText.h): these use none of the port's state.
    static std::uint8_t HexDigitValue(char c);
    static std::int32_t HexTextToBytes(std::string_view text, std::uint8_t* destination);

    const std::string& PortName() const { return settings_.portName; }
    std::uint32_t BaudRate() const { return settings_.baudRate; }

  private:
    LineOpener opener_;
    SerialSettings settings_;
    LineError lastOpenError_;
    std::unique_ptr<PortReservation> reservation_;  // of the port named reservedName_
    std::string reservedName_;
};
