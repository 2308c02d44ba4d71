#include "tests/support/WindowFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <cerrno>

#include "tests/support/WaitBreaker.h"

bool ProcessEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    // Sleeps in the event loop until an event comes (workers' posted calls wake it at once);
    // the timer makes it look at the condition at least every few milliseconds.
    QTimer tick;
    tick.start(2);
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (WaitBreaker::Broken()) return false;
        if (timer.elapsed() > timeout.count()) return condition();
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration) {
    QElapsedTimer timer;
    timer.start();
    ProcessEventsUntil([&] { return timer.elapsed() >= duration.count(); },
                       duration + std::chrono::seconds(1));
}

::testing::AssertionResult CentredOver(const QRect& dialogFrame, const QRect& ownerFrame) {
    const QPoint offset = dialogFrame.center() - ownerFrame.center();
    const bool bare = QGuiApplication::platformName() == QLatin1String("xcb");
    const bool centred =
        bare ? offset.x() >= -12 && offset.x() <= 2 && offset.y() >= -42 && offset.y() <= 2
             : offset.manhattanLength() <= 2;
    if (centred) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the dialog's middle is off the owner's by " << offset.x() << "," << offset.y();
}

void WindowFixture::SetUp() {
    ASSERT_TRUE(com1->IsOpen());
    ASSERT_TRUE(com2->IsOpen());
    services.openLine = [this](const std::string& name) -> LineOpenResult {
        if (name == "COM1" && com1) return OpenPlatformLine(com1->SlavePath());
        if (name == "COM2" && com2) return OpenPlatformLine(com2->SlavePath());
        if (!name.empty() && name.front() == '/') return OpenPlatformLine(name);
        return {nullptr, LineError::FromErrno(ENOENT)};
    };
    services.presenter = [this](const MessageBoxRequest& request) {
        boxes.push_back(request);
        if (whileBoxOpen) whileBoxOpen(request);
    };
    services.clock = &clock;
}

void WindowFixture::TearDown() {
    window.reset();
}

void WindowFixture::CreateWindow() {
    window = std::make_unique<CUpgradeDlg>(nullptr, services);
    window->OnInitDialog();
}

std::vector<QString> WindowFixture::BoxTexts() const {
    std::vector<QString> texts;
    for (const auto& box : boxes) texts.push_back(box.text);
    return texts;
}
