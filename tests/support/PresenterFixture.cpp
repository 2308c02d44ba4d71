#include "tests/support/PresenterFixture.h"

#include <cerrno>
#include <fstream>

#include "tests/support/TestImages.h"
#include "upgrade/ResponseCodes.h"

using namespace std::chrono_literals;
using engine_test::Bytes;

std::vector<std::string> FakeView::Told() const {
    std::vector<std::string> texts;
    for (const Notice& notice : notices) texts.push_back(notice.text);
    return texts;
}

void FakeView::Tell(const Notice& notice) {
    notices.push_back(notice);
    countsTold.push_back(shown.sentCount);
    if (whileTold) whileTold(notice);
}

void FakeView::Wake() {
    std::lock_guard lock(mutex);
    rung = true;
    changed.notify_all();
}

ScreenState OpenScreen() {
    ScreenState s;
    s.openPortCaption = "关闭串口";
    s.selectFileEnabled = true;
    return s;
}

PresenterRun::PresenterRun(bool com1Present) {
    port.RefuseOpening(!com1Present);
    port.SetWriteListener([this] { view.Wake(); });  // conditions on the line are looked at
    com2.SetWriteListener([this] { view.Wake(); });
    LineOpener open = [this](const std::string& name) -> LineOpenResult {
        namesOpened.push_back(name);
        if (beforeOpening) beforeOpening();
        if (name == "COM1") return port.Opener()(name);
        if (name == "COM2" || name.starts_with("/")) return com2.Opener()(name);
        return {nullptr, LineError::FromErrno(ENOENT)};
    };
    presenter = std::make_unique<UpgradePresenter>(view, UpgradePresenter::Services{open, &clock});
    presenter->Engine().SetChunkWatcher([this](std::span<const std::uint8_t>) { ++chunks; });
    presenter->OnInitDialog();
}

PresenterRun::~PresenterRun() {
    port.Release();
    com2.Release();
    presenter.reset();
    port.SetWriteListener(nullptr);
    com2.SetWriteListener(nullptr);
}

bool PresenterRun::PumpUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + engine_test::kWait;
    std::unique_lock lock(view.mutex);
    for (;;) {
        view.rung = false;
        lock.unlock();
        presenter->Pump();
        lock.lock();
        if (condition()) return true;
        // The sender counts its last byte without a ring: looked at again every few ms.
        if (std::chrono::steady_clock::now() >= end) return false;
        if (!view.rung) view.changed.wait_for(lock, 5ms);
    }
}

std::string PresenterRun::CountShown() {
    clock.Advance(UpgradeEngine::kCountRefresh);
    Settle();
    return view.shown.sentCount;
}

std::string PresenterRun::WriteFile(const std::string& name, const Bytes& bytes) {
    const std::string path = folder.File(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

void PresenterRun::ChooseFile(std::size_t size) {
    image = RandomImage(size, 3);
    view.file = WriteFile("image.bin", image);
    presenter->OnSelectFile();
}

void PresenterRun::Answer(std::uint8_t code, memory_line::MemoryPort* on) {
    const int seen = chunks;
    ASSERT_TRUE((on ? on : &port)->Push({code}));
    ASSERT_TRUE(PumpUntil([&] { return chunks > seen; })) << "answer " << int(code);
}

void PresenterRun::FramesOut(std::size_t frames) {
    const std::size_t total = frames * FRAME_SIZE;
    ASSERT_TRUE(PumpUntil([&] {
        const TransferState& state = presenter->Engine().State();
        return port.WrittenCount() >= framesFrom + total && state.senderAwake == 0 &&
               std::size_t(state.bytesSent.load()) == total;
    })) << "frames out: "
        << FramesOnLine();
}

void PresenterRun::StartTransfer(std::size_t size) {
    ChooseFile(size);
    Answer(RSP_CONNECTED);
    framesFrom = port.WrittenCount();
    presenter->OnStartUpgrade();
    FramesOut(1);
}

void PresenterRun::HoldNextFrame() {
    port.Hold();
    Answer(RSP_BLOCK_OK);
    ASSERT_TRUE(port.WaitForWritersWaiting(1, engine_test::kWait));
}

Bytes PresenterRun::StartAgain(std::chrono::milliseconds wait) {
    Answer(RSP_CONNECTED);
    const std::size_t before = port.WrittenCount();
    presenter->OnStartUpgrade();
    Settle();
    port.WaitForWritten(before + FRAME_SIZE, wait);
    return port.WrittenBytes(before, FRAME_SIZE);
}

void PresenterRun::WaitOutTheAnswer() {
    clock.Advance(UpgradeEngine::kAnswerWait - 1ms);
    Settle();
    EXPECT_TRUE(view.notices.empty()) << "not before the wait is up";
    clock.Advance(1ms);
    Settle();
    EXPECT_EQ(view.notices.size(), 1u) << "as soon as the wait is up";
    clock.Advance(UpgradeEngine::kAnswerWait * 2);
    Settle();
    EXPECT_EQ(view.notices.size(), 1u) << "once";
}

Bytes PresenterRun::FrameOnLine(std::size_t k) const {
    return port.WrittenBytes(framesFrom + k * FRAME_SIZE, FRAME_SIZE);
}
