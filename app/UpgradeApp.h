// The application object: runs the main window modally; the process ends when it closes.
#pragma once

class CUpgradeApp {
  public:
    // Shows the main window until it closes. Returns false: there is nothing more to run.
    bool InitInstance();
};
