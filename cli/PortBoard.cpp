#include "cli/PortBoard.h"

#include <algorithm>

#include "cli/TextBar.h"

namespace flash {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedraw = 200ms;  // a line's pace
constexpr int kBarWidth = 20;

}  // namespace

PortBoard::Line::Line(PortBoard& board, std::string port)
    : board_(board), slot_(board.Add(port + ": waiting")), port_(std::move(port)) {}

void PortBoard::Line::Show(unsigned address, const std::string& what) {
    board_.Set(slot_, port_ + ": row " + std::to_string(row_) + ", head " +
                          std::to_string(address) + ": " + what);
    NoteOutput(board_.OutputError());
}

void PortBoard::Line::Start(const FlashOptions& options, std::int32_t size, std::int64_t) {
    Show(options.addresses.empty() ? 0 : options.addresses.front(),
         options.image + " (" + std::to_string(size) + " bytes)");
}

void PortBoard::Line::Command(unsigned address, std::span<const std::uint8_t>,
                              std::uint32_t speed) {
    Show(address, "start-upgrade command at " + std::to_string(speed) + " baud");
}

void PortBoard::Line::Tick(const SendProgress& progress) {
    if (Clock::now() - lastDrawn_ >= kRedraw) Draw(progress, false);
}

void PortBoard::Line::Draw(const SendProgress& progress, bool whole) {
    lastDrawn_ = Clock::now();
    const std::int64_t total = progress.total;
    const std::int64_t shown = whole ? total : std::min(progress.sent, total);
    const int percent = WholePercent(shown, total);
    const std::string bar = TextBar(shown, total, kBarWidth);
    char text[160];
    std::snprintf(text, sizeof text, "[%s] %lld/%lld B %3d%%, %u resends", bar.c_str(),
                  static_cast<long long>(shown), static_cast<long long>(total), percent,
                  progress.resends);
    Show(progress.address, text);
}

void PortBoard::Line::Failed(const HeadResult& result, const std::string& message) {
    Show(result.address, ResultWithReason(result));
    // An interrupted head was told of by Interrupted already.
    if (result.failure != TransferFailure::Interrupted)
        board_.ErrorLine(port_ + ": " + message + " (" + ReasonToken(result) + ")");
}

void PortBoard::Line::Interrupted(const std::string& message) {
    board_.ErrorLine(port_ + ": " + message);
}

void PortBoard::Line::Error(TransferFailure, const std::string& sentence) {
    board_.Set(slot_, port_ + ": failed");
    board_.ErrorLine(port_ + ": " + sentence);
}

void PortBoard::Line::Problem(const std::string& sentence) {
    board_.ErrorLine(port_ + ": " + sentence);
}

std::size_t PortBoard::Add(const std::string& text) {
    lines_.push_back(text);
    Redraw();
    return lines_.size() - 1;
}

void PortBoard::Set(std::size_t slot, const std::string& text) {
    if (lines_[slot] == text) return;
    lines_[slot] = text;
    Redraw();
}

void PortBoard::ErrorLine(const std::string& sentence) {
    // Up to the board's first line, cleared to the screen's end: the error takes its place.
    if (drawn_) std::fprintf(out_, "\033[%zuA\r\033[J", drawn_);
    std::fflush(out_);
    drawn_ = 0;
    WriteErrorLine(err_, sentence);
    Redraw();
}

void PortBoard::Redraw() {
    if (drawn_) std::fprintf(out_, "\033[%zuA", drawn_);
    for (const std::string& line : lines_) std::fprintf(out_, "\r%s\033[K\n", line.c_str());
    drawn_ = lines_.size();
    if (const int error = Flush(out_); error && !outputError_) outputError_ = error;
}

}  // namespace flash
