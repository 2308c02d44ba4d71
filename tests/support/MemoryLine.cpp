#include "tests/support/MemoryLine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace memory_line {

bool MemoryLine::ApplySettings(const SerialSettings& settings) {
    std::lock_guard lock(shared_->mutex);
    if (closed_ || settings.baudRate == 0) return false;
    baudRate_ = settings.baudRate;
    return true;
}

bool MemoryLine::IsUsable() const {
    std::lock_guard lock(shared_->mutex);
    return !closed_ && !hungUp_;
}

int MemoryLine::BytesQueued() const {
    std::lock_guard lock(shared_->mutex);
    if (closed_) return -1;
    chunkEnded_ = false;  // a new read begins
    if (chunks_.empty()) return 0;
    return static_cast<int>(chunks_.front().size() - readInFront_);
}

int MemoryLine::OutputQueued() const {
    std::lock_guard lock(shared_->mutex);
    if (closed_) return -1;
    if (shared_->paceClock) {
        const EngineClock::TimePoint now = shared_->paceClock->Now();
        while (!leaving_.empty() && leaving_.front() <= now) leaving_.pop_front();
    }
    return static_cast<int>(leaving_.size());
}

long MemoryLine::ReadQueued(std::uint8_t* buffer, std::size_t maxBytes) {
    std::lock_guard lock(shared_->mutex);
    if (closed_) return -1;
    // A read hands over one pushed chunk at most, so chunks reach the engine as pushed.
    if (chunkEnded_ || chunks_.empty()) return 0;
    const Bytes& front = chunks_.front();
    const std::size_t n = std::min(maxBytes, front.size() - readInFront_);
    std::memcpy(buffer, front.data() + readInFront_, n);
    readInFront_ += n;
    if (readInFront_ == front.size()) {
        chunks_.pop_front();
        readInFront_ = 0;
        chunkEnded_ = true;
        shared_->changed.notify_all();
    }
    return static_cast<long>(n);
}

std::size_t MemoryLine::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard writeLock(writeMutex_);
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> hook;
        std::function<void()> listener;
        {
            std::unique_lock lock(shared_->mutex);
            if (shared_->held && !closed_ && !hungUp_) {
                ++shared_->writersWaiting;
                shared_->changed.notify_all();
                shared_->changed.wait(lock, [&] { return !shared_->held || closed_ || hungUp_; });
                --shared_->writersWaiting;
            }
            if (closed_ || hungUp_) return i;
            const std::size_t index = shared_->written.size();
            shared_->written.push_back({bytes[i], baudRate_, opening_});
            if (shared_->paceClock) {
                // The byte leaves once the line has sent every byte before it.
                const EngineClock::TimePoint now = shared_->paceClock->Now();
                const EngineClock::TimePoint from =
                    leaving_.empty() ? now : std::max(now, leaving_.back());
                leaving_.push_back(from + shared_->byteTime);
            }
            if (auto found = shared_->hooks.find(index); found != shared_->hooks.end()) {
                hook = std::move(found->second);
                shared_->hooks.erase(found);
            }
            listener = shared_->writeListener;
            shared_->changed.notify_all();
        }
        if (hook) hook();
        if (listener) listener();
    }
    return count;
}

SerialLine::WaitResult MemoryLine::WaitForInput() {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return closed_ || hungUp_ || !chunks_.empty(); });
    if (closed_) return WaitResult::Closed;
    if (!chunks_.empty()) return WaitResult::InputReady;
    return WaitResult::HungUp;
}

bool MemoryLine::DiscardInput() {
    std::lock_guard lock(shared_->mutex);
    if (closed_) return false;
    chunks_.clear();
    readInFront_ = 0;
    return true;
}

void MemoryLine::Close() {
    std::lock_guard lock(shared_->mutex);
    closed_ = true;
    shared_->changed.notify_all();
}

bool MemoryLine::IsClosed() const {
    std::lock_guard lock(shared_->mutex);
    return closed_;
}

MemoryPort::~MemoryPort() {
    std::lock_guard lock(shared_->mutex);
    shared_->hooks.clear();
    shared_->writeListener = nullptr;
}

LineOpener MemoryPort::Opener() {
    return [shared = shared_](const std::string&) -> LineOpenResult {
        std::lock_guard lock(shared->mutex);
        if (shared->refuseOpening) return {nullptr, LineError::FromErrno(ENOENT)};
        if (auto line = shared->current.lock(); line && !line->closed_)
            return {nullptr, LineError::FromErrno(EBUSY)};
        auto line = std::make_shared<MemoryLine>(shared, ++shared->openings);
        shared->current = line;
        shared->changed.notify_all();
        return {line, {}};
    };
}

void MemoryPort::RefuseOpening(bool refuse) {
    std::lock_guard lock(shared_->mutex);
    shared_->refuseOpening = refuse;
}

int MemoryPort::Openings() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->openings;
}

std::shared_ptr<MemoryLine> MemoryPort::CurrentLine() const {
    auto line = shared_->current.lock();
    return line && !line->closed_ ? line : nullptr;
}

bool MemoryPort::LineOpen() const {
    std::lock_guard lock(shared_->mutex);
    return CurrentLine() != nullptr;
}

std::uint32_t MemoryPort::CurrentBaudRate() const {
    std::lock_guard lock(shared_->mutex);
    const auto line = CurrentLine();
    return line ? line->baudRate_ : 0;
}

bool MemoryPort::Push(Bytes bytes) {
    std::lock_guard lock(shared_->mutex);
    const auto line = CurrentLine();
    if (!line || line->hungUp_ || bytes.empty()) return false;
    line->chunks_.push_back(std::move(bytes));
    shared_->changed.notify_all();
    return true;
}

void MemoryPort::PaceOutput(const EngineClock& clock, std::uint32_t bytesPerSecond) {
    std::lock_guard lock(shared_->mutex);
    shared_->paceClock = &clock;
    shared_->byteTime = std::chrono::nanoseconds(1'000'000'000 / bytesPerSecond);
}

void MemoryPort::Hold() {
    std::lock_guard lock(shared_->mutex);
    shared_->held = true;
}

void MemoryPort::Release() {
    std::lock_guard lock(shared_->mutex);
    shared_->held = false;
    shared_->changed.notify_all();
}

void MemoryPort::HangUp() {
    std::lock_guard lock(shared_->mutex);
    if (const auto line = CurrentLine()) line->hungUp_ = true;
    shared_->changed.notify_all();
}

void MemoryPort::OnByte(std::size_t index, std::function<void()> hook) {
    std::lock_guard lock(shared_->mutex);
    shared_->hooks[index] = std::move(hook);
}

void MemoryPort::SetWriteListener(std::function<void()> listener) {
    std::lock_guard lock(shared_->mutex);
    shared_->writeListener = std::move(listener);
}

std::vector<WrittenByte> MemoryPort::Written() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->written;
}

Bytes MemoryPort::WrittenBytes(std::size_t from, std::size_t count) const {
    std::lock_guard lock(shared_->mutex);
    Bytes bytes;
    const auto& written = shared_->written;
    for (std::size_t i = from; i < written.size() && bytes.size() < count; ++i)
        bytes.push_back(written[i].byte);
    return bytes;
}

std::size_t MemoryPort::WrittenCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->written.size();
}

int MemoryPort::OutputQueued() const {
    std::shared_ptr<MemoryLine> line;
    {
        std::lock_guard lock(shared_->mutex);
        line = CurrentLine();
    }
    return line ? std::max(0, line->OutputQueued()) : 0;
}

int MemoryPort::WritersWaiting() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->writersWaiting;
}

bool MemoryPort::WaitForWritten(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout,
                                     [&] { return shared_->written.size() >= count; });
}

bool MemoryPort::WaitForInputRead(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    const auto line = CurrentLine();
    return line && shared_->changed.wait_for(lock, timeout, [&] {
        return line->closed_ || line->chunks_.empty();
    });
}

bool MemoryPort::WaitForWritersWaiting(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout,
                                     [&] { return shared_->writersWaiting >= count; });
}

}  // namespace memory_line
