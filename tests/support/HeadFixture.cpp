#include "tests/support/HeadFixture.h"

#include <poll.h>

#include <algorithm>

#include "upgrade/PelcoCommand.h"
#include "upgrade/ResponseCodes.h"

namespace head_test {

std::vector<FirmwareFrame> FramesFor(const Bytes& image) {
    std::vector<FirmwareFrame> frames;
    const auto size = static_cast<std::int32_t>(image.size());
    std::int32_t offset = 0;
    do {
        const std::size_t n = std::min<std::size_t>(FRAME_DATA_SIZE, image.size() - offset);
        FirmwareFrame frame{};
        BuildFirmwareFrame(frame, offset, {image.data() + offset, n}, size);
        frames.push_back(frame);
        offset += static_cast<std::int32_t>(FRAME_DATA_SIZE);
    } while (offset < size);
    return frames;
}

head::HeadOptions LoaderOptions() {
    head::HeadOptions options;
    options.startInLoader = true;
    return options;
}

Bytes ExpectedAnswers(std::size_t frames) {
    Bytes answers(frames, RSP_BLOCK_OK);
    answers.back() = RSP_DONE;
    return answers;
}

ToolSide::ToolSide(const std::string& path, std::uint32_t baud)
    : line_(PosixSerialLine::Open(path).line) {
    if (line_) SetSpeed(baud);
}

bool ToolSide::SetSpeed(std::uint32_t baud) {
    return line_->ApplySettings({baud, 8, 0, 0});
}

bool ToolSide::Send(std::span<const std::uint8_t> bytes) {
    return line_->WriteAll(bytes.data(), bytes.size()) == bytes.size();
}

std::vector<Bytes> ToolSide::ReadChunks(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<Bytes> chunks;
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{line_->DescriptorForTests(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t buffer[256];
        const long n = line_->ReadQueued(buffer, std::min(sizeof buffer, count - got));
        if (n < 0) break;
        if (n == 0) continue;
        chunks.emplace_back(buffer, buffer + n);
        got += static_cast<std::size_t>(n);
    }
    return chunks;
}

Bytes ToolSide::Read(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes got;
    for (const Bytes& chunk : ReadChunks(count, timeout)) {
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    return got;
}

Bytes ToolSide::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    Bytes got;
    for (;;) {
        Bytes more = Read(4096, quiet);
        if (more.empty()) return got;
        got.insert(got.end(), more.begin(), more.end());
    }
}

bool ToolSide::Writable() const {
    pollfd p{line_->DescriptorForTests(), POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

void HeadTest::StartHead(head::HeadOptions options, std::uint32_t toolBaud) {
    std::string error;
    head_ = head::VirtualHead::CreatePty(std::move(options), &error);
    ASSERT_TRUE(head_) << error;
    head_->Start();
    tool_ = std::make_unique<ToolSide>(head_->SlavePath(), toolBaud);
    ASSERT_TRUE(tool_->IsOpen());
}

bool HeadTest::WaitFor(const std::function<bool(const head::HeadReport&)>& condition) {
    return head_->WaitFor(condition, kWait);
}

Bytes HeadTest::SendFrame(const FirmwareFrame& frame) {
    if (!tool_->Send(frame)) return {};
    return tool_->Read(1);
}

Bytes HeadTest::SendImage(const Bytes& image) {
    Bytes answers;
    for (const FirmwareFrame& frame : FramesFor(image)) {
        const Bytes answer = SendFrame(frame);
        if (answer.size() != 1) break;
        answers.push_back(answer[0]);
    }
    return answers;
}

}  // namespace head_test
