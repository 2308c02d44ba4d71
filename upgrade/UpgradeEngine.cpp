// The engine's port control, send path, firmware file and sender start.
#include "upgrade/UpgradeEngine.h"

#include <limits>
#include <thread>

#include "serial/HexText.h"
#include "upgrade/Sender.h"

namespace {
constexpr std::uint32_t kReadIntervalTimeoutMs = 600000;  // ten minutes
}

void SystemClock::Sleep(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}

UpgradeEngine::UpgradeEngine(EngineObserver& observer, Options options)
    : observer_(observer), clock_(options.clock ? *options.clock : SystemClock::Instance()) {
    state_.portHandle = INVALID_PORT_HANDLE;
    state_.serialPort = std::make_unique<CSerialPort>(std::move(options.openLine));
    lineSettings_.baudRate = UPGRADE_BAUD_RATE;
}

UpgradeEngine::~UpgradeEngine() {
    StopAll();
}

void UpgradeEngine::StopAll() {
    // Senders are asked to end first, then the port is closed (which ends the receive loop and
    // any write held by XOFF), then the threads are waited for.
    if (state_.senderThread) state_.senderThread->RequestStop();
    for (auto& sender : retiredSenders_) sender->RequestStop();
    ClosePortAndLoop();
    state_.portOpen = false;
    state_.senderThread.reset();
    retiredSenders_.clear();
}

// --- The port

bool UpgradeEngine::OpenPort() {
    // Every opening is 8 data bits, no parity, one stop bit, on the port the operator names now.
    lineSettings_.byteSize = 8;
    lineSettings_.parity = 0;
    lineSettings_.stopBits = 0;
    observer_.ReadPortSettings(lineSettings_);
    CSerialPort& port = *state_.serialPort;
    port.Configure(lineSettings_);

    PortHandle handle = port.Open();
    state_.portHandle = handle;
    std::optional<PortFailure> failure;
    if (handle == INVALID_PORT_HANDLE) {
        failure = PortFailure::OpenFailed;
    } else if (!port.SetTimeouts(kReadIntervalTimeoutMs, handle)) {
        failure = PortFailure::TimeoutsFailed;
    } else if (!port.SetLineSettings(handle)) {
        failure = PortFailure::OpenFailed;
    } else if (!port.InitOverlapped()) {
        port.Close(handle);  // never used again: let the port go
        observer_.OnPortOpenFailed(PortFailure::OverlappedFailed);
        return false;
    }
    if (failure) {
        // A device opened but refused its settings is released, so nothing stays held.
        if (handle) port.Close(handle);
        observer_.OnPortOpenFailed(*failure);
        state_.portOpen = false;
        observer_.OnPortStateChanged(false);
        return false;
    }
    state_.portOpen = true;
    observer_.OnPortStateChanged(true);
    StartReceiveLoop();
    return true;
}

void UpgradeEngine::StartReceiveLoop() {
    // At most one loop: the one of an earlier opening has ended with the closing of its
    // port and is only waited for here.
    receiveLoop_.reset();
    auto loop = std::make_unique<ReceiveLoop>(*state_.serialPort, state_.portHandle.load(),
                                              chunkSink_, [this](int exitCode) {
                                                  if (exitCode != 0)
                                                      observer_.OnReceiveLoopEnded(exitCode);
                                              });
    if (!loop->Start()) {
        observer_.OnThreadCreationFailed();
        return;
    }
    receiveLoop_ = std::move(loop);
}

void UpgradeEngine::ClosePortAndLoop() {
    state_.serialPort->Close(state_.portHandle.load());
    receiveLoop_.reset();  // its wait has ended with the closing
}

void UpgradeEngine::ClosePort() {
    if (!state_.portOpen) return;
    ClosePortAndLoop();
    state_.portOpen = false;
    observer_.OnPortStateChanged(false);
}

void UpgradeEngine::ReopenPort() {
    if (!state_.portOpen) return;
    ClosePortAndLoop();
    Pause(kReopenPause);
    state_.portOpen = false;
    OpenPort();
    observer_.OnPortReopened(state_.portOpen);
}

// --- The send path

bool UpgradeEngine::SendHexText(std::string_view text) {
    const hex_text::DecodedText decoded = hex_text::DecodeForSending(text);
    if (decoded.count == 0) return true;
    // The handle serialises writes, so the front end's thread and the sender take turns
    // byte block by byte block, and neither holds anything while it waits for the other.
    const PortHandle handle = state_.portHandle.load();
    return state_.serialPort->Write(decoded.bytes.data(), static_cast<std::uint32_t>(decoded.count),
                                    handle) == decoded.count;
}

// --- The firmware file

namespace {

// Size of an open stream, or -1 when it cannot be told or does not fit 32 signed bits.
std::int64_t StreamSize(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(file);
    if (size < 0 || size > std::numeric_limits<std::int32_t>::max()) return -1;
    return size;
}

}  // namespace

std::optional<std::int32_t> UpgradeEngine::OpenFirmware(const std::string& path) {
    FirmwareStream stream = OpenFirmwareStream(path.c_str());
    // Images of 2 GiB or more do not fit the sizes and counts the transfer works with.
    const std::int64_t size = stream ? StreamSize(stream.get()) : -1;
    std::lock_guard lock(state_.fileMutex);
    if (size < 0 || std::fseek(stream.get(), 0, SEEK_SET) != 0) {
        state_.firmwareFile.reset();
        return std::nullopt;
    }
    state_.firmwareFile = std::move(stream);  // any earlier stream is given up
    state_.firmwareSize = static_cast<std::int32_t>(size);
    return state_.firmwareSize;
}

void UpgradeEngine::ForgetFirmware() {
    std::lock_guard lock(state_.fileMutex);
    state_.firmwareFile.reset();  // closed once no sender reads it any more
}

void UpgradeEngine::RewindFile() {
    std::lock_guard lock(state_.fileMutex);
    state_.fileOffset = 0;
}

bool UpgradeEngine::HaveFirmware() {
    std::lock_guard lock(state_.fileMutex);
    return state_.firmwareFile != nullptr;
}

std::int32_t UpgradeEngine::FirmwareSize() {
    std::lock_guard lock(state_.fileMutex);
    return state_.firmwareSize;
}

// --- The sender

bool UpgradeEngine::StartUpgrade() {
    if (!HaveFirmware()) return false;
    // The new sender ends the one before it (on its own thread, so a write held by XOFF does
    // not hold the caller) before it sends anything.
    auto sender = std::make_unique<SenderThread>(*this, std::move(state_.senderThread));
    // Set before the thread runs: it clears the flag itself once its frame is out.
    const int wasAwake = state_.senderAwake.exchange(1);
    if (!sender->Start()) {
        state_.senderAwake = wasAwake;
        // The earlier sender is no longer referenced but may be held in a write by XOFF; it is
        // ended with the engine rather than waited for here.
        if (auto earlier = sender->ReleaseSuperseded())
            retiredSenders_.push_back(std::move(earlier));
        observer_.OnThreadCreationFailed();
        return true;
    }
    state_.senderThread = std::move(sender);
    return true;
}

void UpgradeEngine::PublishSentCount() {
    if (!sentCountReported_.exchange(true)) observer_.OnSentCountChanged();
}

std::int32_t UpgradeEngine::TakeSentCount() {
    // The mark is cleared before the count is read: a byte counted after the read is reported
    // again, so the count shown always catches up.
    sentCountReported_ = false;
    return state_.bytesSent.load();
}
