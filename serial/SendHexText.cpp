// The one send path: every byte that goes to the head is handed over as hex text.
#include "app/UpgradeDlg.h"
#include "serial/HexText.h"
#include "upgrade/TransferState.h"

bool CUpgradeDlg::SendHexText(std::string text) {
    const hex_text::DecodedText decoded = hex_text::DecodeForSending(text);
    if (decoded.count == 0) return true;
    // The handle serialises writes, so the user-interface thread and the sender take turns
    // byte block by byte block, and neither holds anything while it waits for the other.
    const PortHandle handle = transferState.portHandle.load();
    return transferState.serialPort->Write(decoded.bytes.data(), static_cast<std::uint32_t>(decoded.count), handle) ==
           decoded.count;
}
