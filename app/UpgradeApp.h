// The application object: runs the main window modally; the process ends when it closes.
#pragma once

class QWidget;

class CUpgradeApp {
public:
    // Shows the main window until it closes. Returns false: there is nothing more to run.
    bool InitInstance();
};

// The application's main window while it runs, or null.
QWidget* AfxGetMainWnd();
