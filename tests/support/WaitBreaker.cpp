#include "tests/support/WaitBreaker.h"

#include <gtest/gtest.h>

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
