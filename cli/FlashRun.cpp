#include "cli/FlashRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "cli/InterruptibleClock.h"
#include "cli/Json.h"
#include "cli/RunWaiter.h"
#include "serial/PortNames.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/PelcoCommand.h"
#include "upgrade/UpgradeEngine.h"

namespace flash {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kTick = 100ms;            // the longest wait without looking at the progress line
constexpr auto kProgressRedraw = 200ms;  // the progress line's pace on a terminal
constexpr int kBarWidth = 24;

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char byte[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

std::string Seconds(std::chrono::milliseconds duration) {
    char text[32];
    if (duration.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(duration.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.3g", duration.count() / 1000.0);
    }
    return text;
}

std::string SignalName(int signal) {
    if (signal == SIGINT) return "SIGINT";
    if (signal == SIGTERM) return "SIGTERM";
    return "signal " + std::to_string(signal);
}

std::string Duration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

enum class Phase { Idle, Greeting, Sending };

struct HeadResult {
    unsigned address = 0;
    std::string result;  // done, failed, skipped
    std::string reason;  // for failed: no-answer, too-many-resends, head-failed, ...
    unsigned frames = 0;
    unsigned resends = 0;
    double seconds = 0;
};

class FlashRun final : private EngineObserver {
  public:
    FlashRun(const FlashOptions& options, RunIo io)
        : options_(options),
          io_(std::move(io)),
          waiter_(io_),
          clock_(waiter_),
          engine_(*this, EngineOptions()) {}
    ~FlashRun() override { engine_.StopAll(); }

    int Run();

  private:
    struct Head {
        unsigned address = 0;
        Phase phase = Phase::Idle;
        bool connected = false;
        std::optional<std::string> outcome;  // "done" or a failure reason; the first one counts
        std::string message;                 // the sentence for a failure
        unsigned frames = 0;
        unsigned resends = 0;
        unsigned resendsThisBlock = 0;
        std::int32_t frameIndex = 0;
        std::int32_t frameOffset = 0;
        std::optional<std::int32_t> lastAcceptedIndex;
        std::int32_t lastAcceptedOffset = 0;
        std::int32_t sentBase = 0;
        Clock::time_point start;
        Clock::time_point sendStart;
        Clock::time_point lastRedraw;
        bool progressShown = false;
    };

    UpgradeEngine::Options EngineOptions() {
        UpgradeEngine::Options engineOptions;
        engineOptions.clock = &clock_;
        engineOptions.answerWait = options_.answerTimeout;
        engineOptions.wake = [this] { waiter_.Wake(); };
        LineOpener opener = io_.openLine;
        engineOptions.openLine = [this, opener](const std::string& name) {
            int error = 0;
            std::shared_ptr<SerialLine> line =
                opener ? opener(name) : OpenPlatformLine(name, &error);
            openError_ = line ? 0 : error;
            return line;
        };
        return engineOptions;
    }

    // --- Output
    double Elapsed() const {
        return std::chrono::duration<double>(Clock::now() - runStart_).count();
    }
    void Json(JsonObject object) {
        std::fprintf(io_.out, "%s\n", object.Text().c_str());
        std::fflush(io_.out);
    }
    JsonObject Event(const char* name, std::optional<unsigned> address = {}) const {
        JsonObject object;
        object.Add("event", name);
        if (address) object.Add("address", *address);
        object.AddSeconds("t", Elapsed());
        return object;
    }
    // An event line for a person: not with --json or --quiet, nor on a terminal (which shows
    // the progress line instead).
    void Say(const std::string& line) {
        if (options_.json || options_.quiet || io_.terminal) return;
        std::fprintf(io_.out, "%s\n", line.c_str());
        std::fflush(io_.out);
    }
    void Error(const std::string& sentence) {
        EndProgressLine();
        std::string text = sentence;
        // After the program's name a sentence goes on in lower case ("SIGINT" stays).
        if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
            std::islower(static_cast<unsigned char>(text[1])))
            text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        std::fprintf(io_.err, "kavlet-flash: %s\n", text.c_str());
        std::fflush(io_.err);
    }
    void DrawProgress(bool final);
    void EndProgressLine() {
        if (head_ && head_->progressShown) {
            std::fputc('\n', io_.out);
            std::fflush(io_.out);
            head_->progressShown = false;
        }
    }
    std::string HeadName() const { return "head " + std::to_string(head_->address); }

    // Pumps the engine until done() holds, or a signal comes (false).
    bool WaitUntil(const std::function<bool()>& done);

    // --- A head's end
    bool Active() const { return head_ && head_->phase != Phase::Idle && !head_->outcome; }
    void Fail(const std::string& reason, const std::string& message) {
        if (!Active()) return;
        head_->outcome = reason;
        head_->message = message;
        if (reason == "port") portFailed_ = true;
        if (reason == "file") fileFailed_ = true;
        // The sender is stopped at once, before another answer can wake it.
        engine_.EndTransfer();
    }
    void EmitFrame() {
        const std::int32_t size = imageSize_;
        const std::int32_t bytes =
            std::clamp<std::int32_t>(size - head_->frameOffset, 0, FRAME_DATA_SIZE);
        ++head_->frames;
        if (options_.json)
            Json(Event("frame", head_->address)
                     .Add("index", head_->frameIndex)
                     .Add("load_address", std::int64_t{FIRMWARE_LOAD_BASE} + head_->frameOffset)
                     .Add("bytes", bytes));
        char text[128];
        std::snprintf(text, sizeof text, "%s: frame %d sent (load address 0x%08x, %d bytes)",
                      HeadName().c_str(), head_->frameIndex,
                      static_cast<unsigned>(FIRMWARE_LOAD_BASE + head_->frameOffset), bytes);
        Say(text);
    }
    std::string LastAcceptedText() const {
        if (!head_->lastAcceptedIndex) return HeadName() + " had accepted no block yet";
        return "the last block " + HeadName() + " accepted was block " +
               std::to_string(*head_->lastAcceptedIndex) + " (file offset " +
               std::to_string(head_->lastAcceptedOffset) + ")";
    }

    bool RunHead(unsigned address);
    void FinishHead();
    void PrintSummary(int exitStatus);

    // --- The engine's reports
    void ReadPortSettings(SerialSettings& settings) override { settings.portName = options_.port; }
    void OnPortOpenFailed(PortFailure failure) override { lastPortFailure_ = failure; }
    void OnPortReopened(bool open) override {
        if (!open)
            Fail("port", "the port " + options_.port + " could not be opened again after the " +
                             "change of line speed" + OpenErrorText() + ".");
    }
    void OnThreadCreationFailed() override {
        Fail("port", "a worker thread for the port " + options_.port + " could not be started.");
    }
    void OnConnected() override {
        if (Active() && head_->phase == Phase::Greeting) head_->connected = true;
    }
    void OnBlockAccepted(std::int32_t position) override;
    // The block in flight was accepted: noted as the last one, and told.
    void ReportAccepted();
    void OnChecksumError() override;
    void OnUpgradeDone(std::int32_t position) override;
    void OnHeadFailed() override {
        Fail("head-failed", HeadName() + " answered 86: the upgrade failed" + AtBlock() + ".");
    }
    void OnHeadTimedOut() override {
        Fail("head-timeout",
             HeadName() + " answered 87: the upgrade timed out in the head" + AtBlock() + ".");
    }
    void OnDoneTooEarly() override {
        Fail("early-done", HeadName() + " answered 84 (done) before it had the whole image" +
                               AtBlock() + ", so the upgrade is not known to have worked.");
    }
    void OnNoAnswer() override {
        if (!Active()) return;
        const std::string wait = Seconds(options_.answerTimeout) + " s";
        if (head_->phase == Phase::Greeting) {
            Fail("no-answer", HeadName() + " did not answer the greeting within " + wait +
                                  " (is a head with this address on the line, with " +
                                  ProtocolName(options_.protocolIndex) + " at " +
                                  std::to_string(options_.speed) + " baud?).");
        } else {
            Fail("no-answer", HeadName() + " did not answer frame " +
                                  std::to_string(head_->frameIndex) + " within " + wait + ".");
        }
    }
    void OnPortLost() override {
        Fail("port", "the port " + options_.port + " went away (device removed or hung up).");
    }
    void OnWriteFailed() override {
        Fail("port", "a byte could not be written to the port " + options_.port + ".");
    }
    void OnFileUnreadable() override {
        Fail("file", "the image " + options_.image +
                         " could not be read to the end while it was being sent.");
    }

    std::string AtBlock() const {
        if (head_->phase != Phase::Sending) return " after the greeting";
        return " at block " + std::to_string(head_->frameIndex);
    }
    std::string OpenErrorText() const {
        return openError_ ? std::string(": ") + std::strerror(openError_) : std::string();
    }

    const FlashOptions options_;
    RunIo io_;
    RunWaiter waiter_;
    InterruptibleClock clock_;
    int openError_ = 0;  // errno of the last opening that failed
    std::optional<PortFailure> lastPortFailure_;
    Clock::time_point runStart_ = Clock::now();
    std::int32_t imageSize_ = 0;
    std::optional<Head> head_;
    std::vector<HeadResult> results_;
    bool portFailed_ = false;
    bool fileFailed_ = false;
    int signal_ = 0;
    UpgradeEngine engine_;  // last: destroyed first, its threads end before the rest goes
};

void FlashRun::ReportAccepted() {
    head_->lastAcceptedIndex = head_->frameIndex;
    head_->lastAcceptedOffset = head_->frameOffset;
    if (options_.json)
        Json(Event("accepted", head_->address)
                 .Add("index", head_->frameIndex)
                 .Add("offset", head_->frameOffset));
    Say(HeadName() + ": block " + std::to_string(head_->frameIndex) + " accepted (offset " +
        std::to_string(head_->frameOffset) + ")");
}

void FlashRun::OnBlockAccepted(std::int32_t position) {
    if (!Active() || head_->phase != Phase::Sending) return;
    ReportAccepted();
    head_->resendsThisBlock = 0;
    ++head_->frameIndex;
    head_->frameOffset = position;
    EmitFrame();  // the engine wakes the sender for the next block as soon as this returns
}

void FlashRun::OnChecksumError() {
    if (!Active() || head_->phase != Phase::Sending) return;
    const unsigned code = engine_.LastResponse();
    if (head_->resendsThisBlock >= options_.maxResends) {
        char text[32];
        std::snprintf(text, sizeof text, "%02x", code);
        Fail("too-many-resends", HeadName() + " rejected block " +
                                     std::to_string(head_->frameIndex) + " (checksum error " +
                                     text + ") once more after " +
                                     std::to_string(head_->resendsThisBlock) +
                                     " resends, the most --max-resends " + "allows.");
        return;
    }
    ++head_->resendsThisBlock;
    ++head_->resends;
    char codeText[8];
    std::snprintf(codeText, sizeof codeText, "0x%02x", code);
    if (options_.json)
        Json(Event("resend", head_->address).Add("index", head_->frameIndex).Add("code", codeText));
    Say(HeadName() + ": checksum error " + (codeText + 2) + " on block " +
        std::to_string(head_->frameIndex) + ", sending it again (resend " +
        std::to_string(head_->resendsThisBlock) + " of at most " +
        std::to_string(options_.maxResends) + ")");
    EmitFrame();
}

void FlashRun::OnUpgradeDone(std::int32_t) {
    if (!Active() || head_->phase != Phase::Sending) return;
    ReportAccepted();
    head_->outcome = "done";
}

bool FlashRun::WaitUntil(const std::function<bool()>& done) {
    for (;;) {
        engine_.Pump();
        if (done()) return true;
        const bool drawing = head_ && head_->phase == Phase::Sending && io_.terminal &&
                             !options_.json && !options_.quiet;
        if (drawing && Clock::now() - head_->lastRedraw >= kProgressRedraw) DrawProgress(false);
        // Until the engine rings, its next timer, or the progress line's next redraw.
        auto wait = std::chrono::milliseconds(kTick);
        if (const auto deadline = engine_.NextDeadline())
            wait =
                std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock_.Now()),
                           std::chrono::milliseconds(0), wait);
        if (waiter_.Wait(wait) == RunWaiter::Result::Interrupted) {
            signal_ = waiter_.Signal();
            return false;
        }
    }
}

void FlashRun::DrawProgress(bool final) {
    Head& head = *head_;
    head.lastRedraw = Clock::now();
    const std::int64_t total = TotalBytesToSend(imageSize_);
    const std::int64_t sent = std::max<std::int64_t>(0, engine_.SentCount() - head.sentBase);
    const double seconds =
        std::max(1e-3, std::chrono::duration<double>(Clock::now() - head.sendStart).count());
    const double rate = sent / seconds;
    const std::int64_t shown = final && head.outcome == "done" ? total : std::min(sent, total);
    const int percent = total > 0 ? static_cast<int>(shown * 100 / total) : 100;
    const int filled = static_cast<int>(shown * kBarWidth / std::max<std::int64_t>(total, 1));
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    const std::string left = rate > 0 ? Duration((total - shown) / rate) : "-:--";
    char line[256];
    std::snprintf(line, sizeof line,
                  "\rhead %3u [%s] %lld/%lld B %3d%% %7.0f B/s %s left, %u resends", head.address,
                  bar.c_str(), static_cast<long long>(shown), static_cast<long long>(total),
                  percent, rate, left.c_str(), head.resends);
    std::fputs(line, io_.out);
    std::fputs("\033[K", io_.out);  // clears what a longer line left behind
    std::fflush(io_.out);
    head.progressShown = true;
}

bool FlashRun::RunHead(unsigned address) {
    head_.emplace();
    head_->address = address;
    head_->start = Clock::now();
    const DeviceSelection device{static_cast<std::uint8_t>(address), options_.protocolIndex,
                                 options_.speedIndex};

    engine_.EndTransfer();
    if (engine_.OpenFirmware(options_.image, &imageSize_) != FirmwareCheck::Opened) {
        head_->phase = Phase::Greeting;  // so that the failure counts for this head
        const std::string problem = ImageProblem(options_.image);
        Fail("file",
             problem.empty() ? "the image " + options_.image + " cannot be read." : problem);
        return true;
    }
    const std::vector<std::uint8_t> command =
        BuildStartUpgradeFrame(device.address, device.protocolIndex);
    if (options_.json) Json(Event("command", address).Add("bytes", Hex(command)));
    Say(HeadName() + ": start-upgrade command " + Hex(command) + " at " +
        std::to_string(options_.speed) + " baud");
    head_->phase = Phase::Greeting;
    engine_.SelectDevice(device);
    if (head_->outcome) return true;
    engine_.DropReceived();  // what came before the loader was greeted answers nothing of this head

    engine_.Greet();
    if (!engine_.PortOpen())
        Fail("port", "the port " + options_.port + " is closed: the greeting could not be sent.");
    if (!WaitUntil([&] { return head_->outcome || head_->connected; })) return false;
    if (head_->outcome) return true;
    if (options_.json) Json(Event("connected", address));
    Say(HeadName() + ": connected");

    head_->phase = Phase::Sending;
    head_->sentBase = engine_.SentCount();
    head_->sendStart = Clock::now();
    if (!engine_.StartUpgrade()) {
        Fail("file", "the image " + options_.image + " is no longer open.");
        return true;
    }
    EmitFrame();
    if (io_.terminal && !options_.json && !options_.quiet) DrawProgress(false);
    return WaitUntil([&] { return head_->outcome.has_value(); });
}

void FlashRun::FinishHead() {
    Head& head = *head_;
    const double seconds = std::chrono::duration<double>(Clock::now() - head.start).count();
    const bool done = head.outcome == "done";
    if (io_.terminal && !options_.json && !options_.quiet && head.phase == Phase::Sending)
        DrawProgress(true);
    EndProgressLine();
    HeadResult result{head.address,
                      done ? "done" : "failed",
                      done ? "" : *head.outcome,
                      head.frames,
                      head.resends,
                      seconds};
    if (options_.json) {
        JsonObject object = Event(done ? "done" : "failed", head.address);
        if (!done) object.Add("reason", result.reason).Add("message", head.message);
        Json(object);
    }
    if (done) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: done, %u frames, %u resends, %.1f s",
                      HeadName().c_str(), head.frames, head.resends, seconds);
        Say(text);
    } else if (result.reason != "interrupted") {
        Error(head.message + " (" + result.reason + ")");
    }
    results_.push_back(std::move(result));
    head_.reset();
}

void FlashRun::PrintSummary(int exitStatus) {
    if (options_.json) {
        std::string heads = "[";
        for (const HeadResult& r : results_) {
            JsonObject object;
            object.Add("address", r.address).Add("result", r.result);
            if (!r.reason.empty()) object.Add("reason", r.reason);
            object.Add("frames", r.frames)
                .Add("resends", r.resends)
                .AddSeconds("seconds", r.seconds);
            if (heads.size() > 1) heads += ',';
            heads += object.Text();
        }
        Json(Event("summary").Add("exit", exitStatus).AddRaw("heads", heads + "]"));
    }
    std::FILE* to = options_.json ? io_.err : io_.out;
    std::fprintf(to, "%-8s %-26s %7s %8s %9s\n", "address", "result", "frames", "resends", "time");
    for (const HeadResult& r : results_) {
        const std::string result = r.reason.empty() ? r.result : r.result + " (" + r.reason + ")";
        std::fprintf(to, "%-8u %-26s %7u %8u %8.1fs\n", r.address, result.c_str(), r.frames,
                     r.resends, r.seconds);
    }
    std::fflush(to);
}

int FlashRun::Run() {
    if (const std::string problem = waiter_.Problem(); !problem.empty()) {
        Error(problem);
        return kExitPort;
    }
    // The image first: without one there is nothing to do on the line.
    const FirmwareCheck check = engine_.OpenFirmware(options_.image, &imageSize_);
    if (check != FirmwareCheck::Opened) {
        const std::string problem = ImageProblem(options_.image);
        const std::string sentence =
            problem.empty() ? "The image " + options_.image + " cannot be read." : problem;
        if (options_.json) Json(Event("error").Add("reason", "file").Add("message", sentence));
        Error(sentence);
        return kExitImage;
    }
    const std::int64_t frames = (std::int64_t{imageSize_} + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE;
    if (options_.json)
        Json(Event("start")
                 .Add("port", options_.port)
                 .Add("protocol", ProtocolName(options_.protocolIndex))
                 .Add("speed", options_.speed)
                 .Add("image", options_.image)
                 .Add("size", imageSize_)
                 .Add("frames", frames));
    if (!options_.json && !options_.quiet) {
        std::string heads;
        for (const auto a : options_.addresses)
            heads += (heads.empty() ? "" : ", ") + std::to_string(a);
        std::fprintf(io_.out, "Sending %s (%d bytes, %lld frames) on %s to %s %s (%s, %u baud).\n",
                     options_.image.c_str(), imageSize_, static_cast<long long>(frames),
                     options_.port.c_str(), options_.addresses.size() > 1 ? "heads" : "head",
                     heads.c_str(), ProtocolName(options_.protocolIndex), options_.speed);
        std::fflush(io_.out);
    }

    if (!engine_.OpenPort()) {
        const std::string device = DevicePathForPortName(options_.port);
        std::string sentence = "The port " + options_.port;
        if (device != options_.port) sentence += " (" + device + ")";
        if (openError_) {
            sentence += " cannot be opened: " + std::string(std::strerror(openError_)) + ".";
        } else if (lastPortFailure_ == PortFailure::OpenFailed) {
            sentence += " cannot be opened: it refuses the line settings (8N1 at 115200 baud).";
        } else {
            sentence += " cannot be opened.";
        }
        if (options_.json) Json(Event("error").Add("reason", "port").Add("message", sentence));
        Error(sentence);
        return kExitPort;
    }

    bool stopped = false;
    for (const unsigned address : options_.addresses) {
        if (stopped || portFailed_ || fileFailed_) {
            results_.push_back({address, "skipped", "", 0, 0, 0});
            continue;
        }
        if (!RunHead(address)) {
            // A signal: the port is let go at once, and the operator told where the head stood.
            engine_.StopAll();
            head_->outcome = "interrupted";
            head_->message = "Interrupted by " + SignalName(signal_) + " during " + HeadName() +
                             ": " + LastAcceptedText() + "; the port " + options_.port +
                             " is released.";
            Error(head_->message);
            FinishHead();
            stopped = true;
            continue;
        }
        FinishHead();
    }
    engine_.StopAll();

    int status = kExitDone;
    if (std::any_of(results_.begin(), results_.end(),
                    [](const HeadResult& r) { return r.result != "done"; }))
        status = kExitHeadFailed;
    if (fileFailed_) status = kExitImage;
    if (portFailed_) status = kExitPort;
    if (stopped) status = kExitInterrupted + signal_;
    PrintSummary(status);
    return status;
}

}  // namespace

std::string ImageProblem(const std::string& path) {
    struct stat info {};
    const std::string image = "The image " + path;
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return image + " does not exist.";
        return image + " cannot be read: " + std::strerror(errno) + ".";
    }
    if (S_ISDIR(info.st_mode)) return image + " is a folder, not a file.";
    if (!S_ISREG(info.st_mode)) return image + " is not a regular file.";
    if (info.st_size == 0) return image + " is empty: there is nothing to send.";
    if (info.st_size >= (std::int64_t{1} << 31))
        return image + " is 2 GiB or larger, more than can be sent.";
#ifdef _WIN32
    const int fd = open(path.c_str(), O_RDONLY | O_BINARY | O_NOINHERIT);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
    if (fd < 0) return image + " cannot be read: " + std::strerror(errno) + ".";
    close(fd);
    return {};
}

int RunFlash(const FlashOptions& options, RunIo io) {
    FlashRun run(options, std::move(io));
    return run.Run();
}

}  // namespace flash
