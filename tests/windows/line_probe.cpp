// kavlet-line-probe.exe: the Windows serial line under test, driven one command a line on
// standard input by a test on the Linux side (tests/windows/windows_line_test.cpp), which holds
// the far side of the line. Each command answers one line on standard output; a write and the
// receive loop run on threads of their own and report when they end, so the test can act on
// the line meanwhile.
//
//   open PORT            -> "opened" | "open-failed ERRNO"
//   settings BAUD        -> "settings ok" | "settings failed"
//   write COUNT          -> "writing", later "written N" (bytes i % 251, one WriteAll)
//   write-bytes COUNT    -> "written N MS" (COUNT one-byte writes, and the time they took)
//   join                 -> waits for the write in progress to report
//   queued COUNT         -> "queued Q" once at least COUNT bytes wait (or "wait R" if the wait
//                           ended otherwise); COUNT no more than the driver queues (4095)
//   outq                 -> "outq N" (OutputQueued: bytes written, not yet sent)
//   read MAX             -> "read N HEX" (one ReadQueued of at most MAX bytes; HEX for N <= 64)
//   loop                 -> "looping"; then "chunk N" per chunk and "ended CODE" at its end
//   close                -> "closed"
//   reserve              -> "reserved" | "reserved nothing": closes the line keeping the port
//   reopen               -> "opened" | "open-failed ERRNO": a line on the reserved port
//   cycle COUNT BAUD PORT -> "cycled K": COUNT times open, settings, write one byte (i % 251),
//                           close; K openings went through
//   quit                 -> ends the program (status 0)
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serial/CSerialPort.h"
#include "serial/ReceiveLoop.h"
#include "serial/win32/Win32SerialLine.h"

namespace {

std::mutex outputMutex;

void Say(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string Hex(const std::uint8_t* bytes, long count) {
    std::string text;
    char digits[3];
    for (long i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

class Probe {
  public:
    ~Probe() {
        Close();
        JoinWriter();
    }

    void Run() {
        std::string text;
        while (std::getline(std::cin, text)) {
            if (!text.empty() && text.back() == '\r') text.pop_back();
            std::istringstream in(text);
            std::string command;
            in >> command;
            if (command == "quit") return;
            Handle(command, in);
        }
        // Said on standard error, which the test shows when it fails: a probe that ends without
        // being told to quit is otherwise only a silence.
        std::fputs(std::cin.eof() ? "kavlet-line-probe: standard input ended without quit\n"
                                  : "kavlet-line-probe: reading standard input failed\n",
                   stderr);
    }

  private:
    void Handle(const std::string& command, std::istringstream& in) {
        if (command == "open" || command == "reopen") {
            std::string port;
            in >> port;
            LineOpenResult opened{nullptr, {}};
            if (command == "open") {
                opened = OpenPlatformLine(port);
            } else if (reservation_) {
                opened = std::exchange(reservation_, nullptr)->OpenLine();
            }
            line_ = opened.line;
            Say(line_ ? "opened" : "open-failed " + std::to_string(opened.error.errorNumber));
        } else if (command == "settings") {
            SerialSettings settings;
            in >> settings.baudRate;
            Say(line_ && line_->ApplySettings(settings) ? "settings ok" : "settings failed");
        } else if (command == "write") {
            std::size_t count = 0;
            in >> count;
            JoinWriter();
            auto bytes = std::make_shared<std::vector<std::uint8_t>>(count);
            for (std::size_t i = 0; i < count; ++i)
                (*bytes)[i] = static_cast<std::uint8_t>(i % 251);
            Say("writing");
            writer_ = std::thread([line = line_, bytes] {
                const std::size_t written = line ? line->WriteAll(bytes->data(), bytes->size()) : 0;
                Say("written " + std::to_string(written));
            });
        } else if (command == "write-bytes") {
            std::size_t count = 0;
            in >> count;
            std::size_t written = 0;
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t i = 0; i < count && line_; ++i) {
                const std::uint8_t byte = static_cast<std::uint8_t>(i % 251);
                written += line_->WriteAll(&byte, 1);
            }
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            Say("written " + std::to_string(written) + " " + std::to_string(took.count()));
        } else if (command == "join") {
            JoinWriter();
        } else if (command == "queued") {
            int wanted = 0;
            in >> wanted;
            for (;;) {
                const int queued = line_ ? line_->BytesQueued() : -1;
                if (queued >= wanted || queued < 0) {
                    Say("queued " + std::to_string(queued));
                    break;
                }
                const auto result = line_->WaitForInput();
                if (result != SerialLine::WaitResult::InputReady) {
                    const DWORD error = GetLastError();
                    Say("wait " + std::to_string(static_cast<int>(result)) + " " +
                        std::to_string(error));
                    break;
                }
            }
        } else if (command == "outq") {
            Say("outq " + std::to_string(line_ ? line_->OutputQueued() : -1));
        } else if (command == "read") {
            std::size_t most = 0;
            in >> most;
            std::vector<std::uint8_t> buffer(most);
            const long n = line_ ? line_->ReadQueued(buffer.data(), most) : -1;
            Say("read " + std::to_string(n) + " " +
                (n > 0 && n <= 64 ? Hex(buffer.data(), n) : ""));
        } else if (command == "loop") {
            port_ = std::make_unique<CSerialPort>([line = line_](const std::string&) {
                return LineOpenResult{line, {}};
            });
            loop_ = std::make_unique<ReceiveLoop>(
                *port_, line_,
                [](std::vector<std::uint8_t> chunk) {
                    Say("chunk " + std::to_string(chunk.size()));
                },
                [](int code) { Say("ended " + std::to_string(code)); });
            Say(loop_->Start() ? "looping" : "loop-failed");
        } else if (command == "reserve") {
            auto kept = line_ ? line_->CloseKeepingDevice() : nullptr;
            Close();
            reservation_ = std::move(kept);
            Say(reservation_ ? "reserved" : "reserved nothing");
        } else if (command == "close") {
            Close();
            Say("closed");
        } else if (command == "cycle") {
            std::size_t count = 0;
            SerialSettings settings;
            std::string port;
            in >> count >> settings.baudRate >> port;
            Close();
            std::size_t done = 0;
            for (std::size_t i = 0; i < count; ++i) {
                auto line = OpenPlatformLine(port).line;
                if (!line || !line->ApplySettings(settings)) break;
                const std::uint8_t byte = static_cast<std::uint8_t>(i % 251);
                if (line->WriteAll(&byte, 1) != 1) break;
                line->Close();
                ++done;
            }
            Say("cycled " + std::to_string(done));
        } else {
            Say("unknown " + command);
        }
    }

    void Close() {
        if (line_) line_->Close();
        reservation_.reset();
        loop_.reset();  // its thread ends once the line is closed
        port_.reset();
        line_.reset();
    }
    void JoinWriter() {
        if (writer_.joinable()) writer_.join();
    }

    std::shared_ptr<SerialLine> line_;
    std::unique_ptr<PortReservation> reservation_;
    std::unique_ptr<CSerialPort> port_;
    std::unique_ptr<ReceiveLoop> loop_;
    std::thread writer_;
};

}  // namespace

int main() {
    Probe probe;
    probe.Run();
    return 0;
}
