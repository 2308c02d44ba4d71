// kavlet-flash's events on a terminal: the start line, then one progress line a head (bar,
// bytes, percent, bytes/s, time left, resends) redrawn in place at most every 200 ms, ended
// with a newline before any error line. Errors on err, the summary table on out.
#pragma once

#include <chrono>
#include <cstdio>

#include "cli/FlashEvents.h"

namespace flash {

class ProgressLine final : public FlashEvents {
  public:
    ProgressLine(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) override {
        NoteOutput(WriteStartLine(out_, options, size, frames));
    }
    void Command(unsigned, std::span<const std::uint8_t>, std::uint32_t) override {}
    void Connected(unsigned) override {}
    void Frame(unsigned, std::int32_t, std::int64_t, std::int32_t) override {}
    void Accepted(unsigned, std::int32_t, std::int32_t) override {}
    void Resend(unsigned, std::int32_t, unsigned, unsigned, unsigned) override {}
    void Sending(const SendProgress& progress) override { Draw(progress, false); }
    void Tick(const SendProgress& progress) override;
    void SendingEnded(const SendProgress& progress, bool done) override { Draw(progress, done); }
    void Done(const HeadResult&) override { EndLine(); }
    void Failed(const HeadResult& result, const std::string& message) override;
    void Interrupted(const std::string& message) override { ErrorLine(message); }
    void Error(TransferFailure, const std::string& sentence) override { ErrorLine(sentence); }
    void Problem(const std::string& sentence) override { ErrorLine(sentence); }
    void Summary(int, const std::vector<HeadResult>& results) override {
        NoteOutput(WriteSummaryTable(out_, results));
    }

  private:
    // Draws the line anew; whole: the head took the whole image, shown as every byte sent.
    void Draw(const SendProgress& progress, bool whole);
    // Ends the line shown, if any, so that what follows starts on a line of its own.
    void EndLine();
    void ErrorLine(const std::string& sentence) {
        EndLine();
        WriteErrorLine(err_, sentence);
    }

    std::FILE* out_;
    std::FILE* err_;
    bool shown_ = false;  // a progress line stands unended on out
    std::chrono::steady_clock::time_point lastDrawn_;
};

}  // namespace flash
