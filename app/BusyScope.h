// While the user-interface thread is held up by fixed pauses, the busy cursor shows over the
// tool's windows that the tool is working, not hung. Clicks and keys that the operator made
// meanwhile wait in the window system's queue; they are dropped when the scope ends, so that
// nothing the operator did during the pauses is acted on afterwards. User-interface thread only.
#pragma once

class BusyScope {
  public:
    BusyScope();
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    // Whether a scope is open now.
    static bool Active();
};

// Delivers every event queued so far, except the operator's clicks and keys, which are dropped.
void DropQueuedInput();
