// A TCP connection to a serial device server: the small platform layer under NetConnection
// (serial/net/posix/ on BSD sockets, serial/net/win32/ on Winsock), non-blocking, with
// TCP_NODELAY and keepalive set so that a server that vanished is found out (see
// docs/network.md for the bounds).
//
// Thread rules: one thread receives, any number send (their caller serialises them), and
// Shutdown may come from any thread: it ends every wait at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/LineError.h"

class NetSocket {
  public:
    struct Connected {
        std::unique_ptr<NetSocket> socket;  // null when the connection failed
        LineError error;                    // HostNotFound, or an errno value (ETIMEDOUT...)
    };
    // Resolves host and connects to the first of its addresses that answers, each within
    // timeout; no attempt waits longer.
    static Connected Connect(const std::string& host, std::uint16_t port,
                             std::chrono::milliseconds timeout);

    ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    enum class Ready { Yes, TimedOut, Failed };
    // Waits at most timeout for room to send or for bytes (or the end of the stream) to read.
    Ready WaitWritable(std::chrono::milliseconds timeout) const;
    Ready WaitReadable(std::chrono::milliseconds timeout) const;

    // Sends what the connection takes now: the count, 0 when it takes nothing, -1 when it failed.
    long Send(const std::uint8_t* bytes, std::size_t count);
    // Receives what has come: the count, 0 when nothing waits, -1 when the stream has ended
    // (the server closed it) or failed.
    long Receive(std::uint8_t* buffer, std::size_t maxBytes);

    // Bytes sent but not yet acknowledged by the server (SIOCOUTQ), -1 when that cannot be
    // told; 0 where the platform has no such count.
    int Unacknowledged() const;

    // Ends the connection both ways: every wait returns, later sends and receives fail.
    void Shutdown();

  private:
    explicit NetSocket(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;
};
