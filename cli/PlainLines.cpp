#include "cli/PlainLines.h"

namespace flash {
namespace {

std::string HeadName(unsigned address) {
    return "head " + std::to_string(address);
}

}  // namespace

void PlainLines::Say(const std::string& line) {
    if (quiet_) return;
    std::fprintf(out_, "%s%s\n", prefix_.c_str(), line.c_str());
    NoteOutput(Flush(out_));
}

void PlainLines::Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) {
    if (quiet_) return;
    std::fputs(prefix_.c_str(), out_);
    NoteOutput(WriteStartLine(out_, options, size, frames));
}

void PlainLines::Command(unsigned address, std::span<const std::uint8_t> bytes,
                         std::uint32_t speed) {
    Say(HeadName(address) + ": start-upgrade command " + HexText(bytes) + " at " +
        std::to_string(speed) + " baud");
}

void PlainLines::Connected(unsigned address) {
    Say(HeadName(address) + ": connected");
}

void PlainLines::Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
                       std::int32_t bytes) {
    char text[128];
    std::snprintf(text, sizeof text, "head %u: frame %d sent (load address 0x%08x, %d bytes)",
                  address, index, static_cast<unsigned>(loadAddress), bytes);
    Say(text);
}

void PlainLines::Accepted(unsigned address, std::int32_t index, std::int32_t offset) {
    Say(HeadName(address) + ": block " + std::to_string(index) + " accepted (offset " +
        std::to_string(offset) + ")");
}

void PlainLines::Resend(unsigned address, std::int32_t index, unsigned code, unsigned resend,
                        unsigned most) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "head %u: checksum error %02x on block %d, sending it again (resend %u of at "
                  "most %u)",
                  address, code, index, resend, most);
    Say(text);
}

void PlainLines::Done(const HeadResult& result) {
    char text[128];
    std::snprintf(text, sizeof text, "head %u: done, %u frames, %u resends, %.1f s", result.address,
                  result.frames, result.resends, result.seconds);
    Say(text);
}

void PlainLines::Failed(const HeadResult& result, const std::string& message) {
    // An interrupted head was told of by Interrupted already.
    if (result.failure != TransferFailure::Interrupted)
        WriteErrorLine(err_, Prefixed(message + " (" + ReasonToken(result) + ")"));
}

}  // namespace flash
