#include "serial/net/NetSocket.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
// clang-format on

#include <cerrno>
#include <mutex>
#include <string>

namespace {

// Winsock is started once for the process, the first time a connection is made.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// The errno value a Winsock error stands for, so that the messages read as on Linux.
int ErrnoFor(int wsaError) {
    switch (wsaError) {
        case WSAETIMEDOUT:
            return ETIMEDOUT;
        case WSAECONNREFUSED:
            return ECONNREFUSED;
        case WSAENETUNREACH:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAEACCES:
            return EACCES;
        default:
            return EIO;
    }
}

// Keepalive probes after 5 s of silence, every 2 s (Windows gives up after ten unanswered:
// about 25 s); TCP_NODELAY for the short writes of the handshake.
void KeepWatch(SOCKET s) {
    tcp_keepalive values{1, 5000, 2000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

NetSocket::Ready WaitFor(SOCKET s, short events, std::chrono::milliseconds timeout) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    const int r = WSAPoll(&p, 1, static_cast<INT>(timeout.count()));
    if (r < 0) return NetSocket::Ready::Failed;
    if (r == 0) return NetSocket::Ready::TimedOut;
    if (p.revents & POLLNVAL) return NetSocket::Ready::Failed;
    return NetSocket::Ready::Yes;
}

SOCKET ConnectTo(const addrinfo& address, std::chrono::milliseconds timeout, int& error) {
    SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = ErrnoFor(WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            error = ErrnoFor(WSAGetLastError());
            closesocket(s);
            return INVALID_SOCKET;
        }
        const auto ready = WaitFor(s, POLLWRNORM, timeout);
        int status = 0;
        int length = sizeof status;
        if (ready == NetSocket::Ready::TimedOut) {
            status = WSAETIMEDOUT;
        } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) !=
                   0) {
            status = WSAGetLastError();
        }
        if (status != 0) {
            error = ErrnoFor(status);
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    KeepWatch(s);
    return s;
}

}  // namespace

NetSocket::Connected NetSocket::Connect(const std::string& host, std::uint16_t port,
                                        std::chrono::milliseconds timeout) {
    if (!StartWinsock()) return {nullptr, LineError::FromErrno(EIO)};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return {nullptr, {LineErrorKind::HostNotFound, 0}};
    int error = ENOENT;
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next)
        s = ConnectTo(*a, timeout, error);
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) return {nullptr, LineError::FromErrno(error)};
    return {std::unique_ptr<NetSocket>(new NetSocket(static_cast<std::intptr_t>(s))), {}};
}

NetSocket::~NetSocket() {
    closesocket(static_cast<SOCKET>(handle_));
}

NetSocket::Ready NetSocket::WaitWritable(std::chrono::milliseconds timeout) const {
    return WaitFor(static_cast<SOCKET>(handle_), POLLWRNORM, timeout);
}

NetSocket::Ready NetSocket::WaitReadable(std::chrono::milliseconds timeout) const {
    return WaitFor(static_cast<SOCKET>(handle_), POLLRDNORM, timeout);
}

long NetSocket::Send(const std::uint8_t* bytes, std::size_t count) {
    const int n = send(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(bytes),
                       static_cast<int>(count), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long NetSocket::Receive(std::uint8_t* buffer, std::size_t maxBytes) {
    const int n = recv(static_cast<SOCKET>(handle_), reinterpret_cast<char*>(buffer),
                       static_cast<int>(maxBytes), 0);
    if (n > 0) return n;
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return -1;
}

int NetSocket::Unacknowledged() const {
    return 0;  // Winsock has no count of bytes the server has not acknowledged
}

void NetSocket::Shutdown() {
    shutdown(static_cast<SOCKET>(handle_), SD_BOTH);
}
