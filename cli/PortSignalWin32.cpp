#include "cli/PortSignal.h"

namespace flash {

// The console's event is manual-reset: once set, every port's waiter sees it.
PortSignal::PortSignal(const RunIo& run) : io_(run) {}

PortSignal::~PortSignal() = default;

void PortSignal::Raise(int) {}

}  // namespace flash
