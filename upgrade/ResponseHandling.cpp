// The head's one-byte answers: each chunk of received bytes counts by its first byte only.
#include "upgrade/ResponseCodes.h"
#include "upgrade/Sender.h"
#include "upgrade/UpgradeEngine.h"

void UpgradeEngine::HandleAnswer(std::span<const std::uint8_t> chunk) {
    if (chunk.empty()) return;
    // Each handling acts on the first byte of its own chunk, also when a report below lets a
    // newer answer be handled (and lastResponse be overwritten) meanwhile.
    const std::uint8_t code = chunk.front();
    lastResponse_ = code;
    // Only an answer the head can give ends the wait for one: a chunk that starts with anything
    // else (noise, an answer hidden behind it) leaves the operator to be told of the silence.
    if (IsResponseCode(code)) answerDueSince_.reset();
    if (code == RSP_CONNECTED) observer_.OnConnected();
    if (code == RSP_BLOCK_OK) OnBlockAccepted();
    if (IsChecksumError(code)) OnChecksumError();
    if (code == RSP_DONE) OnUpgradeDone();
    if (code == RSP_FAILED) observer_.OnHeadFailed();
    if (code == RSP_TIMEOUT) observer_.OnHeadTimedOut();
}

bool UpgradeEngine::WakeParkedSender() {
    // Only a parked sender is woken; one that is still sending, or none at all, is left alone.
    if (state_.senderAwake != 0 || !state_.senderThread) return false;
    state_.senderAwake = 1;
    state_.senderThread->Wake();
    return true;
}

void UpgradeEngine::OnBlockAccepted() {
    std::int32_t position;
    {
        std::lock_guard lock(state_.fileMutex);
        // Without a file there is nothing to position, and no transfer to move on.
        if (!state_.firmwareFile) return;
        position = state_.fileOffset;
        std::fseek(state_.firmwareFile.get(), state_.fileOffset, SEEK_SET);
    }
    observer_.OnBlockAccepted(position);
    if (state_.senderAwake != 0 || !state_.senderThread) return;
    Pause(kNextBlockPause);
    WakeParkedSender();
}

void UpgradeEngine::OnChecksumError() {
    observer_.OnChecksumError();
    if (state_.senderAwake != 0 || !state_.senderThread) return;
    {
        std::lock_guard lock(state_.fileMutex);
        if (!state_.firmwareFile) return;
        // Back to the start of the block just sent, so the same frame goes out again; never
        // further back, however many times the head says so.
        state_.fileOffset = state_.lastBlockOffset;
        std::fseek(state_.firmwareFile.get(), state_.fileOffset, SEEK_SET);
    }
    WakeParkedSender();
}

void UpgradeEngine::OnUpgradeDone() {
    std::int32_t position;
    bool whole;
    {
        std::lock_guard lock(state_.fileMutex);
        position = state_.fileOffset;
        // Done means done only as the answer to the frame with the last-block flag, once all of
        // it has gone out (the sender has parked after it).
        whole = state_.firmwareFile && state_.lastFrameFinal && state_.senderThread &&
                state_.senderAwake == 0;
    }
    if (!whole) {
        EndTransfer();
        observer_.OnDoneTooEarly();
        return;
    }
    observer_.OnUpgradeDone(position);
    std::lock_guard lock(state_.fileMutex);
    state_.fileOffset = 0;
    state_.lastFrameFinal = false;
    state_.firmwareFile.reset();  // closed once no sender reads it any more
}
