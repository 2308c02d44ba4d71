#include "tools/head/VirtualHead.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/head/HeadLine.h"
#include "tools/head/HeadWire.h"

namespace head {

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr double kPaceBurst = 32;  // bytes a paced head may read at once: a UART's FIFO
constexpr auto kWriteTimeout = std::chrono::milliseconds(1000);
constexpr auto kLongestPoll = std::chrono::milliseconds(1000);

std::string ErrnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    // Rounded up, so the head never wakes just before the time and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now);
    return static_cast<int>(std::min(ms, kLongestPoll).count());
}

}  // namespace

VirtualHead::VirtualHead(std::vector<HeadOptions> heads, int fd, int slaveFd, bool pseudoTerminal,
                         std::string path, int wakeFd)
    : fd_(fd),
      slaveFd_(slaveFd),
      pseudoTerminal_(pseudoTerminal),
      path_(std::move(path)),
      wakeFd_(wakeFd) {
    const auto start = Clock::now();
    heads_.reserve(heads.size());
    for (HeadOptions& options : heads) {
        HeadEngine engine(options, start);
        heads_.push_back({std::move(options), std::move(engine)});
    }
}

std::unique_ptr<VirtualHead> VirtualHead::Make(std::vector<HeadOptions> heads, int fd, int slaveFd,
                                               bool pseudoTerminal, std::string path,
                                               std::string* error) {
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        if (error) *error = ErrnoText("eventfd", errno);
        close(fd);
        if (slaveFd >= 0) close(slaveFd);
        return nullptr;
    }
    return std::unique_ptr<VirtualHead>(
        new VirtualHead(std::move(heads), fd, slaveFd, pseudoTerminal, std::move(path), wakeFd));
}

std::unique_ptr<VirtualHead> VirtualHead::CreatePty(HeadOptions options, std::string* error) {
    if (const std::string problem = CheckOptions(options); !problem.empty()) {
        if (error) *error = problem;
        return nullptr;
    }
    std::vector<HeadOptions> heads;
    heads.push_back(std::move(options));
    return MakePty(std::move(heads), error);
}

std::unique_ptr<VirtualHead> VirtualHead::MakePty(std::vector<HeadOptions> heads,
                                                  std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) {
        if (error) *error = ErrnoText("posix_openpt", errno);
        return nullptr;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        if (error) *error = ErrnoText("pseudo-terminal setup", errno);
        close(master);
        return nullptr;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        if (error) *error = ErrnoText(std::string("open ") + name, errno);
        close(master);
        return nullptr;
    }
    return Make(std::move(heads), master, slave, true, name, error);
}

std::unique_ptr<VirtualHead> VirtualHead::Attach(const std::string& devicePath, HeadOptions options,
                                                 std::string* error) {
    if (const std::string problem = CheckOptions(options); !problem.empty()) {
        if (error) *error = problem;
        return nullptr;
    }
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = ErrnoText("open " + devicePath, errno);
        return nullptr;
    }
    auto fail = [&](const std::string& text) -> std::unique_ptr<VirtualHead> {
        if (error) *error = text;
        close(fd);
        return nullptr;
    };
    if (!IsSerialDevice(fd)) return fail(devicePath + " is not a serial device");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(ErrnoText(devicePath + " is in use", errno == EWOULDBLOCK ? EBUSY : errno));
    }
    const std::uint32_t speed = options.startInLoader ? wire::kLoaderBaud : options.speed;
    if (!SetRawLine(fd, speed)) return fail(ErrnoText("line settings on " + devicePath, errno));
    std::vector<HeadOptions> heads;
    heads.push_back(std::move(options));
    return Make(std::move(heads), fd, -1, false, devicePath, error);
}

VirtualHead::~VirtualHead() {
    Stop();
    close(fd_);
    if (slaveFd_ >= 0) close(slaveFd_);
    close(wakeFd_);
}

void VirtualHead::Start() {
    if (started_) return;
    started_ = true;
    {
        std::lock_guard lock(mutex_);
        for (Member& head : heads_) {
            head.engine.Note(std::string("listening on ") + path_ + " as a " +
                                 ProtocolName(head.options.protocol) + " head, address " +
                                 std::to_string(head.options.address) + ", " +
                                 std::to_string(head.engine.LineSpeed()) + " baud, " +
                                 StateName(head.engine.Report().state),
                             Clock::now());
        }
    }
    running_ = true;
    thread_ = std::thread(&VirtualHead::Run, this);
}

void VirtualHead::Wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto w = write(wakeFd_, &one, sizeof one);
}

void VirtualHead::ClearWake() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto r = read(wakeFd_, &count, sizeof count);
}

void VirtualHead::Stop() {
    stopRequested_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
}

HeadReport VirtualHead::Report() const {
    return ReportOf(0);
}

bool VirtualHead::WaitFor(const std::function<bool(const HeadReport&)>& condition,
                          std::chrono::milliseconds timeout) const {
    return WaitForOn(0, condition, timeout);
}

void VirtualHead::SetFaults(const HeadFaults& faults) {
    SetFaultsOn(0, faults);
}

HeadReport VirtualHead::ReportOf(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return heads_.at(index).engine.Report();
}

bool VirtualHead::WaitForOn(std::size_t index,
                            const std::function<bool(const HeadReport&)>& condition,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    const HeadEngine& engine = heads_.at(index).engine;
    changed_.wait_for(lock, timeout, [&] {
        return condition(engine.Report()) || engine.Report().state == HeadState::Stopped;
    });
    return condition(engine.Report());
}

void VirtualHead::SetFaultsOn(std::size_t index, const HeadFaults& faults) {
    {
        std::lock_guard lock(mutex_);
        heads_.at(index).engine.SetFaults(faults);
    }
    Wake();  // the head's thread looks at its timers again
}

unsigned VirtualHead::Collisions() const {
    std::lock_guard lock(mutex_);
    return collisions_;
}

void VirtualHead::PassOnEvents(const Member& head, const std::vector<std::string>& events) const {
    if (!head.options.log) return;
    for (const std::string& line : events) head.options.log(line);
}

bool VirtualHead::WriteBytes(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + kWriteTimeout;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, MillisecondsUntil(deadline, now)) < 0 && errno != EINTR) return false;
        if (stopRequested_) return false;
        if (fds[1].revents) ClearWake();
    }
    return true;
}

void VirtualHead::Run() {
    std::uint32_t appliedSpeed =
        pseudoTerminal_ ? 0
                        : (LineOptions().startInLoader ? wire::kLoaderBaud : LineOptions().speed);
    const double paceRate = LineOptions().paceBaud / 10.0;  // bytes per second: 8N1 is 10 bits
    double credit = 0;
    auto creditAt = Clock::now();
    std::vector<std::uint8_t> buffer(kReadChunk);
    std::string failure;

    // The stop flag is looked at on every round: a wake-up cleared after SetFaults may have
    // been Stop's as well.
    while (failure.empty() && !stopRequested_) {
        auto now = Clock::now();
        std::vector<std::vector<std::uint8_t>> out;
        std::vector<std::vector<std::string>> events(heads_.size());
        std::uint32_t speed = 0;
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard lock(mutex_);
            std::vector<std::size_t> writers;
            for (std::size_t i = 0; i < heads_.size(); ++i) {
                HeadEngine& engine = heads_[i].engine;
                engine.Advance(now);
                auto writes = engine.TakeDueWrites(now);
                if (!writes.empty()) writers.push_back(i);
                for (auto& bytes : writes) out.push_back(std::move(bytes));
                const auto next = engine.NextDeadline();
                if (next && (!deadline || *next < *deadline)) deadline = next;
            }
            if (writers.size() > 1) {
                // Two heads talking at once: on a real line their answers would collide.
                ++collisions_;
                std::string who;
                for (const std::size_t i : writers) {
                    who += (who.empty() ? "" : ", ") + std::to_string(heads_[i].options.address);
                }
                for (const std::size_t i : writers) {
                    heads_[i].engine.MutableReport().problems.push_back(
                        "heads " + who + " wrote to the line at the same time");
                    heads_[i].engine.Note("collision: heads " + who + " wrote at the same time",
                                          now);
                }
            }
            for (std::size_t i = 0; i < heads_.size(); ++i) {
                events[i] = heads_[i].engine.TakeNewEvents();
            }
            speed = heads_.front().engine.LineSpeed();
        }
        changed_.notify_all();
        for (std::size_t i = 0; i < heads_.size(); ++i) PassOnEvents(heads_[i], events[i]);

        if (!pseudoTerminal_ && speed != appliedSpeed) {
            if (!SetRawLine(fd_, speed)) {
                failure =
                    ErrnoText("cannot set the line to " + std::to_string(speed) + " baud", errno);
                break;
            }
            appliedSpeed = speed;
        }
        for (const std::vector<std::uint8_t>& bytes : out) {
            if (WriteBytes(bytes)) continue;
            std::lock_guard lock(mutex_);
            heads_.front().engine.Note("could not write " + HexBytes(bytes) + " to the line",
                                       Clock::now());
        }

        std::size_t allowed = buffer.size();
        if (paceRate > 0) {
            now = Clock::now();
            credit =
                std::min(kPaceBurst,
                         credit + std::chrono::duration<double>(now - creditAt).count() * paceRate);
            creditAt = now;
            allowed = static_cast<std::size_t>(std::floor(credit));
            if (allowed == 0) {
                const auto wait = std::chrono::duration<double>((1.0 - credit) / paceRate);
                const auto wake = now + std::chrono::ceil<Clock::duration>(wait);
                if (!deadline || wake < *deadline) deadline = wake;
            }
        }
        const int timeout = deadline ? MillisecondsUntil(*deadline, Clock::now())
                                     : static_cast<int>(kLongestPoll.count());
        pollfd fds[2] = {{fd_, static_cast<short>(allowed ? POLLIN : 0), 0}, {wakeFd_, POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failure = ErrnoText("poll", errno);
            break;
        }
        if (fds[1].revents) {
            if (stopRequested_) break;
            ClearWake();
            continue;
        }
        if (fds[0].revents & POLLNVAL) {
            failure = "the line's descriptor is not valid";
            break;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = read(fd_, buffer.data(), std::max<std::size_t>(allowed, 1));
        if (n > 0) {
            credit -= static_cast<double>(n);
            // On a pseudo-terminal the master side reads back the speed the tool set.
            const std::optional<std::uint32_t> toolSpeed =
                pseudoTerminal_ ? ReadLineSpeed(fd_) : std::nullopt;
            std::lock_guard lock(mutex_);
            // Every head on the line hears every byte, and judges its speed for itself.
            const auto at = Clock::now();
            for (Member& head : heads_) {
                head.engine.Receive({buffer.data(), static_cast<std::size_t>(n)}, toolSpeed, at);
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            failure = n == 0 ? std::string("the line was hung up") : ErrnoText("read", errno);
        }
    }

    std::vector<std::vector<std::string>> events(heads_.size());
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < heads_.size(); ++i) {
            HeadEngine& engine = heads_[i].engine;
            if (!failure.empty()) engine.Note("line failed: " + failure, Clock::now());
            HeadReport& report = engine.MutableReport();
            report.lineError = failure;
            if (report.state != HeadState::Stopped) report.stoppedIn = report.state;
            report.state = HeadState::Stopped;
            events[i] = engine.TakeNewEvents();
        }
        running_ = false;
    }
    changed_.notify_all();
    for (std::size_t i = 0; i < heads_.size(); ++i) PassOnEvents(heads_[i], events[i]);
}

}  // namespace head
