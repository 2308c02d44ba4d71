#include "app/WindowMessages.h"

const QEvent::Type WindowMessageEvent::kType =
    static_cast<QEvent::Type>(QEvent::registerEventType());
