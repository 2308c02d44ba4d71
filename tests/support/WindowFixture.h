// A main window on pseudo-terminals, for tests of what the operator sees and what goes on
// the line. COM1 and COM2 are pseudo-terminals whose master sides the test holds; every other
// COMn names a device that does not exist. Message boxes are recorded, not shown.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "app/MessageBox.h"
#include "app/UpgradeDlg.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/TestClock.h"

// Runs the event loop until the condition holds or the time is up; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Runs the event loop for a while.
void ProcessEventsFor(std::chrono::milliseconds duration);

// Whether a dialog stands centred over a window. Qt centres a dialog over its owner by the
// owner's frame; with no window manager to tell the frame's size (a bare X server) it assumes
// 10 by 40 pixels of decoration, and the dialog stands that far up and to the left.
::testing::AssertionResult CentredOver(const QRect& dialogFrame, const QRect& ownerFrame);

class WindowFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the window with the services below and runs its initialisation (which opens COM1).
    void CreateWindow();
    const TransferState& State() { return window->Engine().State(); }
    SerialSettings& LineSettings() { return window->Engine().LineSettings(); }

    // What the window is given: COM1 and COM2 open the pseudo-terminals, a name starting with
    // "/" the device it names, anything else nothing (never a serial device of this machine);
    // boxes are recorded; pauses pass on the clock. Tests may change these before CreateWindow.
    WindowServices services;
    TestClock clock;

    std::unique_ptr<PseudoTerminal> com1 = std::make_unique<PseudoTerminal>();
    std::unique_ptr<PseudoTerminal> com2 = std::make_unique<PseudoTerminal>();
    std::unique_ptr<CUpgradeDlg> window;

    // Every box shown, in order.
    std::vector<MessageBoxRequest> boxes;
    // Runs while a box is "open" (inside its modal run), if set.
    std::function<void(const MessageBoxRequest&)> whileBoxOpen;

    std::vector<QString> BoxTexts() const;
};
