#include "serial/net/NetSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// A server that stops answering is given up: keepalive probes after 5 s of silence, every 2 s,
// three unanswered (about 11 s), and sent data unacknowledged for 15 s.
void KeepWatch(int fd) {
    const int on = 1, idle = 5, interval = 2, count = 3;
    const unsigned userTimeoutMs = 15000;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

NetSocket::Ready WaitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p = {fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r < 0) return errno == EINTR ? NetSocket::Ready::TimedOut : NetSocket::Ready::Failed;
    if (r == 0) return NetSocket::Ready::TimedOut;
    if (p.revents & POLLNVAL) return NetSocket::Ready::Failed;
    return NetSocket::Ready::Yes;  // POLLERR and POLLHUP too: the next call says what happened
}

// One address: a non-blocking connect, waited for at most timeout. The socket, or -1 and errno.
int ConnectTo(const addrinfo& address, std::chrono::milliseconds timeout, int& error) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
            close(fd);
            return -1;
        }
        const auto ready = WaitFor(fd, POLLOUT, timeout);
        int status = 0;
        socklen_t length = sizeof status;
        if (ready == NetSocket::Ready::TimedOut) {
            status = ETIMEDOUT;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0) {
            status = errno;
        }
        if (status != 0) {
            error = status;
            close(fd);
            return -1;
        }
    }
    KeepWatch(fd);
    return fd;
}

}  // namespace

NetSocket::Connected NetSocket::Connect(const std::string& host, std::uint16_t port,
                                        std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        if (status == EAI_SYSTEM) return {nullptr, LineError::FromErrno(errno)};
        return {nullptr, {LineErrorKind::HostNotFound, 0}};
    }
    int error = ENOENT;
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) fd = ConnectTo(*a, timeout, error);
    freeaddrinfo(found);
    if (fd < 0) return {nullptr, LineError::FromErrno(error)};
    return {std::unique_ptr<NetSocket>(new NetSocket(fd)), {}};
}

NetSocket::~NetSocket() {
    close(static_cast<int>(handle_));
}

NetSocket::Ready NetSocket::WaitWritable(std::chrono::milliseconds timeout) const {
    return WaitFor(static_cast<int>(handle_), POLLOUT, timeout);
}

NetSocket::Ready NetSocket::WaitReadable(std::chrono::milliseconds timeout) const {
    return WaitFor(static_cast<int>(handle_), POLLIN, timeout);
}

long NetSocket::Send(const std::uint8_t* bytes, std::size_t count) {
    const ssize_t n = send(static_cast<int>(handle_), bytes, count, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

long NetSocket::Receive(std::uint8_t* buffer, std::size_t maxBytes) {
    const ssize_t n = recv(static_cast<int>(handle_), buffer, maxBytes, 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
}

int NetSocket::Unacknowledged() const {
    int waiting = 0;
    if (ioctl(static_cast<int>(handle_), SIOCOUTQ, &waiting) != 0) return -1;
    return waiting;
}

void NetSocket::Shutdown() {
    shutdown(static_cast<int>(handle_), SHUT_RDWR);
}
