// Why a transfer, or the port it runs on, failed: one word for each way, whoever finds it. The
// engine reports most of them (EngineObserver::OnFailure); a front end finds the rest itself (its
// own limits, a signal). The engine shows nothing: each front end says what a failure means in
// one table of its own (the window's notices, kavlet-flash's reasons and exit statuses), and a
// test holds every table to every value listed in kAllTransferFailures.
#pragma once

#include <algorithm>
#include <array>
#include <span>

enum class TransferFailure {
    // --- The port (reported by the engine)
    PortOpenFailed,      // the device could not be opened, or refused the line settings
    PortTimeoutsFailed,  // its time-outs could not be set
    PortEventsFailed,    // its waitable events could not be made (the port is let go)
    ThreadNotStarted,    // a worker thread (receive loop or sender) could not be created
    PortLost,            // the open port went away (adapter pulled, line hung up); closed now
    WriteFailed,         // a byte could not be handed to the port; the block goes out again whole
    // --- The image (reported by the engine)
    // The file held fewer bytes than it should, or the next block lies outside it; the
    // transfer stops.
    FileUnreadable,
    // --- The head (reported by the engine)
    // No answer within the wait after the greeting, the start of a frame or its last write
    // (a frame held by XOFF for good counts as silence). Once per wait; an answer that comes
    // later is handled as any other.
    NoAnswer,
    HeadFailed,    // the head answered 86
    HeadTimedOut,  // the head answered 87
    // 84 came, but not as the answer to a whole frame with the last-block flag: the image is
    // not known to be whole. The transfer has ended.
    DoneTooEarly,
    // The frame after the last block (sent because the last block was answered 82) was
    // answered 82 too: the head never says done. The transfer has ended.
    DoneWithheld,
    // --- Found by a front end, never reported by the engine
    ImageRefused,      // the image cannot be sent at all (ImageCheck says why)
    PortReopenFailed,  // the port did not open again after a change of line speed
    PortSpeedFixed,    // the port (raw TCP) cannot change to the head's speed
    PortClosed,        // the port was closed when the greeting was due
    TooManyResends,    // one block rejected more often than the front end allows
    Interrupted,       // a signal stopped the transfer
};

inline constexpr std::array kAllTransferFailures = {
    TransferFailure::PortOpenFailed,   TransferFailure::PortTimeoutsFailed,
    TransferFailure::PortEventsFailed, TransferFailure::ThreadNotStarted,
    TransferFailure::PortLost,         TransferFailure::WriteFailed,
    TransferFailure::FileUnreadable,   TransferFailure::NoAnswer,
    TransferFailure::HeadFailed,       TransferFailure::HeadTimedOut,
    TransferFailure::DoneTooEarly,     TransferFailure::DoneWithheld,
    TransferFailure::ImageRefused,     TransferFailure::PortReopenFailed,
    TransferFailure::PortSpeedFixed,   TransferFailure::PortClosed,
    TransferFailure::TooManyResends,   TransferFailure::Interrupted,
};

// The row for failure in a front end's table of rows with a `failure` field, or fallback when
// the table has none (the tests hold every table to every failure).
template <class Row>
const Row& RowForFailure(std::span<const Row> rows, TransferFailure failure, const Row& fallback) {
    const auto row =
        std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.failure == failure; });
    return row != rows.end() ? *row : fallback;
}
