#include "tools/head/VirtualBus.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace head {

std::string CheckBus(const std::vector<HeadOptions>& heads) {
    if (heads.empty()) return "a bus needs at least one head";
    std::set<unsigned> seen;
    for (const HeadOptions& options : heads) {
        if (const std::string problem = CheckOptions(options); !problem.empty()) {
            return "head " + std::to_string(options.address) + ": " + problem;
        }
        if (!seen.insert(options.address).second) {
            return "address " + std::to_string(options.address) + " is on the bus twice";
        }
    }
    return {};
}

std::unique_ptr<VirtualBus> VirtualBus::CreatePty(std::vector<HeadOptions> heads,
                                                  std::string* error) {
    if (const std::string problem = CheckBus(heads); !problem.empty()) {
        if (error) *error = problem;
        return nullptr;
    }
    std::vector<unsigned> addresses;
    for (HeadOptions& options : heads) {
        options.leaveLoaderWhenDone = true;
        addresses.push_back(options.address);
    }
    auto line = VirtualHead::MakePty(std::move(heads), error);
    if (!line) return nullptr;
    return std::unique_ptr<VirtualBus>(new VirtualBus(std::move(line), std::move(addresses)));
}

VirtualBus::VirtualBus(std::unique_ptr<VirtualHead> line, std::vector<unsigned> addresses)
    : line_(std::move(line)), addresses_(std::move(addresses)) {}

bool VirtualBus::Has(unsigned address) const {
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

std::size_t VirtualBus::IndexOf(unsigned address) const {
    const auto at = std::find(addresses_.begin(), addresses_.end(), address);
    if (at == addresses_.end()) {
        throw std::out_of_range("no head with address " + std::to_string(address) + " on the bus");
    }
    return static_cast<std::size_t>(at - addresses_.begin());
}

HeadReport VirtualBus::Report(unsigned address) const {
    return line_->ReportOf(IndexOf(address));
}

bool VirtualBus::WaitFor(unsigned address, const std::function<bool(const HeadReport&)>& condition,
                         std::chrono::milliseconds timeout) const {
    return line_->WaitForOn(IndexOf(address), condition, timeout);
}

void VirtualBus::SetFaults(unsigned address, const HeadFaults& faults) {
    line_->SetFaultsOn(IndexOf(address), faults);
}

std::string VirtualBus::SummaryText() const {
    std::string text;
    std::uint64_t received = 0;
    std::uint64_t written = 0;
    unsigned frames = 0;
    unsigned resends = 0;
    unsigned images = 0;
    for (std::size_t i = 0; i < addresses_.size(); ++i) {
        const HeadOptions& options = line_->heads_[i].options;
        const HeadReport report = line_->ReportOf(i);
        text += "head " + std::to_string(options.address) + " (" + ProtocolName(options.protocol) +
                ", " + std::to_string(options.speed) + " baud):\n";
        const std::string block = head::SummaryText(report);
        for (std::size_t at = 0, end; at < block.size(); at = end + 1) {
            end = block.find('\n', at);
            if (end == std::string::npos) end = block.size();
            text += "  " + block.substr(at, end - at) + "\n";
        }
        // Every head reads every byte of the line.
        received = std::max(received, report.bytesReceived);
        written += report.written.size();
        frames += report.frames;
        resends += report.resends;
        images += report.imagesCompleted;
    }
    text += "line: " + std::to_string(addresses_.size()) + " heads; " + std::to_string(received) +
            " bytes from the tool, " + std::to_string(written) + " from the heads\n";
    text += "line: " + std::to_string(frames) + " frames (" + std::to_string(resends) +
            " resends), " + std::to_string(images) + " images complete, " +
            std::to_string(Collisions()) + " collisions\n";
    return text;
}

}  // namespace head
