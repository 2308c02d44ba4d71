#include "upgrade/EngineInbox.h"

#include <algorithm>

void EngineInbox::Post(EngineMessage message) {
    bool wasEmpty;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = messages_.empty();
        messages_.push_back(std::move(message));
    }
    // A message that finds others waiting is taken with them: the ring for the first is enough.
    if (wasEmpty) Ring();
}

void EngineInbox::Ring() const {
    if (waker_) waker_();
}

std::optional<EngineMessage> EngineInbox::Take() {
    std::lock_guard lock(mutex_);
    if (messages_.empty()) return std::nullopt;
    EngineMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

void EngineInbox::DropChunks() {
    std::lock_guard lock(mutex_);
    std::erase_if(messages_,
                  [](const EngineMessage& m) { return m.kind == EngineMessage::Kind::Chunk; });
}

void EngineInbox::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}
