// A serial line on a serial device server (see serial/net/NetPortName.h for the names and
// docs/network.md for what a server must do): the line's bytes go over TCP, in RFC 2217 mode
// escaped, with every line setting sent to the server and confirmed by its answer. Thread
// rules as for every SerialLine.
//
// Closing the line for a reopening (CloseKeepingDevice) keeps the connection: the reservation
// hands the next line the same connection, as a local port keeps its device held.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "serial/SerialLine.h"
#include "serial/net/NetConnection.h"

class NetworkLine final : public SerialLine {
  public:
    // As few writes a frame as the send path allows: each write is a TCP segment of its own, and
    // the server's port paces the bytes anyway.
    std::size_t PreferredWriteSize() const override { return 65536; }
    // How long the server has to answer a setting (and to agree to COM-PORT commands at all).
    static constexpr std::chrono::milliseconds kAnswerWait{5000};

    // Connects to the server a network port name names (within NetConnection::kConnectTimeout);
    // a name that is no network port's gives NoSuchDevice.
    static LineOpenResult Open(const std::string& portName);

    ~NetworkLine() override;
    NetworkLine(const NetworkLine&) = delete;
    NetworkLine& operator=(const NetworkLine&) = delete;

    // RFC 2217: sends speed, data size, parity, stop size and XON/XOFF both ways; false unless
    // the server has agreed to COM-PORT commands and answers each with the value asked for,
    // all within kAnswerWait. Raw TCP: true for 115200 8N1 only, the speed the server's port is
    // taken to run at; nothing is sent.
    bool ApplySettings(const SerialSettings& settings) override;
    bool IsUsable() const override;
    // Line errors the server reported with NOTIFY-LINESTATE (RFC 2217 only).
    bool TakeLineErrors() override;
    int BytesQueued() const override;
    // Bytes the server has not yet acknowledged (Linux); 0 on Windows, which cannot tell.
    int OutputQueued() const override;
    long ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) override;
    std::size_t WriteAll(const std::uint8_t* bytes, std::size_t count) override;
    WaitResult WaitForInput() override;
    // Input: what has come is dropped, and in RFC 2217 mode the server is asked to drop what its
    // port has received (PURGE-DATA). Output: the server is asked to drop what its port has
    // still to send; bytes on their way to it cannot be called back.
    bool DiscardInput() override;
    bool DiscardOutput() override;
    void DiscardStaleQueues() override;
    void Close() override;
    bool IsClosed() const override { return closed_.load(); }
    std::unique_ptr<PortReservation> CloseKeepingDevice() override;

  private:
    class Reservation;
    NetworkLine(std::shared_ptr<NetConnection> connection, bool reopened);
    std::shared_ptr<NetConnection> CloseLine();
    bool Purge(std::uint8_t which);

    std::shared_ptr<NetConnection> connection_;  // null once closed
    std::atomic<bool> closed_{false};
    mutable std::mutex readMutex_, writeMutex_, controlMutex_, closeMutex_;
    const bool reopened_;
};
