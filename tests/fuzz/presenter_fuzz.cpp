// libFuzzer target: the presenter under a hostile operator and head. The harness is the view
// (as the presenter tests' fake view), COM1 an in-memory line with an instant clock. Up to
// kMaxSteps steps: a head's answer (a code or any byte, then any bytes; whole or split into
// chunks), a jump of the clock, or the operator's connect, start, file dialog (one of three
// images of two or three blocks, or cancelled) with the device dialog answered or closed, a
// port typed or the port button, a notice box closed. While a box is open only answers and
// jumps are served; a click on the window is lost. After every step, and whenever the window
// is drawn or tells, the harness checks from the line and from what it did itself:
// - "更新成功!" only as the answer 84 to the last frame of the image chosen (or to the frame
//   past it) after every block's frame went out whole and was answered 82 in order; once;
// - start is enabled only after an 80 since the last press that started; connect never while
//   a transfer runs (started since the file was chosen); file selection exactly while open;
// - every notice answers something that happened, once: a checksum notice an 81 or 83, a
//   failure an 86, an 84 while a transfer runs or an 82 to the frame past the image, a
//   time-out an 87, silence the answer time since the last write, an abort a file chosen
//   while a transfer runs, an opening error a missing port;
// - every step settles within kStepBound, or the input is a finding.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "present/UpgradePresenter.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/support/MemoryLine.h"
#include "tests/support/TestClock.h"
#include "upgrade/FirmwareFrame.h"
#include "upgrade/ResponseCodes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Longer than any step takes on a loaded machine; a step that does not settle by then hangs.
constexpr auto kStepBound = 60s;
constexpr int kMaxSteps = 64;
const std::string kSuccess = "更新成功!", kFailed = "更新失败!", kChecksum = "校验错误",
                  kTimedOut = "更新超时!", kNoAnswer = "云台无应答!", kAborted = "更新已中止!",
                  kOpenError = "串口打开错误", kClose = "关闭串口";

std::string trace;

[[noreturn]] void Finding(const std::string& what) {
    std::fprintf(stderr, "presenter_fuzz: %s\npresenter_fuzz finding: %s\n", trace.c_str(),
                 what.c_str());
    std::abort();
}

void Check(bool holds, const std::string& what) {
    if (!holds) Finding(what);
}

// An image the file dialog can answer: its file and its frames, the last one past the image.
struct Image {
    std::string path;
    std::size_t blocks = 0;
    std::vector<Bytes> frames;
};

// The images' files, in a folder of the process's own that goes with it.
struct Folder {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("presenter_fuzz." + std::to_string(getpid()));
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const std::vector<Image>& Images() {
    static const Folder folder;
    static const std::vector<Image> images = [] {
        std::vector<Image> made;
        for (const std::size_t size : {8192, 10000, 12288}) {
            Bytes bytes(size);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = static_cast<std::uint8_t>(i * 7 + made.size() * 85 + 1);
            Image image;
            image.path = (folder.path / ("image" + std::to_string(size) + ".bin")).string();
            std::ofstream(image.path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(size));
            image.blocks = (size + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE;
            for (std::size_t b = 0; b <= image.blocks; ++b) {
                const std::size_t offset = b < image.blocks ? b * FRAME_DATA_SIZE : size;
                FirmwareFrame frame;
                const std::size_t n = std::min(FRAME_DATA_SIZE, size - offset);
                BuildFirmwareFrame(frame, static_cast<std::int32_t>(offset),
                                   {bytes.data() + offset, n}, static_cast<std::int32_t>(size));
                image.frames.emplace_back(frame.begin(), frame.end());
            }
            made.push_back(std::move(image));
        }
        return made;
    }();
    return images;
}

class Harness final : public OperatorView {
  public:
    explicit Harness(FuzzInput& input) : input_(input) {
        port_.SetWriteListener([this] {
            lastWriteAt_ = clock_.Now().time_since_epoch().count();
            Wake();
        });
        LineOpener open = [this](const std::string& name) -> LineOpenResult {
            if (name == "COM1") return port_.Opener()(name);
            return {nullptr, LineError::FromErrno(ENOENT)};
        };
        presenter_ =
            std::make_unique<UpgradePresenter>(*this, UpgradePresenter::Services{open, &clock_});
        presenter_->Engine().SetChunkWatcher([this](std::span<const std::uint8_t>) { ++seen_; });
        presenter_->OnInitDialog();
        Settle();
    }

    ~Harness() override {
        presenter_.reset();
        port_.SetWriteListener(nullptr);
    }

    void Run() {
        while (steps_ < kMaxSteps && !input_.Empty()) {
            Step(false);
            CheckControls();
            Check((shown_.openPortCaption == kClose) == port_.LineOpen(),
                  "the port button says other than the line is");
        }
    }

    // --- OperatorView
    void Show(const ScreenState& state) override {
        shown_ = state;
        CheckControls();
    }
    void Tell(const Notice& notice) override {
        trace += "told " + notice.text + "; ";
        CheckNotice(notice.text);
        // The box is open until a step closes it: meanwhile the window serves the head and the
        // clock, and a click on the window is lost.
        ++boxes_;
        while (steps_ < kMaxSteps && !input_.Empty() && Step(true)) continue;
        --boxes_;
    }
    std::string ChosenPort() override { return portName_; }
    std::optional<std::string> AskFirmwareFile() override { return file_; }
    std::optional<DeviceSelection> AskDevice() override { return device_; }
    void SetBusy(bool) override {}
    void Wake() override {
        std::lock_guard lock(mutex_);
        rung_ = true;
        changed_.notify_all();
    }
    void WakeAfter(std::optional<std::chrono::milliseconds>) override {}

  private:
    // One step of the input; false when it closes the box open.
    bool Step(bool inBox) {
        ++steps_;
        const std::uint8_t kind = input_.Byte() % 8;
        // The operator's clicks on the window wait behind a modal box, and are lost.
        if (inBox && kind >= 3 && kind <= 6) {
            trace += "click lost; ";
            return true;
        }
        switch (kind) {
            case 0:
            case 1:
                Answer();
                break;
            case 2: {
                const std::chrono::milliseconds by(1 + input_.Word());
                trace += "jump " + std::to_string(by.count()) + " ms; ";
                clock_.Advance(by);
                Settle();
                break;
            }
            case 3:
                trace += "connect; ";
                presenter_->OnConnect();
                Settle();
                break;
            case 4:
                Start();
                break;
            case 5:
                ChooseFile(input_.Byte());
                break;
            case 6:
                Port(input_.Byte());
                break;
            case 7:
                if (inBox) trace += "box closed; ";
                return !inBox;
        }
        return true;
    }

    // The head's answer: mostly one of its codes first, then any bytes; whole, or its first
    // byte and the rest, or byte by byte.
    void Answer() {
        static constexpr std::uint8_t kCodes[] = {
            RSP_BLOCK_OK,  RSP_BLOCK_OK,         RSP_DONE,   RSP_CHECKSUM_ERROR,
            RSP_CONNECTED, RSP_CHECKSUM_ERROR_2, RSP_FAILED, RSP_TIMEOUT};
        const std::uint8_t pick = input_.Byte();
        Bytes chunk{pick < 0xF0 ? kCodes[pick % 8] : input_.Byte()};
        for (std::size_t more = input_.Byte() % 4; more > 0; --more) chunk.push_back(input_.Byte());
        // Pieces of 1 byte (the first only, or each) or the rest of the chunk.
        const std::uint8_t split = input_.Byte() % 3;
        for (std::size_t at = 0; at < chunk.size();) {
            const std::size_t n = split == 0 || (split == 1 && at > 0) ? chunk.size() - at : 1;
            Put(Bytes(chunk.begin() + at, chunk.begin() + at + n));
            at += n;
        }
    }

    void Start() {
        trace += "start; ";
        // A press on the enabled button starts a transfer (of the image chosen, if any).
        if (shown_.startUpgradeEnabled) {
            connected_ = false;
            running_ = image_ >= 0;
        }
        presenter_->OnStartUpgrade();
        Settle();
    }

    void ChooseFile(std::uint8_t how) {
        const bool cancelled = how % 4 == 0;
        const int chosen = how / 4 % static_cast<int>(Images().size());
        const bool device = how & 0x80;
        trace += "file " + (cancelled ? std::string("cancelled") : std::to_string(chosen)) +
                 (device ? " device" : " no device") + "; ";
        file_.reset();
        if (!cancelled) file_ = Images()[static_cast<std::size_t>(chosen)].path;
        device_.reset();
        if (device) device_ = DeviceSelection{1, PROTOCOL_INDEX_PELCO_D, 0};
        if (!cancelled && shown_.selectFileEnabled) {
            // The transfer under way ends; the new image starts at its first block.
            aborted_ = running_;
            running_ = false;
            image_ = chosen;
            taken_ = 0;
            lastFrame_.reset();
            successes_ = 0;
        }
        presenter_->OnSelectFile();
        Settle();
        aborted_ = false;
    }

    void Port(std::uint8_t how) {
        static const char* const kNames[] = {"COM1", " COM1 ", "COM9", "/dev/ttyMISSING"};
        portName_ = kNames[how / 2 % 4];
        const bool button = how % 2 == 0;
        trace += std::string(button ? "port button " : "port typed ") + portName_ + "; ";
        const bool opens = !button || shown_.openPortCaption != kClose;
        openErrors_ = opens && portName_.find("COM1") == std::string::npos;
        button ? presenter_->OnOpenPortButton() : presenter_->OnPortListChange();
        Settle();
        openErrors_ = 0;
    }

    // Puts a chunk on the line, judged by the line as it stands (settled: nothing moves until
    // the presenter acts on the chunk), and waits until it was acted on.
    void Put(const Bytes& chunk) {
        const std::uint8_t code = chunk.front();
        trace += "put " + std::to_string(code) + (chunk.size() > 1 ? "+" : "") + "; ";
        if (!port_.LineOpen()) return;  // no line: the head's bytes reach nobody
        Judge(code);
        Check(port_.Push(chunk), "the open line took no chunk");
        ++pushed_;
        Settle();
        if (boxes_ == 0) {
            // A chunk's notice comes as it is acted on: none is owed afterwards.
            checksums_ = failures_ = timeouts_ = done84_ = other84_ = 0;
        }
    }

    // What the chunk can mean to the head, from the line and the harness's own actions.
    void Judge(std::uint8_t code) {
        Parse();
        if (code == RSP_CONNECTED) connected_ = true;
        if (IsChecksumError(code)) ++checksums_;
        if (code == RSP_FAILED) ++failures_;
        if (code == RSP_TIMEOUT) ++timeouts_;
        bool doneAllowed = false;
        // Only the last whole frame on the line, of the image chosen, not answered yet, can be
        // answered, and only by 81 to 84.
        if (lastFrame_ && !lastFrame_->answered && lastFrame_->image == image_ &&
            (IsChecksumError(code) || code == RSP_BLOCK_OK || code == RSP_DONE)) {
            lastFrame_->answered = true;
            const std::size_t block = lastFrame_->block;
            const std::size_t blocks = Images()[static_cast<std::size_t>(image_)].blocks;
            // A block again (a start after the transfer ended begins at the first) is taken
            // again: the head holds the blocks before it from earlier, in order.
            if (code == RSP_BLOCK_OK && block <= taken_ && block < blocks) taken_ = block + 1;
            if (code == RSP_BLOCK_OK && block == blocks) ++failures_;  // done withheld
            doneAllowed = code == RSP_DONE && ((block + 1 == blocks && taken_ == block) ||
                                               (block == blocks && taken_ == blocks));
        }
        if (code == RSP_DONE && doneAllowed) ++done84_;
        if (code == RSP_DONE && !doneAllowed && running_) ++other84_;
    }

    // Reads the bytes written since the last look: whole frames of an image, and other bytes
    // (the greeting, the device's command). A frame part-way waits for its end.
    void Parse() {
        const Bytes line = port_.WrittenBytes(parsed_);
        std::size_t at = 0;
        while (at < line.size()) {
            bool prefix = false;
            std::optional<Frame> found;
            for (std::size_t i = 0; i < Images().size() && !found; ++i) {
                const auto& frames = Images()[i].frames;
                for (std::size_t k = 0; k < frames.size() && !found; ++k) {
                    const std::size_t n = std::min(FRAME_SIZE, line.size() - at);
                    if (!std::equal(line.begin() + at, line.begin() + at + n, frames[k].begin()))
                        continue;
                    prefix = true;
                    if (n == FRAME_SIZE) found = Frame{static_cast<int>(i), k, false};
                }
            }
            if (found) {
                lastFrame_ = found;
                at += FRAME_SIZE;
            } else if (prefix) {
                break;
            } else {
                ++at;
            }
        }
        parsed_ += at;
    }

    void CheckNotice(const std::string& text) {
        const auto take = [&](int& credit) {
            Check(credit > 0, "\"" + text + "\" told with nothing that it answers");
            --credit;
        };
        if (text == kSuccess) {
            Check(done84_ > 0,
                  "success without every block's frame out whole and answered 82 in "
                  "order and the last frame answered 84");
            --done84_;
            Check(++successes_ == 1, "success told twice for one transfer");
            running_ = false;
        } else if (text == kFailed) {
            take(failures_ > 0 ? failures_ : other84_ > 0 ? other84_ : done84_);
        } else if (text == kChecksum) {
            take(checksums_);
        } else if (text == kTimedOut) {
            take(timeouts_);
        } else if (text == kAborted) {
            take(aborted_);
        } else if (text == kOpenError) {
            take(openErrors_);
        } else if (text == kNoAnswer) {
            const std::int64_t since = lastWriteAt_;
            const auto silent =
                clock_.Now().time_since_epoch() - std::chrono::steady_clock::duration(since);
            Check(silent >= UpgradeEngine::kAnswerWait,
                  "no answer told " + std::to_string(silent.count()) + " after the last write");
            Check(silence_ != since, "no answer told twice for one wait");
            silence_ = since;
        } else {
            Finding("a notice nothing here can cause: " + text);
        }
    }

    // What the rules allow the controls shown to be.
    void CheckControls() {
        Check(!shown_.startUpgradeEnabled || connected_,
              "start enabled without an 80 since the last start");
        Check(!shown_.connectEnabled || !running_, "connect enabled while a transfer runs");
        Check(shown_.selectFileEnabled == (shown_.openPortCaption == kClose),
              "file selection enabled other than while the port is open");
    }

    // The sender parked after a whole frame, or ended, or none.
    bool SenderStill() {
        const TransferState& state = presenter_->Engine().State();
        const std::int32_t sent = state.bytesSent.load();
        if (!state.senderThread || state.senderThread->Finished()) {
            sentBase_ = sent;  // a sender ended part-way leaves the count off a frame's end
            return true;
        }
        return state.senderAwake == 0 &&
               static_cast<std::size_t>(sent - sentBase_) % FRAME_SIZE == 0;
    }

    // Pumps as the window does when woken or when a timer is due, until every chunk put on the
    // line was acted on and the sender is still.
    void Settle() {
        const auto deadline = std::chrono::steady_clock::now() + kStepBound;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (std::chrono::steady_clock::now() >= deadline)
                Finding("a step never settled: the presenter waits for ever");
            rung_ = false;
            lock.unlock();
            presenter_->Pump();
            lock.lock();
            if (rung_) continue;
            // A timer due now (the wait for an answer, the count) is served first.
            const auto next = presenter_->Engine().NextDeadline();
            if (next && *next <= clock_.Now()) continue;
            if (seen_ == pushed_ && SenderStill()) return;
            // A sender that ends rings nothing: the conditions are looked at every ms too.
            changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + 1ms));
        }
    }

    struct Frame {
        int image;
        std::size_t block;
        bool answered;
    };

    FuzzInput& input_;
    int steps_ = 0, boxes_ = 0;
    memory_line::MemoryPort port_;
    TestClock clock_{TestClock::Mode::Instant};
    std::unique_ptr<UpgradePresenter> presenter_;
    ScreenState shown_;
    std::string portName_ = "COM1";
    std::optional<std::string> file_;
    std::optional<DeviceSelection> device_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool rung_ = false;
    int pushed_ = 0, seen_ = 0;
    std::int32_t sentBase_ = 0;
    std::atomic<std::int64_t> lastWriteAt_{-1};

    // The model: what the head saw and said, and what the operator did.
    std::size_t parsed_ = 0;
    std::optional<Frame> lastFrame_;
    int image_ = -1;  // chosen last
    std::size_t taken_ = 0;
    int successes_ = 0;
    bool connected_ = false, running_ = false;  // running: started since the file was chosen
    // What may be told now, one notice each.
    int checksums_ = 0, failures_ = 0, timeouts_ = 0, done84_ = 0, other84_ = 0, aborted_ = 0,
        openErrors_ = 0;
    std::int64_t silence_ = -2;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    trace.clear();
    Harness harness(input);
    harness.Run();
    return 0;
}
