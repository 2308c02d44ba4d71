// A pseudo-terminal pair as a serial line for tests: the tool opens the slave side by its
// path, the test holds the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class PseudoTerminal {
public:
    PseudoTerminal();  // opens a new pair; check IsOpen()
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool IsOpen() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    // Writes all bytes to the master side (the tool reads them).
    bool Write(const std::vector<std::uint8_t>& bytes);
    bool Write(std::initializer_list<std::uint8_t> bytes) { return Write(std::vector<std::uint8_t>(bytes)); }

    // Reads what the tool wrote until count bytes have come or the time is up.
    std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds timeout);
    // Reads whatever arrives until nothing more has come for quiet.
    std::vector<std::uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet);

    // The line speed the tool set on the slave side, read from the master side.
    std::optional<std::uint32_t> BaudRate() const;

    // Closes the master side, as an unplugged adapter would vanish.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};
