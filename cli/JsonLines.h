// kavlet-flash's events with --json: one JSON object a line on out, each with "event", "t"
// (seconds since the run began) and "address" where a head is concerned; everything for a
// person (errors, the summary table) on err.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/FlashEvents.h"
#include "cli/Json.h"

namespace flash {

class JsonLines final : public FlashEvents {
  public:
    JsonLines(std::FILE* out, std::FILE* err,
              std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now())
        : out_(out), err_(err), start_(start) {}
    // With --plan: every event names the port and the plan's row (its line) as well.
    void Place(const std::string& port, unsigned row) {
        port_ = port;
        row_ = row;
    }

    void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) override;
    void Command(unsigned address, std::span<const std::uint8_t> bytes,
                 std::uint32_t speed) override;
    void Connected(unsigned address) override { Write(Event("connected", address)); }
    void Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
               std::int32_t bytes) override;
    void Accepted(unsigned address, std::int32_t index, std::int32_t offset) override;
    void Resend(unsigned address, std::int32_t index, unsigned code, unsigned resend,
                unsigned most) override;
    void Sending(const SendProgress&) override {}
    void Tick(const SendProgress&) override {}
    void SendingEnded(const SendProgress&, bool) override {}
    void Done(const HeadResult& result) override { Write(Event("done", result.address)); }
    void Failed(const HeadResult& result, const std::string& message) override;
    void Interrupted(const std::string& message) override { WriteErrorLine(err_, message); }
    void Error(TransferFailure failure, const std::string& sentence) override;
    void Problem(const std::string& sentence) override { WriteErrorLine(err_, sentence); }
    void Summary(int exitStatus, const std::vector<HeadResult>& results) override;

  private:
    JsonObject Event(const char* name, std::optional<unsigned> address = {}) const;
    void Write(const JsonObject& object);

    std::FILE* out_;
    std::FILE* err_;
    const std::chrono::steady_clock::time_point start_;
    std::string port_;
    std::optional<unsigned> row_;
};

}  // namespace flash
