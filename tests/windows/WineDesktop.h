// For the Linux-side tests of Windows programs with windows: an X server of the test's own
// (Xvfb) and a Wine session on it, in the prefix WINEPREFIX names, set up for Chinese text.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace wine_test {

class WineDesktop {
  public:
    // Starts the X server and points DISPLAY at it; ends any Wine session of the prefix left
    // on another display; then runs preparePath (the window driver) with --prepare.
    explicit WineDesktop(const std::string& preparePath);
    // Ends the Wine session, then the X server.
    ~WineDesktop();
    WineDesktop(const WineDesktop&) = delete;
    WineDesktop& operator=(const WineDesktop&) = delete;

    bool Ready() const { return ready_; }

    // Starts a Windows program whose output nobody reads (so that the Wine services it may
    // start hold nothing of the test's open).
    pid_t StartQuiet(const std::string& exePath, const std::vector<std::string>& arguments = {});
    // The program's exit status, or -1 when it had not ended within timeout (it is then killed).
    static int Wait(pid_t program, std::chrono::milliseconds timeout);

  private:
    pid_t server_ = -1;
    bool ready_ = false;
};

}  // namespace wine_test
