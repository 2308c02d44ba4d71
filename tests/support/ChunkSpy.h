// Records the chunks of received bytes handed to the main window (WM_SERIAL_DATA), in order.
// Install it on the window as an event filter.
#pragma once

#include <QObject>
#include <cstdint>
#include <vector>

#include "app/WindowMessages.h"

class ChunkSpy : public QObject {
  public:
    std::vector<std::vector<std::uint8_t>> chunks;

    std::size_t TotalBytes() const {
        std::size_t n = 0;
        for (const auto& c : chunks) n += c.size();
        return n;
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == WindowMessageEvent::kType) {
            const auto* message = static_cast<WindowMessageEvent*>(event);
            if (message->message() == WM_SERIAL_DATA)
                chunks.emplace_back(message->Chunk().begin(), message->Chunk().end());
        }
        return false;
    }
};
