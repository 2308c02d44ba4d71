#include "cli/ProgressLine.h"

#include <algorithm>
#include <cmath>

#include "cli/TextBar.h"

namespace flash {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedraw = 200ms;  // the line's pace
constexpr int kBarWidth = 24;

// m:ss
std::string Duration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

}  // namespace

void ProgressLine::Tick(const SendProgress& progress) {
    if (Clock::now() - lastDrawn_ >= kRedraw) Draw(progress, false);
}

void ProgressLine::Draw(const SendProgress& progress, bool whole) {
    lastDrawn_ = Clock::now();
    const std::int64_t total = progress.total;
    const std::int64_t sent = progress.sent;
    const double seconds =
        std::max(1e-3, std::chrono::duration<double>(Clock::now() - progress.since).count());
    const double rate = sent / seconds;
    const std::int64_t shown = whole ? total : std::min(sent, total);
    const int percent = WholePercent(shown, total);
    const std::string bar = TextBar(shown, total, kBarWidth);
    const std::string left = rate > 0 ? Duration((total - shown) / rate) : "-:--";
    char line[256];
    std::snprintf(line, sizeof line,
                  "\rhead %3u [%s] %lld/%lld B %3d%% %7.0f B/s %s left, %u resends",
                  progress.address, bar.c_str(), static_cast<long long>(shown),
                  static_cast<long long>(total), percent, rate, left.c_str(), progress.resends);
    std::fputs(line, out_);
    std::fputs("\033[K", out_);  // clears what a longer line left behind
    NoteOutput(Flush(out_));
    shown_ = true;
}

void ProgressLine::EndLine() {
    if (!shown_) return;
    std::fputc('\n', out_);
    NoteOutput(Flush(out_));
    shown_ = false;
}

void ProgressLine::Failed(const HeadResult& result, const std::string& message) {
    EndLine();
    WriteFailureLine(err_, result, message);
}

}  // namespace flash
