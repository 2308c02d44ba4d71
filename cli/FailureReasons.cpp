#include "cli/FailureReasons.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "cli/FlashOptions.h"

namespace flash {
namespace {

using F = TransferFailure;
using Facts = FailureFacts;

// ": WHY" when the opening's error is known, else otherwise.
std::string Why(const Facts& f, const std::string& otherwise = {}) {
    return f.openError.empty() ? otherwise : ": " + f.openError;
}

std::string CannotOpen(const Facts& f, const std::string& otherwise = {}) {
    const std::string device = f.device.empty() ? "" : " (" + f.device + ")";
    return "The port " + f.port + device + " cannot be opened" + Why(f, otherwise) + ".";
}

std::string TwoHex(unsigned code) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x", code);
    return text;
}

const std::array kRows = {
    FailureReason{F::PortOpenFailed, "port", kExitPort, true,
                  [](const Facts& f) {
                      return CannotOpen(f, ": it refuses the line settings (8N1 at 115200 baud)");
                  }},
    FailureReason{F::PortTimeoutsFailed, "port", kExitPort, true,
                  [](const Facts& f) { return CannotOpen(f); }},
    FailureReason{F::PortEventsFailed, "port", kExitPort, true,
                  [](const Facts& f) { return CannotOpen(f); }},
    FailureReason{F::ThreadNotStarted, "port", kExitPort, true,
                  [](const Facts& f) {
                      return "a worker thread for the port " + f.port + " could not be started.";
                  }},
    FailureReason{F::PortLost, "port", kExitPort, true,
                  [](const Facts& f) {
                      return "the port " + f.port + " went away (device removed or hung up).";
                  }},
    FailureReason{
        F::WriteFailed, "port", kExitPort, true,
        [](const Facts& f) { return "a byte could not be written to the port " + f.port + "."; }},
    FailureReason{F::FileUnreadable, "file", kExitImage, true,
                  [](const Facts& f) {
                      return "the image " + f.image +
                             " could not be read to the end while it was being sent.";
                  }},
    FailureReason{F::NoAnswer, "no-answer", kExitHeadFailed, false,
                  [](const Facts& f) {
                      if (f.greeting)
                          return f.head + " did not answer the greeting within " + f.wait +
                                 " (is a head with this address on the line, with " + f.protocol +
                                 " at " + std::to_string(f.speed) + " baud?).";
                      return f.head + " did not answer frame " + std::to_string(f.block) +
                             " within " + f.wait + ".";
                  }},
    FailureReason{
        F::HeadFailed, "head-failed", kExitHeadFailed, false,
        [](const Facts& f) { return f.head + " answered 86: the upgrade failed" + f.at + "."; }},
    FailureReason{F::HeadTimedOut, "head-timeout", kExitHeadFailed, false,
                  [](const Facts& f) {
                      return f.head + " answered 87: the upgrade timed out in the head" + f.at +
                             ".";
                  }},
    FailureReason{F::DoneTooEarly, "early-done", kExitHeadFailed, false,
                  [](const Facts& f) {
                      return f.head + " answered 84 (done) before it had the whole image" + f.at +
                             ", so the upgrade is not known to have worked.";
                  }},
    FailureReason{F::DoneWithheld, "no-done", kExitHeadFailed, false,
                  [](const Facts& f) {
                      return f.head +
                             " answered 82, not 84, to the frame after the last block: it never "
                             "said done, so the upgrade is not known to have worked.";
                  }},
    FailureReason{F::ImageRefused, "file", kExitImage, true,
                  [](const Facts& f) { return f.imageProblem; }},
    FailureReason{F::PortReopenFailed, "port", kExitPort, true,
                  [](const Facts& f) {
                      return "the port " + f.port +
                             " could not be opened again after the change of line speed" + Why(f) +
                             ".";
                  }},
    FailureReason{
        F::PortSpeedFixed, "port", kExitPort, true,
        [](const Facts& f) {
            return "the port " + f.port +
                   " is raw TCP and runs at 115200 baud only: it cannot reach a head at " +
                   std::to_string(f.speed) + " baud (use rfc2217://).";
        }},
    FailureReason{F::PortClosed, "port", kExitPort, true,
                  [](const Facts& f) {
                      return "the port " + f.port + " is closed: the greeting could not be sent.";
                  }},
    FailureReason{F::TooManyResends, "too-many-resends", kExitHeadFailed, false,
                  [](const Facts& f) {
                      return f.head + " rejected block " + std::to_string(f.rejectedBlock) +
                             " (checksum error " + TwoHex(f.code) + ") once more after " +
                             std::to_string(f.resends) + " resends, the most --max-resends allows.";
                  }},
    FailureReason{F::Interrupted, "interrupted", kExitInterrupted, true,
                  [](const Facts& f) {
                      return "Interrupted by " + f.signal + " during " + f.head + ": " +
                             f.lastAccepted + "; the port " + f.port + " is released.";
                  }},
};
static_assert(kRows.size() == kAllTransferFailures.size());

}  // namespace

std::string OpenErrorText(const LineError& error) {
    if (error.kind == LineErrorKind::HostNotFound) return "the host name is not known";
    return error.errorNumber ? std::strerror(error.errorNumber) : std::string();
}

std::span<const FailureReason> FailureReasons() {
    return kRows;
}

const FailureReason& ReasonFor(TransferFailure failure) {
    return RowForFailure<FailureReason>(kRows, failure, kRows.front());
}

}  // namespace flash
