// The virtual camera head on a pseudo-terminal with the tool's side of the line played by the
// test, the way the tool drives a port, and the tool's frames built by the tool's own code.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "serial/posix/PosixSerialLine.h"
#include "tools/head/VirtualHead.h"
#include "upgrade/FirmwareFrame.h"

namespace head_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::chrono::milliseconds kWait{10'000};  // every wait is bounded
inline constexpr std::chrono::milliseconds kQuiet{300};

// The frames the tool sends for an image, built by the tool's own code.
std::vector<FirmwareFrame> FramesFor(const Bytes& image);

// Options of a head that starts in its loader.
head::HeadOptions LoaderOptions();

// The answers to a whole image sent once: 82 to every frame, 84 to the last.
Bytes ExpectedAnswers(std::size_t frames);

// The tool's side of the line: the slave path opened and set up the way the tool does it.
class ToolSide {
  public:
    ToolSide(const std::string& path, std::uint32_t baud);
    bool IsOpen() const { return line_ != nullptr; }
    bool SetSpeed(std::uint32_t baud);
    bool Send(std::span<const std::uint8_t> bytes);
    bool Send(std::initializer_list<std::uint8_t> bytes) {
        return Send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }
    // Reads until count bytes have come or the time is up.
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout = kWait);
    // Reads whatever comes until nothing more has come for quiet.
    Bytes ReadUntilQuiet(std::chrono::milliseconds quiet = kQuiet);
    // Reads as the tool's receive loop does, one read() a chunk, until count bytes have come
    // or the time is up: the chunks as they were read.
    std::vector<Bytes> ReadChunks(std::size_t count, std::chrono::milliseconds timeout = kWait);
    // True while the line's driver would take a byte now (false while a peer's XOFF holds it).
    bool Writable() const;

  private:
    std::shared_ptr<PosixSerialLine> line_;
};

class HeadTest : public testing::Test {
  protected:
    void StartHead(head::HeadOptions options, std::uint32_t toolBaud = 115200);
    bool WaitFor(const std::function<bool(const head::HeadReport&)>& condition);
    // Sends a frame and returns the one answer byte (empty when none came).
    Bytes SendFrame(const FirmwareFrame& frame);
    // Sends every frame of the image, each once, and returns the answers in order.
    Bytes SendImage(const Bytes& image);

    std::unique_ptr<head::VirtualHead> head_;
    std::unique_ptr<ToolSide> tool_;
};

}  // namespace head_test
