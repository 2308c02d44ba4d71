#include "serial/net/NetConnection.h"

#include <algorithm>

namespace {
constexpr std::chrono::milliseconds kSlice{200};  // how often a waiting send looks at its stop
const std::atomic<bool> kNeverStop{false};
}  // namespace

NetConnection::Opened NetConnection::Connect(const NetPortName& name) {
    auto [socket, error] = NetSocket::Connect(name.host, name.port, kConnectTimeout);
    if (!socket) return {nullptr, error};
    const bool telnet = name.mode == NetPortName::Mode::Rfc2217;
    std::shared_ptr<NetConnection> connection(new NetConnection(std::move(socket), telnet));
    if (telnet) {
        std::vector<std::uint8_t> offers;
        {
            std::lock_guard lock(connection->mutex_);
            offers = connection->codec_->Offers();
        }
        if (!connection->SendRaw(offers, kNeverStop))
            return {nullptr, LineError::FromErrno(ECONNRESET)};
    }
    connection->reader_ = std::thread([c = connection.get()] { c->ReadUntilEnd(); });
    return {std::move(connection), {}};
}

NetConnection::NetConnection(std::unique_ptr<NetSocket> socket, bool telnet)
    : socket_(std::move(socket)) {
    if (telnet) codec_.emplace();
}

NetConnection::~NetConnection() {
    stopping_ = true;
    socket_->Shutdown();
    if (reader_.joinable()) reader_.join();
}

void NetConnection::ReadUntilEnd() {
    std::uint8_t buffer[4096];
    while (!stopping_) {
        const auto ready = socket_->WaitReadable(kSlice);
        if (ready == NetSocket::Ready::TimedOut) continue;
        const long n =
            ready == NetSocket::Ready::Yes ? socket_->Receive(buffer, sizeof buffer) : -1;
        if (n == 0) continue;
        if (n < 0) break;
        TelnetCodec::Decoded decoded;
        {
            std::lock_guard lock(mutex_);
            if (codec_) {
                codec_->Feed({buffer, static_cast<std::size_t>(n)}, decoded);
                comPortAgreed_ = codec_->ComPortAgreed();
            } else {
                decoded.data.assign(buffer, buffer + n);
            }
            input_.insert(input_.end(), decoded.data.begin(), decoded.data.end());
            for (auto& answer : decoded.answers) {
                // NOTIFY-LINESTATE: overrun, parity, framing error or break on the server's port.
                if (answer.command == TelnetCodec::kNotifyLineState + TelnetCodec::kServerOffset) {
                    if (!answer.value.empty() && (answer.value[0] & 0x1E)) lineErrors_ = true;
                    continue;
                }
                answers_.push_back(std::move(answer));
            }
        }
        changed_.notify_all();
        if (!decoded.replies.empty()) SendRaw(decoded.replies, stopping_);
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool NetConnection::SendRaw(std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop) {
    std::lock_guard lock(sendMutex_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (stop || stopping_ || ended_) return false;
        const long n = socket_->Send(bytes.data() + done, bytes.size() - done);
        if (n < 0) return false;
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (socket_->WaitWritable(kSlice) == NetSocket::Ready::Failed) {
            return false;
        }
    }
    return true;
}

std::size_t NetConnection::SendData(const std::uint8_t* bytes, std::size_t count,
                                    const std::atomic<bool>& stop) {
    if (!codec_) return SendRaw({bytes, count}, stop) ? count : 0;
    // In pieces, so that a send cut short still tells how much of the caller's bytes went.
    constexpr std::size_t kPiece = 256;
    std::size_t done = 0;
    std::vector<std::uint8_t> escaped;
    while (done < count) {
        const std::size_t piece = std::min(kPiece, count - done);
        escaped.clear();
        TelnetCodec::Escape({bytes + done, piece}, escaped);
        if (!SendRaw(escaped, stop)) break;
        done += piece;
    }
    return done;
}

bool NetConnection::SendCommand(std::uint8_t command, std::span<const std::uint8_t> value) {
    return SendRaw(TelnetCodec::ComPortCommand(command, value), kNeverStop);
}

bool NetConnection::AwaitComPort(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return comPortAgreed_ || ended_; }) &&
           comPortAgreed_;
}

void NetConnection::ForgetAnswers() {
    std::lock_guard lock(mutex_);
    answers_.clear();
}

std::optional<std::vector<std::uint8_t>> NetConnection::AwaitAnswer(
    std::uint8_t command, std::chrono::steady_clock::time_point deadline) {
    const std::uint8_t answer = command + TelnetCodec::kServerOffset;
    std::unique_lock lock(mutex_);
    std::optional<std::vector<std::uint8_t>> value;
    changed_.wait_until(lock, deadline, [&] {
        const auto found = std::find_if(answers_.begin(), answers_.end(),
                                        [&](const auto& a) { return a.command == answer; });
        if (found != answers_.end()) {
            value = std::move(found->value);
            answers_.erase(found);
        }
        return value || ended_;
    });
    return value;
}

bool NetConnection::AwaitAcknowledged(std::chrono::steady_clock::time_point deadline) {
    // The acknowledgement comes with no event to wait for: looked at every 10 ms, for a second at
    // most in practice (the bytes before a change of speed are a 7-byte command).
    for (;;) {
        const int waiting = Unacknowledged();
        if (waiting == 0) return true;
        if (waiting < 0 || std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(10), [this] { return ended_.load(); });
    }
}

std::size_t NetConnection::Queued() const {
    std::lock_guard lock(mutex_);
    return input_.size();
}

std::size_t NetConnection::Read(std::uint8_t* buffer, std::size_t maxBytes) {
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min(maxBytes, input_.size());
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void NetConnection::DropInput() {
    std::lock_guard lock(mutex_);
    input_.clear();
}

NetConnection::Waited NetConnection::WaitForInput(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !input_.empty() || ended_ || stop; });
    if (stop) return Waited::Stopped;
    if (!input_.empty()) return Waited::Input;
    return Waited::Ended;
}

void NetConnection::Wake() {
    { std::lock_guard lock(mutex_); }  // a waiter between its check and its wait is now waiting
    changed_.notify_all();
}
