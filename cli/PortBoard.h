// A plan run on a terminal: one live line a port, redrawn in place (the port, the row and its
// head, what it does now, and while sending a bar with bytes, percent and resends). Error
// lines go above the board, which is drawn again below them.
//
// Threads: any, one at a time (SharedEvents holds the lock around each call).
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/FlashEvents.h"

namespace flash {

class PortBoard {
  public:
    PortBoard(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    // The events of one port, shown on its line; row: the plan's line of the head under way.
    class Line final : public FlashEvents {
      public:
        Line(PortBoard& board, std::string port);
        void Place(unsigned row) { row_ = row; }

        void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) override;
        void Command(unsigned address, std::span<const std::uint8_t>, std::uint32_t) override;
        void Connected(unsigned address) override { Show(address, "connected"); }
        void Frame(unsigned, std::int32_t, std::int64_t, std::int32_t) override {}
        void Accepted(unsigned, std::int32_t, std::int32_t) override {}
        void Resend(unsigned, std::int32_t, unsigned, unsigned, unsigned) override {}
        void Sending(const SendProgress& progress) override { Draw(progress, false); }
        void Tick(const SendProgress& progress) override;
        void SendingEnded(const SendProgress& progress, bool done) override {
            Draw(progress, done);
        }
        void Done(const HeadResult& result) override { Show(result.address, "done"); }
        void Failed(const HeadResult& result, const std::string& message) override;
        void Interrupted(const std::string& message) override;
        void Error(TransferFailure, const std::string& sentence) override;
        void Problem(const std::string& sentence) override;
        void Summary(int, const std::vector<HeadResult>&) override {}

      private:
        void Show(unsigned address, const std::string& what);
        void Draw(const SendProgress& progress, bool whole);

        PortBoard& board_;
        const std::size_t slot_;
        const std::string port_;
        unsigned row_ = 0;
        std::chrono::steady_clock::time_point lastDrawn_;
    };

    // The output's first failure, as FlashEvents::OutputError.
    int OutputError() const { return outputError_; }

  private:
    std::size_t Add(const std::string& text);
    void Set(std::size_t slot, const std::string& text);
    // An error line above the board.
    void ErrorLine(const std::string& sentence);
    void Redraw();

    std::FILE* out_;
    std::FILE* err_;
    std::vector<std::string> lines_;
    std::size_t drawn_ = 0;  // lines of the board on the screen, the cursor below them
    int outputError_ = 0;
};

}  // namespace flash
