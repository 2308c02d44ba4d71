// One connection to a serial device server, shared by the NetworkLines opened on it one after
// another (a line closed for a reopening hands it to the next): the socket, a reader thread
// that takes everything the server sends, the Telnet codec in RFC 2217 mode, and what was
// read: the line's bytes, the server's COM-PORT answers, line errors it reported.
//
// Thread rules: every call may come from any thread; sends are serialised. The reader thread
// ends when the server closes the connection or the connection is destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "serial/LineError.h"
#include "serial/net/NetPortName.h"
#include "serial/net/NetSocket.h"
#include "serial/net/TelnetCodec.h"

class NetConnection {
  public:
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};

    struct Opened {
        std::shared_ptr<NetConnection> connection;
        LineError error;
    };
    // Connects; in RFC 2217 mode also sends the Telnet offers (their answers come later).
    static Opened Connect(const NetPortName& name);
    ~NetConnection();
    NetConnection(const NetConnection&) = delete;
    NetConnection& operator=(const NetConnection&) = delete;

    bool Telnet() const { return codec_.has_value(); }
    // True once the server has closed the connection or it failed.
    bool Ended() const { return ended_.load(); }

    // Sends the line's bytes (escaped in RFC 2217 mode), waiting while the connection takes
    // nothing, until all went or stop is set (looked at every 200 ms of waiting). The count of
    // the caller's bytes that went: fewer only when stop was set or the connection failed.
    std::size_t SendData(const std::uint8_t* bytes, std::size_t count,
                         const std::atomic<bool>& stop);
    // Sends a COM-PORT command (RFC 2217 mode only). False when the connection failed.
    bool SendCommand(std::uint8_t command, std::span<const std::uint8_t> value);

    // Waits until the server has agreed to COM-PORT commands, at most until deadline.
    bool AwaitComPort(std::chrono::steady_clock::time_point deadline);
    // Forgets every answer not yet taken.
    void ForgetAnswers();
    // The value of the server's next answer to command (the client's command number), waited
    // for until deadline; nothing when none came or the connection ended.
    std::optional<std::vector<std::uint8_t>> AwaitAnswer(
        std::uint8_t command, std::chrono::steady_clock::time_point deadline);
    // Waits until the server has acknowledged every byte sent, at most until deadline.
    bool AwaitAcknowledged(std::chrono::steady_clock::time_point deadline);

    // The line's bytes that have come and wait.
    std::size_t Queued() const;
    std::size_t Read(std::uint8_t* buffer, std::size_t maxBytes);
    void DropInput();
    // Blocks until a byte waits, the connection ends, or stop is set and Wake called.
    enum class Waited { Input, Ended, Stopped };
    Waited WaitForInput(const std::atomic<bool>& stop);
    // Wakes every WaitForInput, so that each looks at its stop flag again.
    void Wake();
    // True when the server has reported a line error since the last call.
    bool TakeLineErrors() { return lineErrors_.exchange(false); }
    int Unacknowledged() const { return ended_ ? -1 : socket_->Unacknowledged(); }

  private:
    explicit NetConnection(std::unique_ptr<NetSocket> socket, bool telnet);
    void ReadUntilEnd();
    bool SendRaw(std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop);

    std::unique_ptr<NetSocket> socket_;
    std::optional<TelnetCodec> codec_;  // in RFC 2217 mode; used by the reader thread only...
    std::mutex sendMutex_;
    mutable std::mutex mutex_;  // ...except ComPortAgreed, asked under this lock
    std::condition_variable changed_;
    std::deque<std::uint8_t> input_;                  // under mutex_
    std::deque<TelnetCodec::ComPortAnswer> answers_;  // under mutex_
    bool comPortAgreed_ = false;                      // under mutex_
    std::atomic<bool> lineErrors_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};
