#include "cli/FlashEvents.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/FailureReasons.h"

namespace flash {

int Flush(std::FILE* to) {
    if (std::fflush(to) == 0 && !std::ferror(to)) return 0;
    return errno ? errno : EIO;
}

std::string OutputSentence(int error) {
    std::string sentence = "Could not write the output: ";
    sentence += std::strerror(error);
    return sentence + ".";
}

void WriteErrorLine(std::FILE* to, const std::string& sentence) {
    std::string text = sentence;
    // After the program's name a sentence goes on in lower case ("SIGINT" stays).
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    std::fprintf(to, "kavlet-flash: %s\n", text.c_str());
    std::fflush(to);
}

std::string ReasonToken(const HeadResult& result) {
    return result.failure ? Token(*result.failure) : result.note;
}

std::string ResultWithReason(const HeadResult& result) {
    const std::string reason = ReasonToken(result);
    return reason.empty() ? result.result : result.result + " (" + reason + ")";
}

void WriteFailureLine(std::FILE* to, const HeadResult& result, const std::string& message) {
    // An interrupted head was told of by Interrupted already.
    if (result.failure == TransferFailure::Interrupted) return;
    WriteErrorLine(to, message + " (" + ReasonToken(result) + ")");
}

int WriteSummaryTable(std::FILE* to, const std::vector<HeadResult>& results) {
    std::fprintf(to, "%-8s %-26s %7s %8s %9s\n", "address", "result", "frames", "resends", "time");
    for (const HeadResult& r : results) {
        std::string result = r.result;
        if (r.failure) result += " (" + std::string(Token(*r.failure)) + ")";
        std::fprintf(to, "%-8u %-26s %7u %8u %8.1fs\n", r.address, result.c_str(), r.frames,
                     r.resends, r.seconds);
    }
    return Flush(to);
}

int WriteStartLine(std::FILE* to, const FlashOptions& options, std::int32_t size,
                   std::int64_t frames) {
    std::string heads;
    for (const auto a : options.addresses) {
        if (!heads.empty()) heads += ", ";
        heads += std::to_string(a);
    }
    std::fprintf(to, "Sending %s (%d bytes, %lld frames) on %s to %s %s (%s, %u baud).\n",
                 options.image.c_str(), size, static_cast<long long>(frames), options.port.c_str(),
                 options.addresses.size() > 1 ? "heads" : "head", heads.c_str(),
                 ProtocolName(options.protocolIndex), options.speed);
    return Flush(to);
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    std::string text;
    char byte[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

}  // namespace flash
