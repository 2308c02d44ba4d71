#include "serial/CSerialPort.h"

#include <cstring>

#include "serial/HexText.h"
#include "serial/PortNames.h"

void CSerialPort::Configure(const SerialSettings& settings) {
    portName_ = settings.portName;
    baudRate_ = settings.baudRate;
    byteSize_ = settings.byteSize;
    parity_ = settings.parity;
    stopBits_ = settings.stopBits;
}

PortHandle CSerialPort::Open() { return SerialLine::Open(DevicePathForPortName(portName_)); }

bool CSerialPort::SetTimeouts(std::uint32_t /*readIntervalTimeoutMs*/, const PortHandle& handle) {
    return handle && handle->IsUsable();
}

bool CSerialPort::SetLineSettings(const PortHandle& handle) {
    if (!handle) return false;
    if (!handle->ApplySettings({baudRate_, byteSize_, parity_, stopBits_})) return false;
    // The driver's queues are the kernel's own (4 KiB for a tty's input); XOFF goes out when
    // the input queue is nearly full and XON once it has drained, as the line discipline
    // decides, which stands for the fixed 50-byte limits of other platforms.
    handle->DiscardInput();
    handle->DiscardOutput();
    return true;
}

bool CSerialPort::InitOverlapped() { return true; }

bool CSerialPort::Close(const PortHandle& handle) {
    if (!handle) return false;
    handle->Close();
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

std::uint32_t CSerialPort::Read(std::uint8_t (&buffer)[READ_BUFFER_SIZE], const PortHandle& handle) {
    if (!handle || handle->IsClosed()) return 0;
    if (handle->TakeLineErrors()) {
        handle->DiscardInput();
        return 0;
    }
    const int queued = handle->BytesQueued();
    if (queued <= 0) return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(queued), READ_BUFFER_SIZE);
    std::memset(buffer, 0, n);
    const long got = handle->ReadQueued(buffer, n);
    return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

std::uint8_t CSerialPort::HexDigitValue(char c) { return hex_text::HexDigitValue(c); }

std::int32_t CSerialPort::HexTextToBytes(std::string_view text, std::uint8_t* destination) {
    return hex_text::HexTextToBytes(text, destination);
}
