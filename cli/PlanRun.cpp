#include "cli/PlanRun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/ImageDigest.h"
#include "cli/JsonLines.h"
#include "cli/PlainLines.h"
#include "cli/PlanFile.h"
#include "cli/PlanJournal.h"
#include "cli/PortBoard.h"
#include "cli/PortRun.h"
#include "cli/RunWaiter.h"
#include "cli/SharedEvents.h"

namespace flash {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct HeldImage {
    OpenedImage image;
    std::string sha256;
};

// The columns a text takes on a terminal: a character from U+1100 on (CJK) takes two.
std::size_t Columns(const std::string& text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;
        columns += c >= 0xE1 ? 2 : 1;
    }
    return columns;
}

std::string Padded(const std::string& text, std::size_t width) {
    const std::size_t columns = Columns(text);
    return text + std::string(width > columns ? width - columns : 0, ' ');
}

std::string ResultText(const HeadResult& r) {
    return ResultWithReason(r);
}

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return !file.bad();
}

class PlanRun {
  public:
    PlanRun(const FlashOptions& options, RunIo io) : options_(options), io_(std::move(io)) {}
    int Run();

  private:
    // Each wrong cell on err: false when the plan cannot run.
    bool Check();
    bool ReadImages();
    bool ReadJournalDone();
    std::unique_ptr<SharedEvents> EventsFor(const std::string& port);
    void RowEnded(const PlanRow& row, const HeadResult& result, const std::string& started);
    void RunPorts();
    int Status() const;
    void Summary(int status);

    const FlashOptions options_;
    RunIo io_;
    const Clock::time_point start_ = Clock::now();
    Plan plan_;
    std::map<std::string, HeldImage> images_;  // by path, read once; only read afterwards
    JournalDone doneBefore_;
    std::unique_ptr<PlanJournal> journal_;
    std::mutex outputLock_;
    std::unique_ptr<PortBoard> board_;
    std::mutex resultsLock_;
    std::map<const PlanRow*, HeadResult> results_;
    int outputError_ = 0;
    int signal_ = 0;
};

bool PlanRun::Check() {
    std::string text;
    if (!ReadFile(options_.plan, &text)) {
        std::fprintf(io_.err, "kavlet-flash: the plan %s cannot be read: %s.\n",
                     options_.plan.c_str(), std::strerror(errno ? errno : EIO));
        return false;
    }
    plan_ = ReadPlan(text, options_.plan);
    for (const std::string& problem : plan_.problems)
        std::fprintf(io_.err, "kavlet-flash: %s\n", problem.c_str());
    std::fflush(io_.err);
    return plan_.problems.empty();
}

bool PlanRun::ReadImages() {
    bool good = true;
    for (const PlanRow& row : plan_.rows) {
        auto found = images_.find(row.path);
        if (found == images_.end()) {
            HeldImage held{OpenImage(row.path), {}};
            if (held.image.check.Opened()) held.sha256 = Sha256Hex(held.image.bytes);
            found = images_.emplace(row.path, std::move(held)).first;
        }
        const ImageCheck& check = found->second.image.check;
        if (check.Opened()) continue;
        std::string sentence = ImageSentence(row.path, check);
        sentence[0] = 't';  // "The image" goes on after the column
        std::fprintf(io_.err, "kavlet-flash: %s:%u: column image: %s\n", options_.plan.c_str(),
                     row.line, sentence.c_str());
        good = false;
    }
    std::fflush(io_.err);
    return good;
}

bool PlanRun::ReadJournalDone() {
    if (options_.journal.empty()) return true;
    if (options_.resume) {
        std::string text;
        if (ReadFile(options_.journal, &text)) {
            doneBefore_ = ReadJournal(text, options_.journal);
            for (const std::string& warning : doneBefore_.warnings)
                WriteErrorLine(io_.err, warning);
        }
    }
    journal_ = std::make_unique<PlanJournal>(options_.journal);
    if (journal_->Problem().empty()) return true;
    WriteErrorLine(io_.err, journal_->Problem());
    return false;
}

std::unique_ptr<SharedEvents> PlanRun::EventsFor(const std::string& port) {
    std::lock_guard guard(outputLock_);
    if (options_.json) {
        auto form = std::make_unique<JsonLines>(io_.out, io_.err, start_);
        JsonLines* json = form.get();
        return std::make_unique<SharedEvents>(
            outputLock_, std::move(form), [json, port](unsigned row) { json->Place(port, row); });
    }
    if (options_.quiet || !io_.terminal) {
        auto form = std::make_unique<PlainLines>(io_.out, io_.err, options_.quiet);
        form->Prefix(port + ": ");
        return std::make_unique<SharedEvents>(outputLock_, std::move(form), nullptr);
    }
    if (!board_) board_ = std::make_unique<PortBoard>(io_.out, io_.err);
    auto form = std::make_unique<PortBoard::Line>(*board_, port);
    PortBoard::Line* line = form.get();
    return std::make_unique<SharedEvents>(outputLock_, std::move(form),
                                          [line](unsigned row) { line->Place(row); });
}

void PlanRun::RowEnded(const PlanRow& row, const HeadResult& result, const std::string& started) {
    {
        std::lock_guard guard(resultsLock_);
        results_[&row] = result;
    }
    if (journal_) journal_->Note({&row, images_.at(row.path).sha256, result, started, UtcNow()});
}

void PlanRun::RunPorts() {
    // The ports in the order the plan first names them, each with its rows still to do.
    std::vector<std::pair<std::string, std::vector<const PlanRow*>>> ports;
    for (const PlanRow& row : plan_.rows) {
        if (doneBefore_.Has(row, images_.at(row.path).sha256)) {
            results_[&row] = {row.address, "skipped", std::nullopt, 0, 0, 0, "done before"};
            continue;
        }
        auto port = std::find_if(ports.begin(), ports.end(),
                                 [&](const auto& p) { return p.first == row.port; });
        if (port == ports.end()) port = ports.insert(ports.end(), {row.port, {}});
        port->second.push_back(&row);
    }
    const std::size_t jobs = options_.jobs ? options_.jobs : ports.size();
    RunWaiter waiter(io_);
    const ImageReader reader = [this](const std::string& path) { return images_.at(path).image; };
    struct Running {
        std::unique_ptr<PortRun> run;
        std::thread thread;
        std::atomic<bool> ended{false};
    };
    std::vector<std::unique_ptr<Running>> running;
    std::size_t next = 0;
    bool stopped = false;
    const auto busy = [&] {
        return std::count_if(running.begin(), running.end(),
                             [](const auto& r) { return r->thread.joinable(); });
    };
    for (;;) {
        while (!stopped && next < ports.size() && static_cast<std::size_t>(busy()) < jobs) {
            auto& [port, rows] = ports[next++];
            Running& r = *running.emplace_back(std::make_unique<Running>());
            r.run = std::make_unique<PortRun>(
                options_, rows, io_, reader, EventsFor(port),
                [this](const PlanRow& row, const HeadResult& result, const std::string& started) {
                    RowEnded(row, result, started);
                });
            r.thread = std::thread([&r, &waiter] {
                r.run->Run();
                r.ended = true;
                waiter.Wake();
            });
        }
        for (auto& r : running)
            if (r->ended && r->thread.joinable()) r->thread.join();
        if (busy() == 0 && (stopped || next == ports.size())) break;
        if (stopped) continue;
        if (waiter.Wait(1s) == RunWaiter::Result::Interrupted) {
            // Every port stops at once; each tells where its head stood.
            stopped = true;
            signal_ = waiter.Signal();
            for (auto& r : running) r->run->Raise(signal_);
            for (auto& r : running)
                if (r->thread.joinable()) r->thread.join();
        }
    }
    for (auto& r : running) {
        if (r->thread.joinable()) r->thread.join();
        std::lock_guard guard(outputLock_);
        r->run.reset();
    }
    // Ports never started: their rows skipped.
    for (; next < ports.size(); ++next)
        for (const PlanRow* row : ports[next].second)
            RowEnded(*row, {row->address, "skipped", TransferFailure::Interrupted, 0, 0, 0},
                     UtcNow());
}

int PlanRun::Status() const {
    if (signal_) return kExitInterrupted + signal_;
    for (const auto& [row, result] : results_)
        if (result.result != "done" && result.note.empty()) return kExitHeadFailed;
    return kExitDone;
}

void PlanRun::Summary(int status) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::FILE* table = options_.json ? io_.err : io_.out;
    if (options_.json) {
        std::vector<JsonObject> rows;
        for (const PlanRow& row : plan_.rows) {
            const HeadResult& r = results_.at(&row);
            JsonObject& object = rows.emplace_back();
            object.Add("row", row.line).Add("name", row.name).Add("port", row.port);
            object.Add("address", unsigned{row.address}).Add("image", row.path);
            object.Add("sha256", images_.at(row.path).sha256).Add("result", r.result);
            if (const std::string reason = ReasonToken(r); !reason.empty())
                object.Add("reason", reason);
            object.Add("frames", r.frames).Add("resends", r.resends);
            object.AddSeconds("seconds", r.seconds);
        }
        JsonObject summary;
        summary.Add("event", "summary").AddSeconds("t", seconds).Add("exit", status);
        summary.Add("rows", rows).AddSeconds("seconds", seconds);
        std::fprintf(io_.out, "%s\n", summary.Text().c_str());
        if (const int error = Flush(io_.out); error && !outputError_) outputError_ = error;
    }
    std::size_t nameWidth = 4, portWidth = 4;
    for (const PlanRow& row : plan_.rows) {
        nameWidth = std::max(nameWidth, Columns(row.name));
        portWidth = std::max(portWidth, Columns(row.port));
    }
    std::string text = Padded("row", 5) + " " + Padded("name", nameWidth) + " " +
                       Padded("port", portWidth) + " address " + Padded("result", 26) +
                       " resends      time\n";
    for (const PlanRow& row : plan_.rows) {
        const HeadResult& r = results_.at(&row);
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "%7u %8u %8.1fs", unsigned{row.address}, r.resends,
                      r.seconds);
        const std::string address(numbers, 7), rest(numbers + 7);
        text += Padded(std::to_string(row.line), 5) + " " + Padded(row.name, nameWidth) + " " +
                Padded(row.port, portWidth) + " " + address + " " + Padded(ResultText(r), 26) +
                rest + "\n";
    }
    for (const auto& [path, held] : images_)
        text += "image " + path + ": " + std::to_string(held.image.check.size) +
                " bytes, SHA-256 " + held.sha256 + "\n";
    char whole[64];
    std::snprintf(whole, sizeof whole, "the whole run took %.1fs\n", seconds);
    text += whole;
    std::fputs(text.c_str(), table);
    if (const int error = Flush(table); error && table == io_.out && !outputError_)
        outputError_ = error;
}

int PlanRun::Run() {
    if (!Check() || !ReadImages() || !ReadJournalDone()) return kExitUsage;
    RunPorts();
    int status = Status();
    if (journal_ && !journal_->Problem().empty()) {
        WriteErrorLine(io_.err, journal_->Problem());
        if (status == kExitDone) status = kExitHeadFailed;
    }
    Summary(status);
    if (board_ && board_->OutputError() && !outputError_) outputError_ = board_->OutputError();
    if (outputError_) {
        WriteErrorLine(io_.err, OutputSentence(outputError_));
        if (status == kExitDone) status = kExitOutput;
    }
    return status;
}

}  // namespace

int RunPlan(const FlashOptions& options, RunIo io) {
    PlanRun run(options, std::move(io));
    return run.Run();
}

}  // namespace flash
