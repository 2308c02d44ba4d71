// How kavlet-flash tells each way a transfer or its port can fail: one row a TransferFailure,
// with the reason token (the summary's "failed (REASON)", JSON's "reason"), the exit status it
// brings, whether it ends the run, and the sentence for the operator. The man page and
// docs/cli.md name every token.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "serial/LineError.h"
#include "upgrade/TransferFailure.h"

namespace flash {

// What the sentences name: filled by whoever failed (the run, or one head's session).
struct FailureFacts {
    std::string head{};              // "head 1"
    std::string port{};              // as given with --port
    std::string device{};            // the device path the port stands for, when it differs
    std::string image{};             // as given
    std::string openError{};         // why the port's last opening failed, empty when unknown
    std::string at{};                // where the head stood: " after the greeting", " at block 3"
    bool greeting = false;           // the greeting awaited an answer, not a frame
    std::int32_t block = 0;          // the frame awaited
    std::int32_t rejectedBlock = 0;  // the block the head rejected last
    std::string wait{};              // the answer time-out: "10 s"
    std::string protocol{};          // "pelco-d"
    std::uint32_t speed = 0;         // the heads' line speed
    unsigned code = 0;               // the checksum error the block was rejected with
    unsigned resends = 0;            // the resends of the block so far
    std::string imageProblem{};      // the sentence saying why the image cannot be sent
    std::string signal{};            // "SIGINT", ...
    std::string lastAccepted{};      // "the last block head 1 accepted was block 2 (...)"
};

struct FailureReason {
    TransferFailure failure;
    const char* token;
    int exitStatus;  // for Interrupted: plus the signal's number
    bool endsRun;    // the heads after it are skipped
    std::string (*sentence)(const FailureFacts& facts);
};

// Why an opening failed, for FailureFacts::openError: empty when unknown.
std::string OpenErrorText(const LineError& error);

// The whole table, in the order of kAllTransferFailures.
std::span<const FailureReason> FailureReasons();
// The row for failure; every failure has one.
const FailureReason& ReasonFor(TransferFailure failure);
inline const char* Token(TransferFailure failure) {
    return ReasonFor(failure).token;
}

}  // namespace flash
