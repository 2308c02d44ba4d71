// What a run of kavlet-flash tells: one call an event, made once, by the head's session or by
// the run. Each form decides how the event looks: the progress line on a terminal
// (ProgressLine), one plain line an event (PlainLines), one JSON object a line (JsonLines).
//
// Threads: the run's own; every call comes from within the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/FlashOptions.h"
#include "upgrade/TransferFailure.h"

namespace flash {

// How one head ended, for the summary.
struct HeadResult {
    unsigned address = 0;
    std::string result;                      // done, failed, skipped
    std::optional<TransferFailure> failure;  // for failed: why (its token: Token)
    unsigned frames = 0;
    unsigned resends = 0;
    double seconds = 0;
    std::string note{};  // a plan's own word for a row that did not run: "done before"
};

// Where a head's transfer stands, for the progress line.
struct SendProgress {
    unsigned address = 0;
    std::int64_t total = 0;  // the bytes of every frame of the image
    std::int64_t sent = 0;   // the bytes handed to the port since the first frame
    std::chrono::steady_clock::time_point since;  // when the first frame was started
    unsigned resends = 0;
};

class FlashEvents {
  public:
    virtual ~FlashEvents() = default;

    // The image is open (size bytes, frames frames): the run begins.
    virtual void Start(const FlashOptions& options, std::int32_t size, std::int64_t frames) = 0;
    // The start-upgrade command for a head goes out, at speed baud.
    virtual void Command(unsigned address, std::span<const std::uint8_t> bytes,
                         std::uint32_t speed) = 0;
    // The head's loader answered the greeting.
    virtual void Connected(unsigned address) = 0;
    // A frame goes out: its block index, its load address and the file bytes it carries.
    virtual void Frame(unsigned address, std::int32_t index, std::int64_t loadAddress,
                       std::int32_t bytes) = 0;
    // The head took the block at index (file offset offset).
    virtual void Accepted(unsigned address, std::int32_t index, std::int32_t offset) = 0;
    // The head answered code (a checksum error) to the block at index: it goes out again, as
    // resend `resend` of at most `most`.
    virtual void Resend(unsigned address, std::int32_t index, unsigned code, unsigned resend,
                        unsigned most) = 0;
    // The first frame of a head went out.
    virtual void Sending(const SendProgress& progress) = 0;
    // The run waits while a head's frames go out (at least every 100 ms).
    virtual void Tick(const SendProgress& progress) = 0;
    // A head that had begun sending has ended; done: it took the whole image.
    virtual void SendingEnded(const SendProgress& progress, bool done) = 0;
    // A head took the whole image.
    virtual void Done(const HeadResult& result) = 0;
    // A head failed or was interrupted; message: the sentence saying why.
    virtual void Failed(const HeadResult& result, const std::string& message) = 0;
    // A signal stopped the run during a head; message: where the head stood.
    virtual void Interrupted(const std::string& message) = 0;
    // The run cannot start: the image or the port failed.
    virtual void Error(TransferFailure failure, const std::string& sentence) = 0;
    // The run cannot even wait for the engine: told as an error alone.
    virtual void Problem(const std::string& sentence) = 0;
    // The run has ended with exitStatus; one result a head named.
    virtual void Summary(int exitStatus, const std::vector<HeadResult>& results) = 0;

    // The errno of the first write to the run's output (out, not err) that failed; 0 while
    // everything went out.
    int OutputError() const { return outputError_; }

  protected:
    // Keeps error (from Flush) when it is the output's first.
    void NoteOutput(int error) {
        if (!outputError_) outputError_ = error;
    }

  private:
    int outputError_ = 0;
};

// --- The words the forms share

// Flushes to: 0 once everything written to it has gone out, else the errno of the failure.
int Flush(std::FILE* to);
// "Could not write the output: REASON." for the errno of a failed write to the output.
std::string OutputSentence(int error);
// "kavlet-flash: " and the sentence, which goes on in lower case ("SIGINT" stays).
void WriteErrorLine(std::FILE* to, const std::string& sentence);
// The token of the reason a head failed for, empty for one that did not.
std::string ReasonToken(const HeadResult& result);
// The result with its reason in brackets, "failed (port)", "skipped (done before)", or alone.
std::string ResultWithReason(const HeadResult& result);
// "kavlet-flash: " and the sentence for a failed head, with its reason; nothing for an
// interrupted one (Interrupted told it).
void WriteFailureLine(std::FILE* to, const HeadResult& result, const std::string& message);
// The table of results: a header, then a row a head. Returns what Flush does, as
// WriteStartLine does.
int WriteSummaryTable(std::FILE* to, const std::vector<HeadResult>& results);
// "Sending IMAGE (N bytes, M frames) on PORT to heads A, B (PROTOCOL, S baud)."
int WriteStartLine(std::FILE* to, const FlashOptions& options, std::int32_t size,
                   std::int64_t frames);
// The bytes as two hex digits each, separated by blanks.
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace flash
