// Runs a function on the user-interface thread for a worker and waits until it has run, the
// way a blocking cross-thread call does; unlike one, the wait ends when the gate is shut, so
// a window that is closing never deadlocks with a worker waiting for it.
//
// Thread rules: Call from any worker thread; Shutdown on the user-interface thread.
#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class UiCallGate {
public:
    explicit UiCallGate(QObject* target);
    ~UiCallGate();

    // Queues fn on the target's thread and waits for it. False when the gate is shut (fn may
    // then not run at all).
    bool Call(std::function<void()> fn);

    // Fails every waiting and every later call.
    void Shutdown();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    QObject* target_;
};
