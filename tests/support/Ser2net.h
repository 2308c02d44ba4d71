// ser2net in RFC 2217 mode on a free port of 127.0.0.1, its serial side a device the test holds
// (a pseudo-terminal), started with a configuration file of its own: never the system's
// /etc/ser2net.yaml, whose port 2000 is the machine's console. It dies with the test process,
// and is killed when the object goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class Ser2net {
  public:
    // Whether the program the build found is there (the tests skip without it).
    static bool Installed();

    // Writes the configuration to configPath, starts ser2net and waits until it takes a
    // connection (at most 20 s). Running() tells whether it did; Error() why not. charDelay
    // false: `chardelay: false` (ser2net's default holds what the device sends for at least
    // 1 ms before passing it on).
    Ser2net(const std::string& device, const std::string& configPath, bool charDelay = true);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool Running() const { return pid_ > 0; }
    const std::string& Error() const { return error_; }
    std::uint16_t Port() const { return port_; }
    // rfc2217://127.0.0.1:PORT
    std::string Rfc2217Name() const;
    // Kills it at once (SIGKILL: a server gone mid-frame) and waits for it.
    void Stop();

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string error_;
};
