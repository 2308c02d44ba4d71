#include "cli/HeadRelay.h"

#include "cli/FailureReasons.h"
#include "serial/PortNames.h"

namespace flash {

TransferFailure HeadRelay::PortFailure() const {
    return lastPortFailure_.value_or(TransferFailure::PortOpenFailed);
}

std::string HeadRelay::PortProblem(const std::string& port, const LineError& openError) const {
    FailureFacts facts;
    facts.port = port;
    if (const std::string device = DevicePathForPortName(port); device != port)
        facts.device = device;
    facts.openError = OpenErrorText(openError);
    return ReasonFor(PortFailure()).sentence(facts);
}

void HeadRelay::OnFailure(TransferFailure failure) {
    if (failure == TransferFailure::PortOpenFailed ||
        failure == TransferFailure::PortTimeoutsFailed ||
        failure == TransferFailure::PortEventsFailed) {
        lastPortFailure_ = failure;
    } else {
        Head().OnFailure(failure);
    }
}

}  // namespace flash
