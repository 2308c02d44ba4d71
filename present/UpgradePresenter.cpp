#include "present/UpgradePresenter.h"

#include <algorithm>

#include "present/FailureNotices.h"
#include "serial/PortNames.h"
#include "upgrade/FirmwareFrame.h"

namespace {
const char kOpenCaption[] = "打开串口";
const char kCloseCaption[] = "关闭串口";
const char kConnectedCaption[] = "连接成功";
constexpr int kPortCount = 50;

std::string Trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    auto begin = std::find_if_not(text.begin(), text.end(), blank);
    auto end = std::find_if_not(text.rbegin(), std::make_reverse_iterator(begin), blank).base();
    return std::string(begin, end);
}
}  // namespace

UpgradePresenter::UpgradePresenter(OperatorView& view, Services services)
    : view_(view),
      clock_(services.clock ? *services.clock : SystemClock::Instance()),
      engine_(*this, {.openLine = std::move(services.openLine),
                      .clock = services.clock,
                      .wake = [&view] { view.Wake(); }}) {}

UpgradePresenter::~UpgradePresenter() {
    engine_.StopAll();
}

std::vector<std::string> UpgradePresenter::PortChoices() {
    return PortChoices(ListPorts());
}

std::vector<std::string> UpgradePresenter::PortChoices(const std::vector<PortEntry>& found) {
    std::vector<std::string> ports;
    std::vector<std::string> devices;  // what COM1 to COM50 stand for on this platform
    for (int n = 1; n <= kPortCount; ++n) {
        ports.push_back("COM" + std::to_string(n));
        devices.push_back(DevicePathForPortName(ports.back()));
    }
    const auto covered = [&](const std::string& path) {
        if (const auto number = ComPortNumber(path, true)) return *number <= kPortCount;
        return std::find(devices.begin(), devices.end(), path) != devices.end();
    };
    // A device that a by-id link points to is listed by the link's name, which stays the same
    // whichever socket the adapter is plugged into.
    const auto linked = [&](const std::string& path) {
        return std::any_of(found.begin(), found.end(),
                           [&](const PortEntry& entry) { return entry.target == path; });
    };
    for (const PortEntry& entry : found) {
        if (entry.path.empty() || covered(entry.path) || linked(entry.path)) continue;
        if (std::find(ports.begin(), ports.end(), entry.path) == ports.end())
            ports.push_back(entry.path);
    }
    return ports;
}

// --- Showing

void UpgradePresenter::Flush() {
    if (shown_ == screen_) return;
    shown_ = screen_;
    view_.Show(screen_);
}

void UpgradePresenter::Settle() {
    Flush();
    std::optional<std::chrono::milliseconds> delay;
    if (const auto deadline = engine_.NextDeadline()) {
        delay = std::max(std::chrono::milliseconds(0),
                         std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock_.Now()));
    }
    if (!delay && !timerAsked_) return;  // none due, and none asked for
    timerAsked_ = delay.has_value();
    view_.WakeAfter(delay);
}

void UpgradePresenter::Tell(const Notice& notice) {
    Flush();
    view_.Tell(notice);
}

void UpgradePresenter::SetProgressRange(std::int32_t firmwareSize) {
    // A range of 0 .. 0 would make the bar a busy indicator: an empty file gets 0 .. 1.
    screen_.progressMaximum = std::max<std::int32_t>(firmwareSize, 1);
}

void UpgradePresenter::SetProgressPosition(std::int32_t position) {
    // The whole file accepted fills the bar, also for an empty file (whose range is 0 .. 1).
    const bool whole = position >= engine_.FirmwareSize();
    screen_.progressPosition =
        whole ? screen_.progressMaximum : std::clamp(position, 0, screen_.progressMaximum);
}

// --- Entries

void UpgradePresenter::OnInitDialog() {
    screen_.progressVisible = false;
    engine_.EndTransfer();
    engine_.ForgetFirmware();
    engine_.LineSettings().baudRate = UPGRADE_BAUD_RATE;
    screen_.selectFileEnabled = false;
    screen_.startUpgradeEnabled = false;
    screen_.connectEnabled = false;
    Flush();
    engine_.OpenPort(ReadPortSettings());
    Settle();
}

void UpgradePresenter::OnOpenPortButton() {
    if (engine_.PortOpen()) {
        engine_.ClosePort();
    } else {
        engine_.OpenPort(ReadPortSettings());
    }
    Settle();
}

void UpgradePresenter::OnPortListChange() {
    engine_.ChangePort(ReadPortSettings());
    Settle();
}

void UpgradePresenter::OnReopenPort() {
    engine_.ReopenPort();
    Settle();
}

void UpgradePresenter::OnConnect() {
    if (!screen_.connectEnabled) return;  // a press on a disabled button does nothing
    engine_.Greet();
    Settle();
}

void UpgradePresenter::OnDeviceSelected(const DeviceSelection& device) {
    Flush();
    view_.SetBusy(true);  // the window is frozen for the pauses of the handshake
    engine_.SelectDevice(device);
    view_.SetBusy(false);
    Settle();
}

void UpgradePresenter::OnStartUpgrade() {
    // A press on the disabled button (a second click queued behind the first) starts nothing:
    // one press, one transfer.
    if (!screen_.startUpgradeEnabled) return;
    engine_.StartUpgrade();
    screen_.startUpgradeEnabled = false;
    // No greeting in the middle of a transfer (enabled again by the device's next selection).
    screen_.connectEnabled = false;
    Settle();
}

void UpgradePresenter::OnSerialData(std::span<const std::uint8_t> chunk) {
    engine_.OnSerialData(chunk);
    Settle();
}

void UpgradePresenter::Pump() {
    engine_.Pump();
    Settle();
}

void UpgradePresenter::OnSelectFile() {
    if (!screen_.selectFileEnabled) return;
    // The transfer under way goes on while the dialog is open, and as it was when it is
    // cancelled: only a file chosen ends it.
    const std::optional<std::string> chosen = view_.AskFirmwareFile();
    if (!chosen || chosen->empty()) {
        Settle();
        return;
    }
    // Whatever file comes, it starts at its first block. A transfer under way ends after the
    // frame going out (never part-way through it), and the operator is told.
    const bool wasUnderWay = engine_.TransferUnderWay();
    engine_.EndTransfer();
    screen_.progressPosition = 0;
    if (wasUnderWay) Tell({"更新已中止!"});
    screen_.filePath = *chosen;
    screen_.progressVisible = true;

    const ImageCheck check = engine_.OpenFirmware(*chosen);
    if (!check.Opened()) {
        if (check.fault == ImageFault::Empty) {
            Tell({"升级文件为空!"});
        } else {
            OnFailure(TransferFailure::ImageRefused);
        }
        Settle();
        return;
    }
    screen_.totalCount = std::to_string(TotalBytesToSend(check.size));
    SetProgressRange(check.size);
    Flush();
    if (const std::optional<DeviceSelection> device = view_.AskDevice()) {
        OnDeviceSelected(*device);
        return;
    }
    Settle();
}

// --- The engine's reports

SerialSettings UpgradePresenter::ReadPortSettings() {
    SerialSettings settings = engine_.LineSettings();
    settings.portName = Trimmed(view_.ChosenPort());
    return settings;
}

void UpgradePresenter::OnPortStateChanged(bool open) {
    screen_.openPortCaption = open ? kCloseCaption : kOpenCaption;
    screen_.selectFileEnabled = open;
}

void UpgradePresenter::OnPortReopened(bool open) {
    if (open) {
        screen_.connectEnabled = true;
    } else {
        screen_.startUpgradeEnabled = false;
        screen_.connectEnabled = false;
    }
}

void UpgradePresenter::OnFailure(TransferFailure failure) {
    const FailureNotice& row = FailureNoticeFor(failure);
    if (row.endsTransfer) screen_.startUpgradeEnabled = false;
    if (const std::optional<Notice> notice = NoticeOf(row)) Tell(*notice);
}

void UpgradePresenter::OnConnected() {
    screen_.startUpgradeEnabled = true;
    screen_.connectCaption = kConnectedCaption;
    screen_.connectEnabled = false;
}

void UpgradePresenter::OnBlockAccepted(std::int32_t position) {
    SetProgressPosition(position);
}

void UpgradePresenter::OnChecksumError() {
    Tell({"校验错误"});
}

void UpgradePresenter::OnUpgradeDone(std::int32_t position) {
    SetProgressPosition(position);
    Tell({"更新成功!"});
    screen_.startUpgradeEnabled = false;
    screen_.connectEnabled = false;
}

void UpgradePresenter::OnSentCountChanged(std::int32_t count) {
    // Empty until the first byte of the run has gone out.
    if (count == 0 && screen_.sentCount.empty()) return;
    screen_.sentCount = std::to_string(count);
}
