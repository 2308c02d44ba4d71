#include "cli/FlashRun.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cli/EnginePump.h"
#include "cli/FailureReasons.h"
#include "cli/FlashEvents.h"
#include "cli/HeadRelay.h"
#include "cli/HeadSession.h"
#include "cli/InterruptibleClock.h"
#include "cli/JsonLines.h"
#include "cli/PlainLines.h"
#include "cli/ProgressLine.h"
#include "cli/RunWaiter.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {
namespace {

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
class FlashRun final {
  public:
    FlashRun(const FlashOptions& options, RunIo io)
        : options_(options),
          io_(std::move(io)),
          events_(EventsFor(options_, io_)),
          waiter_(io_),
          clock_(io_.interrupts),
          pump_(engine_, waiter_, Clock()),
          engine_(relay_, EngineOptions()) {}
    ~FlashRun() { engine_.StopAll(); }

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
    // The sentence for the port that cannot be opened.
    std::string PortProblem() const;
    // The run ends with status: output that could not be written is told, and a run that went
    // well then ends with kExitOutput instead.
    int Ended(int status);

    const FlashOptions options_;
    RunIo io_;
    const std::unique_ptr<FlashEvents> events_;
    RunWaiter waiter_;
    InterruptibleClock clock_;
    HeadRelay relay_;                     // the engine's reports, for the head under way
    std::optional<HeadSession> session_;  // the head under way
    EnginePump pump_;
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};

bool FlashRun::WaitUntil(const std::function<bool()>& done) {
    return pump_.Until(done, [this] {
        if (session_ && session_->Sending()) events_->Tick(session_->Progress());
    });
}

std::string FlashRun::PortProblem() const {
    return relay_.PortProblem(options_.port, engine_.LastOpenError());
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
        events_->Error(TransferFailure::ImageRefused, ImageSentence(options_.image, image));
        return Ended(kExitImage);
    }
    events_->Start(options_, size, (std::int64_t{size} + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE);
    // Once started, every run ends with its summary: without a port each head is skipped.
    SerialSettings settings = engine_.LineSettings();
    settings.portName = options_.port;
    // The failure that ended the run: the heads after it are skipped.
    std::optional<TransferFailure> ended;
    if (!engine_.OpenPort(settings)) {
        ended = relay_.PortFailure();
        events_->Error(*ended, PortProblem());
    }

    std::vector<HeadResult> results;
    for (const unsigned address : options_.addresses) {
        if (ended) {
            results.push_back({address, "skipped", std::nullopt, 0, 0, 0});
            continue;
        }
        relay_.Follow(&session_.emplace(address, options_, engine_, *events_));
        if (!session_->Run([this](const auto& done) { return WaitUntil(done); })) {
            // A signal: the port is let go at once, and the operator told where the head stood.
            engine_.StopAll();
            session_->Interrupt(pump_.Signal());
        }
        results.push_back(session_->Finish());
        relay_.Follow(nullptr);
        session_.reset();
        if (const auto failure = results.back().failure; failure && ReasonFor(*failure).endsRun)
            ended = failure;
    }
    engine_.StopAll();

    int status = kExitDone;
    if (std::any_of(results.begin(), results.end(),
                    [](const HeadResult& r) { return r.result != "done"; }))
        status = kExitHeadFailed;
    if (ended) {
        status = ReasonFor(*ended).exitStatus;
        if (*ended == TransferFailure::Interrupted) status += pump_.Signal();
    }
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
