// kavlet-flash's events as plain lines, one an event, for a pipe or a file: what happens on
// out, errors on err. Quiet: only the errors and the summary table.
#pragma once

#include <cctype>
#include <cstdio>
#include <utility>

#include "cli/FlashEvents.h"

namespace flash {

class PlainLines final : public FlashEvents {
  public:
    PlainLines(std::FILE* out, std::FILE* err, bool quiet) : out_(out), err_(err), quiet_(quiet) {}

    void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) override;
    void Command(unsigned address, std::span<const std::uint8_t> bytes,
                 std::uint32_t speed) override;
    void Connected(unsigned address) override;
    void Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
               std::int32_t bytes) override;
    void Accepted(unsigned address, std::int32_t index, std::int32_t offset) override;
    void Resend(unsigned address, std::int32_t index, unsigned code, unsigned resend,
                unsigned most) override;
    void Sending(const SendProgress&) override {}
    void Tick(const SendProgress&) override {}
    void SendingEnded(const SendProgress&, bool) override {}
    void Done(const HeadResult& result) override;
    void Failed(const HeadResult& result, const std::string& message) override;
    void Interrupted(const std::string& message) override {
        WriteErrorLine(err_, Prefixed(message));
    }
    void Error(TransferFailure, const std::string& sentence) override {
        WriteErrorLine(err_, Prefixed(sentence));
    }
    void Problem(const std::string& sentence) override { WriteErrorLine(err_, Prefixed(sentence)); }
    void Summary(int, const std::vector<HeadResult>& results) override {
        NoteOutput(WriteSummaryTable(out_, results));
    }

    // With --plan: every line begins with prefix (the port and ": ").
    void Prefix(std::string prefix) { prefix_ = std::move(prefix); }

  private:
    // The prefix and the sentence, which goes on in lower case after it.
    std::string Prefixed(std::string sentence) const {
        if (!prefix_.empty() && sentence.size() > 1 &&
            std::isupper(static_cast<unsigned char>(sentence[0])) &&
            std::islower(static_cast<unsigned char>(sentence[1])))
            sentence[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(sentence[0])));
        return prefix_ + sentence;
    }
    // One line on out, unless quiet.
    void Say(const std::string& line);

    std::FILE* out_;
    std::FILE* err_;
    bool quiet_;
    std::string prefix_;
};

}  // namespace flash
