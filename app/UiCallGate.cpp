#include "app/UiCallGate.h"

#include <QMetaObject>

struct UiCallGate::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool shut = false;
};

UiCallGate::UiCallGate(QObject* target) : shared_(std::make_shared<Shared>()), target_(target) {}

UiCallGate::~UiCallGate() { Shutdown(); }

bool UiCallGate::Call(std::function<void()> fn) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->shut) return false;
    }
    auto shared = shared_;
    auto done = std::make_shared<bool>(false);  // guarded by shared->mutex
    QMetaObject::invokeMethod(
        target_,
        [shared, done, fn = std::move(fn)] {
            {
                std::lock_guard lock(shared->mutex);
                if (shared->shut) return;
            }
            fn();
            std::lock_guard lock(shared->mutex);
            *done = true;
            shared->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->shut || *done; });
    return *done;
}

void UiCallGate::Shutdown() {
    std::lock_guard lock(shared_->mutex);
    shared_->shut = true;
    shared_->changed.notify_all();
}
