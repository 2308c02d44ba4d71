// What the transfer engine reports to its front end (the window, or a command line). The
// front end turns each report into what its operator sees; the engine never shows anything.
//
// Thread rules: every report comes on the front end's thread, during one of its calls into the
// engine (most of them during UpgradeEngine::Pump). A report that tells the operator something
// returns when the operator has been told: the engine goes on only afterwards (a checksum error is
// acted on once its box is closed).
#pragma once

#include <cstdint>

#include "serial/CSerialPort.h"

// Why an opening of the port failed.
enum class PortFailure {
    OpenFailed,        // the device could not be opened, or refused the line settings
    TimeoutsFailed,    // the time-outs could not be set
    OverlappedFailed,  // the waitable events could not be created (the port is let go)
};

class EngineObserver {
  public:
    virtual ~EngineObserver() = default;

    // Called just before each opening: the front end may put the operator's current choice
    // of port into the settings.
    virtual void ReadPortSettings(SerialSettings& /*settings*/) {}
    // The port is open now (open true), or it was closed, or an opening failed (open false).
    virtual void OnPortStateChanged(bool /*open*/) {}
    // An opening failed; OnPortStateChanged(false) follows, except for OverlappedFailed.
    virtual void OnPortOpenFailed(PortFailure /*failure*/) {}
    // A reopening (after a change of speed) ended with the port open or not.
    virtual void OnPortReopened(bool /*open*/) {}
    // A worker thread (receive loop or sender) could not be created.
    virtual void OnThreadCreationFailed() {}

    // The first write of a frame went out: the frame for the block at this file offset (the
    // same offset again for a frame sent again).
    virtual void OnFrameSent(std::int32_t /*offset*/) {}

    // The head's answers.
    virtual void OnConnected() {}
    // The head took the block before position, the next one in order, answering the frame
    // that carried it once all of it had gone out: told once for each block. The image stands
    // at position.
    virtual void OnBlockAccepted(std::int32_t /*position*/) {}
    virtual void OnChecksumError() {}
    // The whole image was accepted; position is the file offset reached.
    virtual void OnUpgradeDone(std::int32_t /*position*/) {}
    virtual void OnHeadFailed() {}
    virtual void OnHeadTimedOut() {}
    // 0x84 came, but not as the answer to a whole frame with the last-block flag: the image is
    // not known to be whole. The transfer has ended; nothing claims success.
    virtual void OnDoneTooEarly() {}
    // The frame after the last block, sent because the last block was answered 0x82, was
    // answered 0x82 too: the head never says done. The transfer has ended; nothing claims
    // success.
    virtual void OnDoneWithheld() {}
    // No answer came within kAnswerWait of the greeting, of the start of a frame, or of a
    // frame's last write (a frame held by XOFF for good counts as silence). Once per wait;
    // nothing else changes, and an answer that comes later is handled as any other.
    virtual void OnNoAnswer() {}
    // The open port went away (the adapter was pulled, the line hung up): it is closed now, and
    // OnPortStateChanged(false) came first.
    virtual void OnPortLost() {}

    // The count of bytes sent (by any sender, never reset) has grown to count: never ahead of
    // the bytes handed to the port, at most every kCountRefresh, and final before any report
    // of an answer or a failure.
    virtual void OnSentCountChanged(std::int32_t /*count*/) {}
    // A byte could not be handed to the port; the block will be sent again whole.
    virtual void OnWriteFailed() {}
    // The file held fewer bytes than it should, or the next block lies outside the file; no
    // frame was built, the transfer stops.
    virtual void OnFileUnreadable() {}
};
