#include "cli/JsonLines.h"

#include "cli/FailureReasons.h"

namespace flash {

JsonObject JsonLines::Event(const char* name, std::optional<unsigned> address) const {
    JsonObject object;
    object.Add("event", name);
    if (row_) object.Add("port", port_).Add("row", *row_);
    if (address) object.Add("address", *address);
    object.AddSeconds(
        "t", std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    return object;
}

void JsonLines::Write(const JsonObject& object) {
    std::fprintf(out_, "%s\n", object.Text().c_str());
    NoteOutput(Flush(out_));
}

void JsonLines::Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) {
    Write(Event("start")
              .Add("port", options.port)
              .Add("protocol", ProtocolName(options.protocolIndex))
              .Add("speed", options.speed)
              .Add("image", options.image)
              .Add("size", size)
              .Add("frames", frames));
}

void JsonLines::Command(unsigned address, std::span<const std::uint8_t> bytes, std::uint32_t) {
    Write(Event("command", address).Add("bytes", HexText(bytes)));
}

void JsonLines::Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
                      std::int32_t bytes) {
    Write(Event("frame", address)
              .Add("index", index)
              .Add("load_address", loadAddress)
              .Add("bytes", bytes));
}

void JsonLines::Accepted(unsigned address, std::int32_t index, std::int32_t offset) {
    Write(Event("accepted", address).Add("index", index).Add("offset", offset));
}

void JsonLines::Resend(unsigned address, std::int32_t index, unsigned code, unsigned, unsigned) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", code);
    Write(Event("resend", address).Add("index", index).Add("code", text));
}

void JsonLines::Failed(const HeadResult& result, const std::string& message) {
    Write(
        Event("failed", result.address).Add("reason", ReasonToken(result)).Add("message", message));
    WriteFailureLine(err_, result, message);
}

void JsonLines::Error(TransferFailure failure, const std::string& sentence) {
    Write(Event("error").Add("reason", Token(failure)).Add("message", sentence));
    WriteErrorLine(err_, sentence);
}

void JsonLines::Summary(int exitStatus, const std::vector<HeadResult>& results) {
    std::vector<JsonObject> heads;
    for (const HeadResult& r : results) {
        JsonObject& object = heads.emplace_back();
        object.Add("address", r.address).Add("result", r.result);
        if (r.failure) object.Add("reason", Token(*r.failure));
        object.Add("frames", r.frames).Add("resends", r.resends).AddSeconds("seconds", r.seconds);
    }
    Write(Event("summary").Add("exit", exitStatus).Add("heads", heads));
    WriteSummaryTable(err_, results);
}

}  // namespace flash
