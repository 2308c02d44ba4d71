#include "tests/support/WaitBreaker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

namespace {
WaitBreaker* current = nullptr;
}

WaitBreaker::WaitBreaker(std::function<std::string()> probe)
    : probe_(std::move(probe)), previous_(current) {
    current = this;
}

WaitBreaker::~WaitBreaker() {
    if (current == this) current = previous_;
}

bool WaitBreaker::Broken() {
    if (!current) return false;
    if (current->broken_) return true;
    const std::string what = current->probe_();
    if (what.empty()) return false;
    current->broken_ = true;
    ADD_FAILURE() << what;
    return true;
}

bool WaitBreaker::InForce() {
    return current != nullptr;
}

std::chrono::steady_clock::time_point WaitBreaker::WakeBy(
    std::chrono::steady_clock::time_point deadline) {
    if (!InForce()) return deadline;
    return std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
}
