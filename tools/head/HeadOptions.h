// Settings, fault injection and report of the virtual camera head.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tools/head/HeadProtocol.h"

namespace head {

// How the head decides the length of the image it received. A frame always carries 4096 data
// bytes, 0xFF-filled past the end of the file, and nothing in it tells how many are file bytes.
enum class ImageSizeRule {
    WholeBlocks,  // keep every data byte of every block: a multiple of 4096, fill included
    ExpectSize,   // cut to HeadOptions::expectSize bytes (exact when the caller knows the size)
    TrimFill,     // drop trailing 0xFF bytes of the last block only (wrong for an image that
                  // really ends in 0xFF)
};

// A point in a transfer at which a fault acts: kGreetingPoint is the first greeting after the
// fault was set, k >= 1 is the k-th complete frame the head receives since it started, frames
// sent again included.
inline constexpr unsigned kGreetingPoint = 0;

// The meaningless bytes a garbage fault sends unless told others: none of them is an answer
// code, XON or XOFF. (Built from an array: a braced list here trips a false warning of GCC 12 at
// -O3 in every file that makes a HeadFaults.)
inline std::vector<std::uint8_t> DefaultGarbageBytes() {
    static constexpr std::uint8_t kBytes[] = {0x85, 0x00, 0x55, 0xAA, 0x7E};
    return std::vector<std::uint8_t>(std::begin(kBytes), std::end(kBytes));
}

struct HeadFaults {
    // Answer rejectCode (0x81 or 0x83) to frame rejectFrame although it is good, and drop it;
    // once, so the frame sent again is accepted. 0: off.
    unsigned rejectFrame = 0;
    std::uint8_t rejectCode = 0x81;

    // Answer failCode (0x86 or 0x87) in place of the answer due at this point; once. A frame so
    // answered is dropped.
    std::optional<unsigned> failAt;
    std::uint8_t failCode = 0x86;

    // While frame xoffFrame comes in, send XOFF (0x13) once xoffAfterBytes of its bytes have
    // arrived, and XON (0x11) xoffPause later. 0: off.
    unsigned xoffFrame = 0;
    std::size_t xoffAfterBytes = 1024;  // 1 to 4106
    std::chrono::milliseconds xoffPause{500};

    // From this point on answer nothing at all (the answer due at the point included).
    std::optional<unsigned> silentFrom;

    // Send garbageBytes once at this point: garbageGap after the answer, or, with
    // garbageBeforeAnswer, garbageGap before it (the garbage then arrives first).
    std::optional<unsigned> garbageAt;
    bool garbageBeforeAnswer = false;
    std::vector<std::uint8_t> garbageBytes = DefaultGarbageBytes();
    std::chrono::milliseconds garbageGap{100};

    // Answer 0x82 in place of 0x84 to the first frame with the last-block flag, so the tool
    // sends one frame more; that one is answered 0x84.
    bool withholdDone = false;
    // Answer 0x82 in place of every 0x84, also to the frame after the last block: a head that
    // never says it is done.
    bool neverDone = false;

    // Hand mergeBytes to the line in the same write as the answer at this point (after the
    // answer, or with mergeBefore in front of it), so the tool reads them in one chunk with
    // it: "82 80" to a frame, say. Once. Any bytes but XON and XOFF (which the tool's line
    // would take for itself); nothing goes out when the head is silent at that point.
    std::optional<unsigned> mergeAt;
    std::vector<std::uint8_t> mergeBytes = std::vector<std::uint8_t>(1, 0x80);
    bool mergeBefore = false;

    // While frame unpromptedFrame comes in, send unpromptedCode (any answer code: a stray 82 or
    // 84 as well as 86 or 87) unasked once unpromptedAfterBytes of its bytes have arrived; the
    // frame itself is still taken and answered as usual when it is complete. 0: off.
    unsigned unpromptedFrame = 0;
    std::size_t unpromptedAfterBytes = 1024;  // 1 to 4106
    std::uint8_t unpromptedCode = 0x86;

    // Send the answer to frame echoFrame once more, echoDelay after it, in a write of its own:
    // a late echo of an answer already given (an 82 that may arrive while the next frame is
    // still going out). Once; nothing when the head is silent at that frame. 0: off.
    unsigned echoFrame = 0;
    std::chrono::milliseconds echoDelay{50};

    // While the first frame with the last-block flag comes in, send 84 (done) unasked once
    // earlyDoneAfterBytes of its bytes have arrived, and from then on answer nothing at all
    // (the frame is still taken when complete). 0: off, else 2 to 4106 (the flag is its
    // second byte).
    std::size_t earlyDoneAfterBytes = 0;
};

struct HeadOptions {
    unsigned address = 1;  // bus address, 1 to 255
    PelcoProtocol protocol = PelcoProtocol::PelcoD;
    std::uint32_t speed = 2400;  // normal line speed in baud; the loader runs at 115200
    bool startInLoader = false;  // skip normal operation: the loader listens from the start

    ImageSizeRule sizeRule = ImageSizeRule::WholeBlocks;
    std::uint32_t expectSize = 0;  // for ImageSizeRule::ExpectSize
    std::string outputPath;        // the image is written here each time one is complete

    // Read no faster than a real line of this speed delivers (10 bits a byte: 115200 baud
    // gives 11,520 bytes/s). 0: read whatever has arrived at once.
    std::uint32_t paceBaud = 0;

    // A frame or a command left incomplete this long without a byte is dropped. 0: never.
    std::chrono::milliseconds frameTimeout{2000};

    // For a head sharing its line with others (VirtualBus sets it): once its image is complete,
    // the loader ends and the head is back in normal operation as soon as the tool turns to
    // another head. That is, on the first bytes sent at another speed than the loader's (they
    // are then judged at the head's own speed: its own start-upgrade command starts the loader
    // again), or on a start-upgrade command read at the loader's speed (for any address; taken
    // only when it is the head's own, at its own speed). A head whose image is incomplete stays
    // in its loader, as a real one with half its flash written would.
    bool leaveLoaderWhenDone = false;

    HeadFaults faults;

    // Called with each event line, on the head's thread, after the head has released its lock
    // (so it may call Report()). Events are kept in the report as well.
    std::function<void(const std::string&)> log;
};

// Empty when the options can be used, else what is wrong with them.
std::string CheckOptions(const HeadOptions& options);

enum class HeadState {
    Normal,   // listening at its own speed for the start-upgrade command
    Loader,   // the loader listens at 115200
    Stopped,  // the head's thread has ended (Stop, or the line failed: see lineError)
};

const char* StateName(HeadState state);

struct CommandSeen {
    PelcoFrame frame;
    std::vector<std::uint8_t> bytes;
    std::optional<std::uint32_t> lineSpeed;  // the tool's speed when it arrived (if known)
    bool accepted = false;                   // it switched the head into its loader
};

struct HeadReport {
    HeadState state = HeadState::Normal;
    HeadState stoppedIn = HeadState::Normal;  // the state it was in when it stopped
    std::vector<CommandSeen> commands;        // every well-formed Pelco frame, accepted or not

    std::uint64_t bytesReceived = 0;  // every byte read from the line
    std::uint64_t noiseBytes = 0;     // read while the tool's speed differed from the head's
    std::uint64_t skippedBytes = 0;   // at the right speed, but no command, greeting or frame
    unsigned greetings = 0;
    unsigned strayGreetings = 0;  // greetings at another speed than the loader's 115200

    unsigned frames = 0;            // complete frames received, good or bad
    unsigned framesAccepted = 0;    // stored in the image
    unsigned resends = 0;           // frames for the same block as the frame before them
    unsigned checksumErrors = 0;    // frames whose sum did not match
    unsigned badFrames = 0;         // good sum, but a wrong length field or load address
    unsigned incompleteFrames = 0;  // started frames dropped after silence or noise
    unsigned extraFrames = 0;       // frames after the last block, within its reach
    std::size_t partialBytes = 0;   // bytes held: a frame coming in, or a possible command start
    std::optional<std::uint32_t> impliedImageSize;  // load offset of the last extra frame

    // Answer codes given, in order, recorded when the head decides them (so they are here as
    // soon as the report shows the greeting or frame they answer; a delayed one follows on the
    // line a little later).
    std::vector<std::uint8_t> answers;
    std::vector<std::uint8_t> written;  // every byte handed to the line: answers, XOFF/XON, garbage
    std::vector<std::vector<std::uint8_t>> writes;  // the same bytes, one entry a write
    bool xoffSent = false;
    bool xonSent = false;
    std::vector<std::uint8_t> unprompted;  // codes sent unasked in the middle of a frame
    std::vector<std::uint8_t> echoes;      // answers sent a second time (HeadFaults::echoFrame)
    std::uint64_t bytesWhilePaused = 0;    // bytes that still came between XOFF and XON

    std::vector<std::uint8_t> image;  // blocks stored so far of the image in progress
    unsigned imagesCompleted = 0;
    unsigned loaderExits = 0;  // times the loader ended on a bus (leaveLoaderWhenDone)
    std::vector<std::uint8_t> finishedImage;  // the last complete image, cut by the size rule
    std::string sha256;                       // of finishedImage; empty until one is complete

    std::vector<std::string> problems;  // what a correct tool would not have caused
    std::vector<std::string> events;    // everything, in order, with time stamps
    std::size_t eventsDropped = 0;      // events beyond the kept number
    std::string lineError;              // why the line failed, when it did
};

// The summary a person reads, one item a line: frames, resends, bytes, answers, the image's
// size and SHA-256, and every problem.
std::string SummaryText(const HeadReport& report);

}  // namespace head
