// One port's events in a plan run, passed on to the form that shows them (PlainLines with the
// port before each line, JsonLines with port and row, a line of the PortBoard) while holding
// the lock every port's events share: what ports tell never mixes on the output.
//
// Threads: the port's; the lock orders it against the other ports.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "cli/FlashEvents.h"

namespace flash {

class SharedEvents final : public FlashEvents {
  public:
    // place: tells the form which row of the plan comes next.
    SharedEvents(std::mutex& lock, std::unique_ptr<FlashEvents> form,
                 std::function<void(unsigned row)> place)
        : lock_(lock), form_(std::move(form)), place_(std::move(place)) {}

    // The row of the plan (its line) whose events follow.
    void Row(unsigned row) {
        std::lock_guard guard(lock_);
        if (place_) place_(row);
    }

    void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) override {
        Pass([&](FlashEvents& f) { f.Start(options, size, frames); });
    }
    void Command(unsigned address, std::span<const std::uint8_t> bytes,
                 std::uint32_t speed) override {
        Pass([&](FlashEvents& f) { f.Command(address, bytes, speed); });
    }
    void Connected(unsigned address) override {
        Pass([&](FlashEvents& f) { f.Connected(address); });
    }
    void Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
               std::int32_t bytes) override {
        Pass([&](FlashEvents& f) { f.Frame(address, index, loadAddress, bytes); });
    }
    void Accepted(unsigned address, std::int32_t index, std::int32_t offset) override {
        Pass([&](FlashEvents& f) { f.Accepted(address, index, offset); });
    }
    void Resend(unsigned address, std::int32_t index, unsigned code, unsigned resend,
                unsigned most) override {
        Pass([&](FlashEvents& f) { f.Resend(address, index, code, resend, most); });
    }
    void Sending(const SendProgress& progress) override {
        Pass([&](FlashEvents& f) { f.Sending(progress); });
    }
    void Tick(const SendProgress& progress) override {
        Pass([&](FlashEvents& f) { f.Tick(progress); });
    }
    void SendingEnded(const SendProgress& progress, bool done) override {
        Pass([&](FlashEvents& f) { f.SendingEnded(progress, done); });
    }
    void Done(const HeadResult& result) override {
        Pass([&](FlashEvents& f) { f.Done(result); });
    }
    void Failed(const HeadResult& result, const std::string& message) override {
        Pass([&](FlashEvents& f) { f.Failed(result, message); });
    }
    void Interrupted(const std::string& message) override {
        Pass([&](FlashEvents& f) { f.Interrupted(message); });
    }
    void Error(TransferFailure reason, const std::string& sentence) override {
        Pass([&](FlashEvents& f) { f.Error(reason, sentence); });
    }
    void Problem(const std::string& sentence) override {
        Pass([&](FlashEvents& f) { f.Problem(sentence); });
    }
    // The plan run writes the summary of every row itself.
    void Summary(int, const std::vector<HeadResult>&) override {}

  private:
    template <typename Call>
    void Pass(const Call& call) {
        std::lock_guard guard(lock_);
        call(*form_);
        NoteOutput(form_->OutputError());
    }

    std::mutex& lock_;
    const std::unique_ptr<FlashEvents> form_;
    const std::function<void(unsigned)> place_;
};

}  // namespace flash
