// Every message box of the tool goes through ShowMessageBox: modal, one OK button.
#pragma once

#include <QString>
#include <functional>

class QWidget;

enum class MessageIcon { None, Exclamation };

struct MessageBoxRequest {
    QWidget* owner = nullptr;
    QString text;
    QString caption;  // already resolved: the application's name when the box names none
    MessageIcon icon = MessageIcon::None;
};

// The application's name: the executable's file name without its extension ("kavlet").
QString ApplicationName();

// The least width of a box whose title bar shows this caption whole.
int MinimumWidthForCaption(const QString& caption);

// Shows a modal box with one OK button and returns when it is closed. The box is at least as
// wide as its caption needs; while its owner is not on screen it stands in the middle of the
// screen, otherwise over its owner. The box's message loop keeps serving the window's events.
void ShowMessageBox(const MessageBoxRequest& request);

// Shows a box in place of ShowMessageBox, where one is handed to a window (tests record what
// the operator is told).
using MessageBoxPresenter = std::function<void(const MessageBoxRequest&)>;
