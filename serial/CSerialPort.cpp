#include "serial/CSerialPort.h"

#include <algorithm>
#include <cstring>

#include "serial/HexText.h"

PortHandle CSerialPort::Open() {
    std::unique_ptr<PortReservation> reserved = std::move(reservation_);
    if (reserved && reservedName_ != settings_.portName) reserved.reset();
    LineOpenResult opened = reserved  ? reserved->OpenLine()
                            : opener_ ? opener_(settings_.portName)
                                      : OpenPlatformLine(settings_.portName);
    lastOpenError_ = opened.error;
    return std::move(opened.line);
}

bool CSerialPort::SetTimeouts(std::uint32_t /*readIntervalTimeoutMs*/, const PortHandle& handle) {
    return handle && handle->IsUsable();
}

bool CSerialPort::SetLineSettings(const PortHandle& handle) {
    if (!handle) return false;
    if (!handle->ApplySettings(settings_)) return false;
    handle->DiscardStaleQueues();
    return true;
}

bool CSerialPort::InitOverlapped() {
    return true;
}

bool CSerialPort::Close(const PortHandle& handle) {
    reservation_.reset();
    if (!handle) return false;
    handle->Close();
    return true;
}

bool CSerialPort::CloseForReopening(const PortHandle& handle) {
    if (!handle) return false;
    reservation_ = handle->CloseKeepingDevice();
    reservedName_ = settings_.portName;
    return true;
}

std::uint32_t CSerialPort::Write(const std::uint8_t* bytes, std::uint32_t count,
                                 const PortHandle& handle) {
    if (!handle || handle->IsClosed()) return 0;
    if (handle->TakeLineErrors()) {
        handle->DiscardOutput();
        return 0;
    }
    return static_cast<std::uint32_t>(handle->WriteAll(bytes, count));
}

std::uint32_t CSerialPort::Read(std::uint8_t (&buffer)[READ_BUFFER_SIZE],
                                const PortHandle& handle) {
    if (!handle || handle->IsClosed()) return 0;
    if (handle->TakeLineErrors()) {
        handle->DiscardInput();
        return 0;
    }
    const int queued = handle->BytesQueued();
    if (queued < 0) return 0;  // the device no longer answers (closed, or gone)
    const std::size_t waiting = static_cast<std::size_t>(queued);
    std::memset(buffer, 0, std::min<std::size_t>(waiting, READ_BUFFER_SIZE));
    // The count the driver reports covers only the line discipline's own buffer, which holds
    // at most 4095 bytes; more may wait in the driver's receive buffers, and bytes that have
    // just arrived may not be counted yet. One read() returns no more than that buffer held,
    // but a read that finds it empty moves the waiting bytes over first. So the buffer is
    // filled by reads until one gives nothing; none of them waits (non-blocking, no minimum).
    std::size_t total = 0;
    while (total < READ_BUFFER_SIZE) {
        const long got = handle->ReadQueued(buffer + total, READ_BUFFER_SIZE - total);
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
    }
    return static_cast<std::uint32_t>(total);
}

std::uint8_t CSerialPort::HexDigitValue(char c) {
    return hex_text::HexDigitValue(c);
}

std::int32_t CSerialPort::HexTextToBytes(std::string_view text, std::uint8_t* destination) {
    return hex_text::HexTextToBytes(text, destination);
}
