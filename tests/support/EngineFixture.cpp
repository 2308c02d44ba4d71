#include "tests/support/EngineFixture.h"

#include <algorithm>
#include <fstream>

#include "tests/support/TestImages.h"
#include "tests/support/WaitBreaker.h"
#include "upgrade/ResponseCodes.h"

namespace engine_test {

void RecordingObserver::Add(std::string event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    if (onEvent) onEvent();
}

std::string RecordingObserver::FailureEvent(TransferFailure failure) {
    switch (failure) {
        case TransferFailure::PortOpenFailed:
        case TransferFailure::PortTimeoutsFailed:
        case TransferFailure::PortEventsFailed:
            return "open-failed";
        case TransferFailure::ThreadNotStarted:
            return "thread-failed";
        case TransferFailure::PortLost:
            return "port-lost";
        case TransferFailure::WriteFailed:
            return "write-failed";
        case TransferFailure::FileUnreadable:
            return "file-unreadable";
        case TransferFailure::NoAnswer:
            return "no-answer";
        case TransferFailure::HeadFailed:
            return "failed";
        case TransferFailure::HeadTimedOut:
            return "timeout";
        case TransferFailure::DoneTooEarly:
            return "done-too-early";
        case TransferFailure::DoneWithheld:
            return "done-withheld";
        default:
            return "never-reported-by-the-engine";
    }
}

void RecordingObserver::OnSentCountChanged(std::int32_t count) {
    ++countReports_;
    if (onCount) onCount(count);
}

std::vector<std::string> RecordingObserver::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool RecordingObserver::Saw(const std::string& event) const {
    std::lock_guard lock(mutex_);
    return std::find(events_.begin(), events_.end(), event) != events_.end();
}

void RecordingObserver::ClearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

Bytes ExpectedFrame(const Bytes& image, std::size_t offset) {
    FirmwareFrame frame;
    const std::size_t start = std::min(offset, image.size());
    const std::size_t n = std::min(FRAME_DATA_SIZE, image.size() - start);
    BuildFirmwareFrame(frame, static_cast<std::int32_t>(offset), {image.data() + start, n},
                       static_cast<std::int32_t>(image.size()));
    return Bytes(frame.begin(), frame.end());
}

void EngineFixture::SetUp() {
    observer.onEvent = [this] { Poke(); };
    observer.onCount = [this](std::int32_t count) {
        // Ahead of the line: more than the bytes that have left the output queue.
        const std::size_t onLine = FrameBytesWritten() - std::size_t(port.OutputQueued());
        if (static_cast<std::size_t>(count) > onLine) ++countAboveLine;
        lastTaken = count;
    };
    port.SetWriteListener([this] { Poke(); });
    CreateEngine(port.Opener(), &clock);
    ASSERT_TRUE(OpenPort());
    observer.ClearEvents();
}

bool EngineFixture::OpenPort() {
    SerialSettings settings = engine->LineSettings();
    settings.portName = portName;
    return engine->OpenPort(settings);
}

void EngineFixture::TearDown() {
    port.Release();
    engine.reset();
    port.SetWriteListener(nullptr);
    observer.onEvent = nullptr;
    observer.onCount = nullptr;
}

void EngineFixture::CreateEngine(LineOpener opener, EngineClock* engineClock,
                                 std::chrono::milliseconds countRefresh) {
    engine.reset();
    engineClock_ = engineClock;
    engine = std::make_unique<UpgradeEngine>(
        observer, UpgradeEngine::Options{.openLine = std::move(opener),
                                         .clock = engineClock,
                                         .countRefresh = countRefresh,
                                         .wake = [this] {
                                             std::lock_guard lock(mutex_);
                                             rung_ = true;
                                             changed_.notify_all();
                                         }});
    // A chunk counts as handled once the pump that acted on it has returned.
    engine->SetChunkWatcher([this](std::span<const std::uint8_t>) { ++seen_; });
}

void EngineFixture::Poke() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

bool EngineFixture::PumpUntil(const std::function<bool()>& condition,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        rung_ = false;
        lock.unlock();
        engine->Pump();
        lock.lock();
        if (handled_ != seen_) {
            handled_ = seen_;
            changed_.notify_all();
        }
        if (rung_) continue;
        if (condition()) return true;
        if (WaitBreaker::Broken()) return false;
        // A timer that is due already (the count's, at every change) is run at once.
        const auto next = engine->NextDeadline();
        const auto now = engineClock_ ? engineClock_->Now() : std::chrono::steady_clock::now();
        if (next && *next <= now) continue;
        const auto wake = WaitBreaker::WakeBy(deadline);
        if (changed_.wait_until(lock, wake) == std::cv_status::timeout && wake == deadline) {
            lock.unlock();
            engine->Pump();
            lock.lock();
            handled_ = seen_;
            return condition();
        }
    }
}

void EngineFixture::AnswerChunk(Bytes chunk) {
    const std::size_t before = ChunksHandled();
    ASSERT_TRUE(port.Push(std::move(chunk))) << "no line open";
    ASSERT_TRUE(PumpUntil([&] { return handled_ > before; })) << "the chunk never arrived";
}

bool EngineFixture::InjectAndAwait(Bytes chunk) {
    const std::size_t before = ChunksHandled();
    if (!port.Push(std::move(chunk))) return false;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return handled_ > before; });
}

std::size_t EngineFixture::ChunksHandled() {
    std::lock_guard lock(mutex_);
    return handled_;
}

void EngineFixture::LoadImage(std::size_t size, std::uint32_t seed) {
    image = RandomImage(size, seed);
    const std::string path = folder.File("image-" + std::to_string(size) + ".bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    const ImageCheck check = engine->OpenFirmware(path);
    ASSERT_TRUE(check.Opened());
    ASSERT_EQ(check.size, static_cast<std::int32_t>(size));
}

void EngineFixture::Greet() {
    engine->Greet();
    Answer(RSP_CONNECTED);
}

void EngineFixture::Start() {
    framesBase = port.WrittenCount();
    ASSERT_TRUE(engine->StartUpgrade());
}

std::size_t EngineFixture::FrameByteIndex(std::size_t frame, std::size_t i) const {
    return framesBase + frame * FRAME_SIZE + i;
}

bool EngineFixture::WaitForFrames(std::size_t frames) {
    const std::size_t total = framesBase + frames * FRAME_SIZE;
    return PumpUntil(
        [&] { return port.WrittenCount() >= total && engine->State().senderAwake == 0; });
}

Bytes EngineFixture::FrameOnLine(std::size_t frame) const {
    Bytes bytes = port.WrittenBytes(FrameByteIndex(frame, 0), FRAME_SIZE);
    if (bytes.size() < FRAME_SIZE) bytes.clear();
    return bytes;
}

std::int32_t EngineFixture::TakeSentCount() {
    engine->Pump();
    return lastTaken.load();
}

bool EngineFixture::SentCountReaches(std::int32_t count) {
    return PumpUntil([&] { return lastTaken.load() == count; });
}

}  // namespace engine_test
