#include "tests/support/EngineFixture.h"

#include <algorithm>
#include <fstream>

#include "tests/support/TestImages.h"
#include "upgrade/ResponseCodes.h"

namespace engine_test {

void RecordingObserver::Add(std::string event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    if (onEvent) onEvent();
}

void RecordingObserver::OnSentCountChanged() {
    ++countReports_;
    if (countOutstanding_.exchange(true)) ++doubleCountReports_;
    if (onEvent) onEvent();
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
    port.SetWriteListener([this] { Poke(); });
    CreateEngine(port.Opener(), &clock);
    ASSERT_TRUE(engine->OpenPort());
    observer.ClearEvents();
}

void EngineFixture::TearDown() {
    port.Release();
    engine.reset();
    port.SetWriteListener(nullptr);
    observer.onEvent = nullptr;
}

void EngineFixture::CreateEngine(LineOpener opener, EngineClock* engineClock) {
    engine.reset();
    engine = std::make_unique<UpgradeEngine>(
        observer, UpgradeEngine::Options{std::move(opener), engineClock});
    engine->SetChunkSink([this](std::vector<std::uint8_t> chunk) {
        std::lock_guard lock(mutex_);
        chunks_.push_back(std::move(chunk));
        changed_.notify_all();
    });
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
        while (!chunks_.empty()) {
            Bytes chunk = std::move(chunks_.front());
            chunks_.pop_front();
            lock.unlock();
            engine->OnBytesReceived(chunk);
            lock.lock();
            ++handled_;
            changed_.notify_all();
        }
        if (takeCountsWhilePumping && observer.CountOutstanding()) {
            lock.unlock();
            TakeSentCount();
            lock.lock();
            continue;
        }
        if (condition()) return true;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return chunks_.empty() && condition();
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
    std::int32_t opened = 0;
    ASSERT_EQ(engine->OpenFirmware(path, &opened), FirmwareCheck::Opened);
    ASSERT_EQ(opened, static_cast<std::int32_t>(size));
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
    observer.CountTaken();
    const std::int32_t count = engine->TakeSentCount();
    if (static_cast<std::size_t>(count) > FrameBytesWritten()) ++countAboveLine;
    lastTaken = count;
    return count;
}

bool EngineFixture::SentCountReaches(std::int32_t count) {
    if (TakeSentCount() == count) return true;
    // PumpUntil takes the count at each report.
    return PumpUntil([&] { return lastTaken.load() == count; });
}

}  // namespace engine_test
