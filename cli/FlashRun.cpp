#include "cli/FlashRun.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cli/FlashEvents.h"
#include "cli/HeadSession.h"
#include "cli/InterruptibleClock.h"
#include "cli/JsonLines.h"
#include "cli/PlainLines.h"
#include "cli/ProgressLine.h"
#include "cli/RunWaiter.h"
#include "serial/PortNames.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {
namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 100ms;  // the longest wait without a look at the progress

// How the run's events look: JSON lines, plain lines (with --quiet too, even on a terminal),
// or the progress line on a terminal.
std::unique_ptr<FlashEvents> EventsFor(const FlashOptions& options, const RunIo& io) {
    if (options.json) return std::make_unique<JsonLines>(io.out, io.err);
    if (options.quiet || !io.terminal)
        return std::make_unique<PlainLines>(io.out, io.err, options.quiet);
    return std::make_unique<ProgressLine>(io.out, io.err);
}

// The run over the addresses: opens the image and the port, runs one HeadSession an address
// (forwarding the engine's reports to it), skips the rest after a port or file failure or a
// signal, and ends with the summary and the exit status.
class FlashRun final : private EngineObserver {
  public:
    FlashRun(const FlashOptions& options, RunIo io)
        : options_(options),
          io_(std::move(io)),
          events_(EventsFor(options_, io_)),
          waiter_(io_),
          clock_(waiter_),
          engine_(*this, EngineOptions()) {}
    ~FlashRun() override { engine_.StopAll(); }

    int Run();

  private:
    UpgradeEngine::Options EngineOptions() {
        UpgradeEngine::Options engineOptions;
        engineOptions.clock = &Clock();
        engineOptions.answerWait = options_.answerTimeout;
        engineOptions.wake = [this] { waiter_.Wake(); };
        engineOptions.openLine = io_.openLine;
        return engineOptions;
    }

    EngineClock& Clock() { return io_.clock ? *io_.clock : clock_; }
    // Pumps the engine until done() holds, or a signal comes (false).
    bool WaitUntil(const std::function<bool()>& done);
    // The sentence for a port that cannot be opened.
    std::string PortProblem() const;
    // The run ends with status: output that could not be written is told, and a run that went
    // well then ends with kExitOutput instead.
    int Ended(int status);

    // --- The engine's reports: the port's for the run, the rest for the head under way
    EngineObserver& Head() { return session_ ? *session_ : noHead_; }
    void ReadPortSettings(SerialSettings& settings) override { settings.portName = options_.port; }
    void OnPortOpenFailed(PortFailure failure) override { lastPortFailure_ = failure; }
    void OnPortReopened(bool open) override { Head().OnPortReopened(open); }
    void OnThreadCreationFailed() override { Head().OnThreadCreationFailed(); }
    void OnConnected() override { Head().OnConnected(); }
    void OnBlockAccepted(std::int32_t position) override { Head().OnBlockAccepted(position); }
    void OnChecksumError() override { Head().OnChecksumError(); }
    void OnUpgradeDone(std::int32_t position) override { Head().OnUpgradeDone(position); }
    void OnHeadFailed() override { Head().OnHeadFailed(); }
    void OnHeadTimedOut() override { Head().OnHeadTimedOut(); }
    void OnDoneTooEarly() override { Head().OnDoneTooEarly(); }
    void OnDoneWithheld() override { Head().OnDoneWithheld(); }
    void OnFrameSent(std::int32_t offset) override { Head().OnFrameSent(offset); }
    void OnNoAnswer() override { Head().OnNoAnswer(); }
    void OnPortLost() override { Head().OnPortLost(); }
    void OnWriteFailed() override { Head().OnWriteFailed(); }
    void OnFileUnreadable() override { Head().OnFileUnreadable(); }

    const FlashOptions options_;
    RunIo io_;
    const std::unique_ptr<FlashEvents> events_;
    RunWaiter waiter_;
    InterruptibleClock clock_;
    std::optional<PortFailure> lastPortFailure_;
    std::optional<HeadSession> session_;  // the head under way
    EngineObserver noHead_;               // takes the reports that come between heads
    int signal_ = 0;
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};

bool FlashRun::WaitUntil(const std::function<bool()>& done) {
    for (;;) {
        engine_.Pump();
        if (done()) return true;
        if (session_ && session_->Sending()) events_->Tick(session_->Progress());
        // Until the engine rings, its next timer, or the progress line's next look.
        auto wait = std::chrono::milliseconds(kTick);
        if (const auto deadline = engine_.NextDeadline())
            wait =
                std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock().Now()),
                           std::chrono::milliseconds(0), wait);
        if (waiter_.Wait(wait) == RunWaiter::Result::Interrupted) {
            signal_ = waiter_.Signal();
            return false;
        }
    }
}

std::string FlashRun::PortProblem() const {
    const std::string device = DevicePathForPortName(options_.port);
    std::string sentence = "The port " + options_.port;
    if (device != options_.port) sentence += " (" + device + ")";
    if (engine_.LastOpenError().kind == LineErrorKind::HostNotFound) {
        sentence += " cannot be opened: the host name is not known.";
    } else if (const int error = engine_.LastOpenError().errorNumber) {
        sentence += " cannot be opened: ";
        sentence += std::strerror(error);
        sentence += ".";
    } else if (lastPortFailure_ == PortFailure::OpenFailed) {
        sentence += " cannot be opened: it refuses the line settings (8N1 at 115200 baud).";
    } else {
        sentence += " cannot be opened.";
    }
    return sentence;
}

int FlashRun::Ended(int status) {
    const int error = events_->OutputError();
    if (!error) return status;
    events_->Problem(OutputSentence(error));
    return status == kExitDone ? kExitOutput : status;
}

int FlashRun::Run() {
    if (const std::string problem = waiter_.Problem(); !problem.empty()) {
        events_->Problem(problem);
        return kExitPort;
    }
    // The image first: without one there is nothing to do on the line.
    const ImageCheck image = engine_.OpenFirmware(options_.image);
    const std::int32_t size = image.size;
    if (!image.Opened()) {
        events_->Error("file", ImageSentence(options_.image, image));
        return Ended(kExitImage);
    }
    events_->Start(options_, size, (std::int64_t{size} + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE);
    // Once started, every run ends with its summary: without a port each head is skipped.
    bool portFailed = !engine_.OpenPort();
    if (portFailed) events_->Error("port", PortProblem());

    std::vector<HeadResult> results;
    bool stopped = false;  // by a signal
    bool fileFailed = false;
    for (const unsigned address : options_.addresses) {
        if (stopped || portFailed || fileFailed) {
            results.push_back({address, "skipped", "", 0, 0, 0});
            continue;
        }
        session_.emplace(address, options_, engine_, *events_);
        if (!session_->Run([this](const auto& done) { return WaitUntil(done); })) {
            // A signal: the port is let go at once, and the operator told where the head stood.
            engine_.StopAll();
            session_->Interrupt(signal_);
            stopped = true;
        }
        results.push_back(session_->Finish());
        session_.reset();
        portFailed = portFailed || results.back().reason == "port";
        fileFailed = fileFailed || results.back().reason == "file";
    }
    engine_.StopAll();

    int status = kExitDone;
    if (std::any_of(results.begin(), results.end(),
                    [](const HeadResult& r) { return r.result != "done"; }))
        status = kExitHeadFailed;
    if (fileFailed) status = kExitImage;
    if (portFailed) status = kExitPort;
    if (stopped) status = kExitInterrupted + signal_;
    if (status == kExitDone && events_->OutputError()) status = kExitOutput;
    events_->Summary(status, results);
    return Ended(status);
}

}  // namespace

std::string ImageSentence(const std::string& path, const ImageCheck& check) {
    std::string sentence = "The image " + path;
    switch (check.fault) {
        case ImageFault::None:
            return {};
        case ImageFault::Missing:
            return sentence + " does not exist.";
        case ImageFault::Folder:
            return sentence + " is a folder, not a file.";
        case ImageFault::NotRegularFile:
            return sentence + " is not a regular file.";
        case ImageFault::Empty:
            return sentence + " is empty: there is nothing to send.";
        case ImageFault::TooLarge:
            return sentence + " is larger than " + std::to_string(kMaxImageSize / (1024 * 1024)) +
                   " MiB, the largest image kavlet-flash takes.";
        case ImageFault::Unreadable:
            break;
    }
    if (!check.errorNumber) return sentence + " cannot be read.";
    sentence += " cannot be read: ";
    sentence += std::strerror(check.errorNumber);
    return sentence + ".";
}

std::string ImageProblem(const std::string& path) {
    return ImageSentence(path, OpenImage(path).check);
}

int RunFlash(const FlashOptions& options, RunIo io) {
    FlashRun run(options, std::move(io));
    return run.Run();
}

}  // namespace flash
