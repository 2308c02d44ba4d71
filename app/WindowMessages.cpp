#include "app/WindowMessages.h"

const QEvent::Type WindowMessageEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

WindowMessageEvent::WindowMessageEvent(unsigned message, std::vector<std::uint8_t> chunk)
    : QEvent(kType),
      message_(message),
      chunk_(std::move(chunk)),
      wParam_(reinterpret_cast<WPARAM>(chunk_.data())),
      lParam_(static_cast<LPARAM>(chunk_.size())) {}
