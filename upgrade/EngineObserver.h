// What the transfer engine reports to its front end (the window, or a command line). The
// front end turns each report into what its operator sees; the engine never shows anything.
//
// Thread rules: every report comes on the front end's thread, during one of its calls into the
// engine (most of them during UpgradeEngine::Pump). A report that tells the operator something
// returns when the operator has been told: the engine goes on only afterwards (a checksum error is
// acted on once its box is closed).
#pragma once

#include <cstdint>

#include "upgrade/TransferFailure.h"

class EngineObserver {
  public:
    virtual ~EngineObserver() = default;

    // The port is open now (open true), or it was closed, or an opening failed (open false).
    virtual void OnPortStateChanged(bool /*open*/) {}
    // A reopening (after a change of speed) ended with the port open or not.
    virtual void OnPortReopened(bool /*open*/) {}
    // The transfer, or the port, failed (TransferFailure.h says how). An opening that failed
    // is told before OnPortStateChanged(false), except for PortEventsFailed (no such report
    // follows); a port lost, after it.
    virtual void OnFailure(TransferFailure /*failure*/) {}

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

    // The count of bytes sent (by any sender, never reset) has grown to count: never ahead of
    // the bytes handed to the port, at most every kCountRefresh, and final before any report
    // of an answer or a failure.
    virtual void OnSentCountChanged(std::int32_t /*count*/) {}
};
