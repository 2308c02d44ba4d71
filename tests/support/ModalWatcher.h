// Watches for modal dialogs while a test drives the window.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>

// While alive, hands the first modal dialog that opens to inspect, then closes that dialog
// if inspect left it open, so that no modal run is left waiting.
class ModalWatcher {
  public:
    explicit ModalWatcher(std::function<void(QDialog*)> inspect) : inspect_(std::move(inspect)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!modal || !modal->isVisible()) return;
            timer_.stop();
            ++opened_;
            inspect_(modal);
            if (modal->isVisible()) modal->reject();
        });
        timer_.start();
    }
    int Opened() const { return opened_; }

  private:
    std::function<void(QDialog*)> inspect_;
    QTimer timer_;
    int opened_ = 0;
};

// Closes whatever modal dialog opens next (the device dialog after a file choice) without
// choosing anything.
inline void RejectNextModalDialog() {
    QTimer::singleShot(0, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
    });
}
