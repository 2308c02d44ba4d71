#include "serial/net/NetworkLine.h"

#include <array>
#include <cerrno>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kPurgeWait{1000};
constexpr std::uint32_t kRawSocketBaud = 115200;

// RFC 2217's values for the settings' codes.
std::uint8_t ParityValue(std::uint8_t parity) {
    return static_cast<std::uint8_t>(parity + 1);  // NONE 1, ODD 2, EVEN 3, MARK 4, SPACE 5
}
std::uint8_t StopSizeValue(std::uint8_t stopBits) {
    return stopBits == 0 ? 1 : stopBits == 1 ? 3 : 2;  // 1, 1.5 (3), 2
}
constexpr std::uint8_t kXonXoffOutbound = 2, kXonXoffInbound = 15;
constexpr std::uint8_t kPurgeReceived = 1, kPurgeToSend = 2;

}  // namespace

LineOpenResult NetworkLine::Open(const std::string& portName) {
    const auto name = NetPortName::Parse(portName);
    if (!name) return {nullptr, LineError::FromErrno(ENOENT)};
    auto [connection, error] = NetConnection::Connect(*name);
    if (!connection) return {nullptr, error};
    return {std::shared_ptr<NetworkLine>(new NetworkLine(std::move(connection), false)), {}};
}

// A connection whose line was closed for a reopening: the next line goes on over it.
class NetworkLine::Reservation final : public PortReservation {
  public:
    explicit Reservation(std::shared_ptr<NetConnection> connection)
        : connection_(std::move(connection)) {}
    LineOpenResult OpenLine() override {
        if (connection_->Ended()) return {nullptr, LineError::FromErrno(ECONNRESET)};
        return {std::shared_ptr<NetworkLine>(new NetworkLine(std::move(connection_), true)), {}};
    }

  private:
    std::shared_ptr<NetConnection> connection_;
};

NetworkLine::NetworkLine(std::shared_ptr<NetConnection> connection, bool reopened)
    : connection_(std::move(connection)), reopened_(reopened) {}

NetworkLine::~NetworkLine() {
    Close();
}

bool NetworkLine::ApplySettings(const SerialSettings& settings) {
    std::lock_guard lock(controlMutex_);
    if (closed_ || connection_->Ended()) return false;
    if (!connection_->Telnet())
        return settings.baudRate == kRawSocketBaud && settings.byteSize == 8 &&
               settings.parity == 0 && settings.stopBits == 0;
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    if (!connection_->AwaitComPort(deadline)) return false;
    const std::uint32_t baud = settings.baudRate;
    struct Setting {
        std::uint8_t command;
        std::vector<std::uint8_t> value;
        bool confirmed;  // the answer must carry the value asked for
    };
    // Inbound XON/XOFF (the server's port holding the head) is asked for but not required:
    // ser2net 4.3 answers it with its own inbound flow setting, and the head only ever sends
    // one-byte answers, which never fill the server's buffer.
    const std::vector<Setting> settingsToSend = {
        {TelnetCodec::kSetBaudRate,
         {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
          static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)},
         true},
        {TelnetCodec::kSetDataSize, {settings.byteSize}, true},
        {TelnetCodec::kSetParity, {ParityValue(settings.parity)}, true},
        {TelnetCodec::kSetStopSize, {StopSizeValue(settings.stopBits)}, true},
        {TelnetCodec::kSetControl, {kXonXoffOutbound}, true},
        {TelnetCodec::kSetControl, {kXonXoffInbound}, false},
    };
    connection_->ForgetAnswers();
    for (const auto& setting : settingsToSend)
        if (!connection_->SendCommand(setting.command, setting.value)) return false;
    // Overrun, parity, framing errors and breaks are to be reported; a server that does not
    // report them is still used (its answer is not waited for).
    const std::uint8_t mask = 0x1E;
    connection_->SendCommand(TelnetCodec::kSetLineStateMask, {&mask, 1});
    for (const auto& setting : settingsToSend) {
        const auto answer = connection_->AwaitAnswer(setting.command, deadline);
        if (!answer || (setting.confirmed && *answer != setting.value)) return false;
    }
    return true;
}

bool NetworkLine::IsUsable() const {
    std::lock_guard lock(controlMutex_);
    return !closed_ && !connection_->Ended();
}

bool NetworkLine::TakeLineErrors() {
    std::lock_guard lock(controlMutex_);
    return !closed_ && connection_->TakeLineErrors();
}

int NetworkLine::BytesQueued() const {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    return static_cast<int>(connection_->Queued());
}

int NetworkLine::OutputQueued() const {
    std::lock_guard lock(controlMutex_);
    if (closed_) return -1;
    return connection_->Unacknowledged();
}

long NetworkLine::ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) {
    std::lock_guard lock(readMutex_);
    if (closed_) return -1;
    const std::size_t n = connection_->Read(buffer, maxBytes);
    if (n == 0 && connection_->Ended()) return -1;
    return static_cast<long>(n);
}

std::size_t NetworkLine::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(writeMutex_);
    if (closed_) return 0;
    return connection_->SendData(bytes, count, closed_);
}

SerialLine::WaitResult NetworkLine::WaitForInput() {
    std::lock_guard lock(readMutex_);
    if (closed_) return WaitResult::Closed;
    switch (connection_->WaitForInput(closed_)) {
        case NetConnection::Waited::Input:
            return WaitResult::InputReady;
        case NetConnection::Waited::Ended:
            return WaitResult::HungUp;
        case NetConnection::Waited::Stopped:
            break;
    }
    return WaitResult::Closed;
}

bool NetworkLine::Purge(std::uint8_t which) {
    // What the server forwarded before it purged comes before its answer: once the answer is
    // in, nothing from before the purge is on its way any more.
    if (!connection_->Telnet()) return true;
    if (!connection_->SendCommand(TelnetCodec::kPurgeData, {&which, 1})) return false;
    connection_->AwaitAnswer(TelnetCodec::kPurgeData,
                             std::chrono::steady_clock::now() + kPurgeWait);
    return true;
}

bool NetworkLine::DiscardInput() {
    std::lock_guard lock(readMutex_);
    if (closed_) return false;
    const bool purged = Purge(kPurgeReceived);
    connection_->DropInput();
    return purged;
}

bool NetworkLine::DiscardOutput() {
    std::lock_guard lock(controlMutex_);
    return !closed_ && Purge(kPurgeToSend);
}

void NetworkLine::DiscardStaleQueues() {
    // As on a local device: a reopening on the same connection keeps what is still going out
    // (the start-upgrade command, before the change to 115200).
    DiscardInput();
    if (!reopened_) DiscardOutput();
}

std::shared_ptr<NetConnection> NetworkLine::CloseLine() {
    std::lock_guard closeLock(closeMutex_);
    if (closed_.exchange(true)) return nullptr;
    connection_->Wake();  // a wait for input returns; a waiting send within 200 ms
    std::lock_guard readLock(readMutex_);
    std::lock_guard writeLock(writeMutex_);
    std::lock_guard controlLock(controlMutex_);
    return std::move(connection_);
}

void NetworkLine::Close() {
    CloseLine();
}

std::unique_ptr<PortReservation> NetworkLine::CloseKeepingDevice() {
    auto connection = CloseLine();
    if (!connection) return nullptr;  // closed already
    // A connection the server has ended is kept too: the reopening then fails, as on a device
    // that went away, instead of quietly connecting anew.
    return std::make_unique<Reservation>(std::move(connection));
}
