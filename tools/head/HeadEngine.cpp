#include "tools/head/HeadEngine.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <utility>

#include "tools/head/HeadWire.h"
#include "tools/head/Sha256.h"

namespace head {

namespace {

using namespace wire;

constexpr std::size_t kMaxKeptEvents = 20000;

std::string Format(const char* format, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string SpeedText(std::optional<std::uint32_t> speed) {
    return speed ? Format("%u baud", static_cast<unsigned>(*speed)) : std::string("unknown speed");
}

std::string PointName(unsigned point) {
    return point == kGreetingPoint ? std::string("greeting") : Format("frame %u", point);
}

}  // namespace

const char* StateName(HeadState state) {
    switch (state) {
        case HeadState::Normal:
            return "normal operation";
        case HeadState::Loader:
            return "loader";
        case HeadState::Stopped:
            return "stopped";
    }
    return "?";
}

std::string CheckOptions(const HeadOptions& options) {
    const HeadFaults& f = options.faults;
    if (options.address < 1 || options.address > 255) return "the address must be 1 to 255";
    if (options.speed == 0) return "the line speed must be above 0";
    if (f.rejectCode != kChecksumError && f.rejectCode != kChecksumError2)
        return "the reject code must be 81 or 83";
    if (f.failCode != kFailed && f.failCode != kTimedOut) return "the fail code must be 86 or 87";
    if (f.xoffAfterBytes < 1 || f.xoffAfterBytes >= kFrameSize) {
        return "XOFF must come after 1 to 4106 bytes of the frame";
    }
    if (f.xoffPause.count() < 0 || f.garbageGap.count() < 0 || f.echoDelay.count() < 0 ||
        options.frameTimeout.count() < 0) {
        return "times must not be negative";
    }
    if (!IsAnswerCode(f.unpromptedCode)) {
        return "the unprompted code must be an answer code: 80 to 84, 86 or 87";
    }
    if (f.earlyDoneAfterBytes != 0 &&
        (f.earlyDoneAfterBytes <= kFlagAt || f.earlyDoneAfterBytes >= kFrameSize)) {
        return "the early 84 must come after 2 to 4106 bytes of the last frame";
    }
    if (f.unpromptedAfterBytes < 1 || f.unpromptedAfterBytes >= kFrameSize) {
        return "the unprompted code must come after 1 to 4106 bytes of the frame";
    }
    if (f.mergeBytes.empty()) return "the bytes merged with an answer must be at least one";
    for (const std::uint8_t b : f.mergeBytes) {
        if (b == kXon || b == kXoff) {
            return Format("byte %02x merged with an answer would never reach the tool's reader", b);
        }
    }
    if (f.garbageBytes.empty()) return "the garbage must hold at least one byte";
    for (const std::uint8_t b : f.garbageBytes) {
        // Garbage must mean nothing to the tool, even when split across reads: no answer code,
        // and no XON or XOFF, which the tool's line would act on.
        const bool code = IsAnswerCode(b);
        if (code || b == kXon || b == kXoff) {
            return Format("garbage byte %02x would mean something (answer code or XON/XOFF)", b);
        }
    }
    return {};
}

std::string SummaryText(const HeadReport& r) {
    std::string text = r.state == HeadState::Stopped
                           ? Format("state: stopped, in %s at the time\n", StateName(r.stoppedIn))
                           : Format("state: %s\n", StateName(r.state));
    text += Format("bytes received: %llu (noise %llu, skipped %llu)\n",
                   static_cast<unsigned long long>(r.bytesReceived),
                   static_cast<unsigned long long>(r.noiseBytes),
                   static_cast<unsigned long long>(r.skippedBytes));
    text +=
        Format("commands: %zu (accepted %zu); greetings: %u\n", r.commands.size(),
               static_cast<std::size_t>(std::count_if(r.commands.begin(), r.commands.end(),
                                                      [](const auto& c) { return c.accepted; })),
               r.greetings);
    if (r.strayGreetings > 0) {
        text += Format("greetings at another speed than the loader's: %u\n", r.strayGreetings);
    }
    text += Format(
        "frames: %u (accepted %u, resends %u, checksum errors %u, bad %u, incomplete %u, "
        "extra %u)\n",
        r.frames, r.framesAccepted, r.resends, r.checksumErrors, r.badFrames, r.incompleteFrames,
        r.extraFrames);
    text +=
        "answers: " + (r.answers.empty() ? std::string("none") : HexBytes(r.answers, 32)) + "\n";
    if (r.impliedImageSize) {
        text += Format("the extra frame puts the end of the file at %u bytes\n",
                       static_cast<unsigned>(*r.impliedImageSize));
    }
    if (r.loaderExits > 0) {
        text +=
            Format("the loader ended %u times as the tool turned to another head\n", r.loaderExits);
    }
    if (r.imagesCompleted > 0) {
        text += Format("image: %zu bytes, sha256 %s\n", r.finishedImage.size(), r.sha256.c_str());
    } else {
        text += Format("image: incomplete, %zu bytes so far\n", r.image.size());
    }
    for (const std::string& problem : r.problems) text += "problem: " + problem + "\n";
    if (!r.lineError.empty()) text += "line error: " + r.lineError + "\n";
    return text;
}

HeadEngine::HeadEngine(HeadOptions options, Clock::time_point start)
    : options_(std::move(options)), start_(start), lastActivity_(start) {
    options_.log = nullptr;  // the engine only collects events; its owner passes them on
    report_.state = options_.startInLoader ? HeadState::Loader : HeadState::Normal;
    frame_.reserve(kFrameSize);
}

std::uint32_t HeadEngine::LineSpeed() const {
    return report_.state == HeadState::Normal ? options_.speed : kLoaderBaud;
}

void HeadEngine::SetFaults(const HeadFaults& faults) {
    options_.faults = faults;
    rejectUsed_ = failUsed_ = garbageUsed_ = withholdUsed_ = xoffUsed_ = silent_ = false;
    mergeUsed_ = unpromptedUsed_ = echoUsed_ = earlyDoneUsed_ = false;
    // A pause in progress ends at once: the tool must not stay held by a fault now gone.
    if (xonDue_ && !report_.xonSent) xonDue_ = Clock::time_point::min();
}

void HeadEngine::Note(const std::string& text, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::string line = Format("[%9.3f] ", seconds) + text;
    if (report_.events.size() < kMaxKeptEvents) {
        report_.events.push_back(line);
    } else {
        ++report_.eventsDropped;
    }
    newEvents_.push_back(std::move(line));
}

void HeadEngine::Problem(const std::string& text, Clock::time_point now) {
    report_.problems.push_back(text);
    Note("problem: " + text, now);
}

std::vector<std::string> HeadEngine::TakeNewEvents() {
    return std::exchange(newEvents_, {});
}

void HeadEngine::Receive(std::span<const std::uint8_t> bytes,
                         std::optional<std::uint32_t> toolSpeed, Clock::time_point now) {
    if (bytes.empty()) return;
    report_.bytesReceived += bytes.size();
    if (xonDue_ && !report_.xonSent) report_.bytesWhilePaused += bytes.size();
    lastActivity_ = now;
    if (toolSpeed && *toolSpeed != LineSpeed() && MayLeaveLoader()) {
        LeaveLoader(Format("bytes came at %u baud", static_cast<unsigned>(*toolSpeed)), now);
        skipped_.insert(skipped_.end(), pending_.begin(), pending_.end());
        pending_.clear();
        FlushSkipped(now);
    }
    if (toolSpeed && *toolSpeed != LineSpeed()) {
        // A real receiver would make garbage of bytes sent at another speed; they count as
        // noise, and break whatever was coming in.
        report_.noiseBytes += bytes.size();
        if (report_.state == HeadState::Loader) CountStrayGreetings(bytes, *toolSpeed, now);
        Note(Format("noise: %zu bytes sent at %u baud while the head listens at %u baud: %s",
                    bytes.size(), static_cast<unsigned>(*toolSpeed),
                    static_cast<unsigned>(LineSpeed()), HexBytes(bytes).c_str()),
             now);
        DropFrame(now, "noise");
        skipped_.insert(skipped_.end(), pending_.begin(), pending_.end());
        pending_.clear();
        FlushSkipped(now);
        report_.partialBytes = 0;
        return;
    }
    chunkSpeed_ = toolSpeed;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Process(now, false);
}

void HeadEngine::DropFrame(Clock::time_point now, const char* why) {
    if (!inFrame_) return;
    ++report_.incompleteFrames;
    Problem(Format("frame %u left incomplete (%zu of %zu bytes) and dropped after %s",
                   report_.frames + 1, frame_.size(), kFrameSize, why),
            now);
    inFrame_ = false;
    frame_.clear();
}

bool HeadEngine::MayLeaveLoader() const {
    return options_.leaveLoaderWhenDone && report_.state == HeadState::Loader && lastBlockStored_;
}

void HeadEngine::LeaveLoader(const std::string& why, Clock::time_point now) {
    // Called between steps (Receive), or from Process on a command: Process then deals with
    // the bytes after it itself, and pending_ must stay as it is.
    DropFrame(now, "the end of the loader");
    report_.state = HeadState::Normal;
    ++report_.loaderExits;
    Note(Format("image complete and %s: the loader ends, back in normal operation at %u baud",
                why.c_str(), static_cast<unsigned>(options_.speed)),
         now);
}

void HeadEngine::CountStrayGreetings(std::span<const std::uint8_t> bytes, std::uint32_t speed,
                                     Clock::time_point now) {
    const std::uint8_t greeting[] = {kGreetingByte, kGreetingByte};
    const auto at =
        std::search(bytes.begin(), bytes.end(), std::begin(greeting), std::end(greeting));
    if (at == bytes.end()) return;
    ++report_.strayGreetings;
    Note(Format("a greeting at %u baud, where the loader listens at %u baud only",
                static_cast<unsigned>(speed), static_cast<unsigned>(kLoaderBaud)),
         now);
}

void HeadEngine::FlushSkipped(Clock::time_point now) {
    if (skipped_.empty()) return;
    // Skipped in normal operation at a speed other than the loader's: never a greeting.
    if (report_.state == HeadState::Normal && chunkSpeed_ && *chunkSpeed_ != kLoaderBaud)
        CountStrayGreetings(skipped_, *chunkSpeed_, now);
    report_.skippedBytes += skipped_.size();
    Note(Format("skipped %zu bytes that begin no %s: %s", skipped_.size(),
                report_.state == HeadState::Normal ? "command" : "greeting or frame",
                HexBytes(skipped_).c_str()),
         now);
    skipped_.clear();
}

void HeadEngine::Process(Clock::time_point now, bool flush) {
    std::size_t pos = 0;
    while (pos < pending_.size()) {
        const std::span<const std::uint8_t> rest(pending_.data() + pos, pending_.size() - pos);
        if (report_.state == HeadState::Loader && inFrame_) {
            std::size_t take = std::min(kFrameSize - frame_.size(), rest.size());
            if (const auto mark = NextFrameMark()) take = std::min(take, *mark - frame_.size());
            frame_.insert(frame_.end(), rest.begin(), rest.begin() + static_cast<long>(take));
            pos += take;
            ActAtFrameMark(now);
            if (frame_.size() == kFrameSize) HandleFrame(now);
            continue;
        }
        PelcoFrame command;
        const Match pelco = MatchPelcoFrame(rest, &command);
        if (pelco == Match::Frame) {
            FlushSkipped(now);
            const HeadState before = report_.state;
            HandleCommand(command, rest.first(command.length), now);
            pos += command.length;
            if (report_.state != before && chunkSpeed_ && *chunkSpeed_ != LineSpeed() &&
                pos < pending_.size()) {
                // Sent along with the command at the old speed: noise to the loader's receiver.
                const std::span<const std::uint8_t> after(pending_.data() + pos,
                                                          pending_.size() - pos);
                report_.noiseBytes += after.size();
                CountStrayGreetings(after, *chunkSpeed_, now);
                Note(Format("noise: %zu bytes after the command, at the old speed: %s",
                            after.size(), HexBytes(after).c_str()),
                     now);
                pos = pending_.size();
            }
            continue;
        }
        if (pelco == Match::NeedMore && !flush) break;
        if (report_.state == HeadState::Loader) {
            if (rest[0] == kFrameStart) {
                FlushSkipped(now);
                inFrame_ = true;
                frame_.assign(1, rest[0]);
                ++pos;
                ActAtFrameMark(now);
                continue;
            }
            if (rest[0] == kGreetingByte) {
                if (rest.size() < 2 && !flush) break;
                if (rest.size() >= 2 && rest[1] == kGreetingByte) {
                    FlushSkipped(now);
                    HandleGreeting(now);
                    pos += 2;
                    continue;
                }
            }
        }
        // Resynchronisation: a byte that starts nothing the head knows is skipped on its own.
        skipped_.push_back(rest[0]);
        ++pos;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pos));
    FlushSkipped(now);
    report_.partialBytes = pending_.size() + (inFrame_ ? frame_.size() : 0);
}

std::optional<std::size_t> HeadEngine::NextFrameMark() const {
    const HeadFaults& f = options_.faults;
    const unsigned arriving = report_.frames + 1;
    std::optional<std::size_t> mark;
    auto consider = [&](bool on, std::size_t at) {
        if (on && at > frame_.size() && (!mark || at < *mark)) mark = at;
    };
    consider(f.xoffFrame == arriving && !xoffUsed_, f.xoffAfterBytes);
    consider(f.unpromptedFrame == arriving && !unpromptedUsed_, f.unpromptedAfterBytes);
    if (f.earlyDoneAfterBytes != 0 && !earlyDoneUsed_) {
        // Up to the flag byte first: only then is it known whether this is the last frame.
        const bool flagKnown = frame_.size() > kFlagAt;
        consider(!flagKnown || frame_[kFlagAt] != 0,
                 flagKnown ? f.earlyDoneAfterBytes : kFlagAt + 1);
    }
    return mark;
}

void HeadEngine::ActAtFrameMark(Clock::time_point now) {
    const HeadFaults& f = options_.faults;
    const unsigned arriving = report_.frames + 1;
    if (f.xoffFrame == arriving && !xoffUsed_ && frame_.size() == f.xoffAfterBytes) {
        QueueInOrder({now, {kXoff}});
        xoffUsed_ = true;
        report_.xoffSent = true;
        report_.xonSent = false;
        xonDue_ = now + f.xoffPause;
        Note(Format("XOFF after %zu bytes of frame %u; XON in %lld ms", frame_.size(), arriving,
                    static_cast<long long>(f.xoffPause.count())),
             now);
    }
    if (f.unpromptedFrame == arriving && !unpromptedUsed_ &&
        frame_.size() == f.unpromptedAfterBytes) {
        QueueInOrder({now, {f.unpromptedCode}});
        unpromptedUsed_ = true;
        report_.unprompted.push_back(f.unpromptedCode);
        Note(Format("unprompted %02x after %zu bytes of frame %u (fault)", f.unpromptedCode,
                    frame_.size(), arriving),
             now);
    }
    if (f.earlyDoneAfterBytes != 0 && !earlyDoneUsed_ && frame_.size() == f.earlyDoneAfterBytes &&
        frame_[kFlagAt] != 0) {
        QueueInOrder({now, {kDone}});
        earlyDoneUsed_ = true;
        silent_ = true;
        report_.unprompted.push_back(kDone);
        Note(Format("84 after %zu bytes of the last frame (frame %u), then silence (fault)",
                    frame_.size(), arriving),
             now);
    }
}

void HeadEngine::HandleCommand(const PelcoFrame& frame, std::span<const std::uint8_t> bytes,
                               Clock::time_point now) {
    CommandSeen seen{frame, {bytes.begin(), bytes.end()}, chunkSpeed_, false};
    std::string verdict;
    if (frame.IsStartUpgrade() && MayLeaveLoader()) {
        LeaveLoader(Format("a start-upgrade command for address %u came", frame.address), now);
    }
    if (report_.state == HeadState::Normal && chunkSpeed_ && *chunkSpeed_ != options_.speed) {
        // Only after the loader ended on this very command: it came at the loader's speed.
        verdict = Format("ignored: it came at the loader's speed, this head listens at %u baud",
                         static_cast<unsigned>(options_.speed));
    } else if (report_.state != HeadState::Normal) {
        verdict = "ignored: the loader is running";
    } else if (frame.protocol != options_.protocol) {
        verdict = Format("ignored: this head speaks %s", ProtocolName(options_.protocol));
    } else if (frame.address != options_.address) {
        verdict = Format("ignored: this head has address %u", options_.address);
    } else if (!frame.IsStartUpgrade()) {
        verdict = "ignored: not the start-upgrade command";
    } else {
        seen.accepted = true;
        verdict = Format("start-upgrade: the loader now listens at %u baud",
                         static_cast<unsigned>(kLoaderBaud));
    }
    Note(Format("%s command for address %u at %s: %s: %s", ProtocolName(frame.protocol),
                frame.address, SpeedText(chunkSpeed_).c_str(), HexBytes(bytes).c_str(),
                verdict.c_str()),
         now);
    report_.commands.push_back(std::move(seen));
    if (report_.commands.back().accepted) report_.state = HeadState::Loader;
}

void HeadEngine::HandleGreeting(Clock::time_point now) {
    ++report_.greetings;
    const HeadFaults& f = options_.faults;
    std::uint8_t code = kConnected;
    if (f.failAt == kGreetingPoint && !failUsed_) {
        failUsed_ = true;
        code = f.failCode;
    }
    Note(Format("greeting 3f 3f (%u)", report_.greetings), now);
    SendAnswer(kGreetingPoint, code, now);
}

void HeadEngine::HandleFrame(Clock::time_point now) {
    inFrame_ = false;
    const unsigned number = ++report_.frames;
    const LoaderFrameFields fields = ReadLoaderFrame(frame_);
    if (previousFrameAddress_ == fields.loadAddress) ++report_.resends;
    previousFrameAddress_ = fields.loadAddress;
    const std::uint32_t offset = fields.loadAddress - kLoadBase;
    const auto blockSize = static_cast<std::uint32_t>(kFrameDataSize);
    std::string description =
        Format("frame %u: load address %08x, last-block flag %u, length %04x, sum %06x %s", number,
               fields.loadAddress, fields.flagByte, fields.lengthField, fields.carriedSum,
               fields.SumOk() ? "ok" : Format("(head computes %06x)", fields.computedSum).c_str());

    enum class Verdict { Store, Extra, Reject, Bad };
    Verdict verdict = Verdict::Bad;
    std::uint8_t code = kFailed;
    if (!fields.SumOk()) {
        ++report_.checksumErrors;
        verdict = Verdict::Reject;
        code = kChecksumError;
    } else if (fields.lengthField != kLengthField) {
        Problem(Format("frame %u: length field %04x", number, fields.lengthField), now);
    } else if (fields.loadAddress < kLoadBase) {
        Problem(Format("frame %u: load address %08x below the image", number, fields.loadAddress),
                now);
    } else if (offset == 0 || (!lastBlockStored_ && offset == report_.image.size())) {
        verdict = Verdict::Store;
        code = fields.lastBlock ? kDone : kBlockOk;
    } else if (lastBlockStored_ && offset > lastBlockOffset_ &&
               offset - lastBlockOffset_ <= blockSize) {
        // After the last block a tool that was told 0x82 sends one frame more, from the end of
        // its file: its load address gives the file's true length.
        verdict = Verdict::Extra;
        code = kDone;
    } else {
        Problem(Format("frame %u: load address %08x, expected %08x", number, fields.loadAddress,
                       static_cast<unsigned>(kLoadBase + report_.image.size())),
                now);
    }
    if (verdict == Verdict::Bad) ++report_.badFrames;

    const HeadFaults& f = options_.faults;
    if (f.failAt == number && !failUsed_) {
        failUsed_ = true;
        code = f.failCode;
        verdict = Verdict::Reject;
        description += " (fault: fail)";
    } else if (f.rejectFrame == number && !rejectUsed_) {
        rejectUsed_ = true;
        code = f.rejectCode;
        verdict = Verdict::Reject;
        description += " (fault: reject)";
    } else if (code == kDone && f.neverDone) {
        code = kBlockOk;
        description += " (fault: 82 in place of 84, always)";
    } else if (verdict == Verdict::Store && code == kDone && f.withholdDone && !withholdUsed_) {
        withholdUsed_ = true;
        code = kBlockOk;
        description += " (fault: 82 in place of 84)";
    }

    const std::span<const std::uint8_t> data(frame_.data() + kDataAt, kFrameDataSize);
    if (verdict == Verdict::Store) {
        if (offset == 0 && (!report_.image.empty() || lastBlockStored_)) {
            Note(Format("a new image begins at load address %08x", kLoadBase), now);
        }
        if (offset == 0) {
            report_.image.clear();
            lastBlockStored_ = false;
        }
        report_.image.insert(report_.image.end(), data.begin(), data.end());
        ++report_.framesAccepted;
        if (fields.lastBlock) {
            lastBlockStored_ = true;
            lastBlockOffset_ = offset;
        }
    } else if (verdict == Verdict::Extra) {
        ++report_.extraFrames;
        report_.impliedImageSize = offset;
        const bool allFill =
            std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == kFill; });
        description += Format(" (extra frame after the last block: the file is %u bytes)",
                              static_cast<unsigned>(offset));
        if (!allFill || !fields.lastBlock) {
            Problem(Format("frame %u: extra frame carries %s", number,
                           allFill ? "no last-block flag" : "data other than fill"),
                    now);
        }
    }
    Note(description, now);
    frame_.clear();
    // A head that never says done never finishes its image either.
    if (verdict == Verdict::Store && fields.lastBlock && !f.neverDone) CompleteImage(now);
    SendAnswer(number, code, now);
}

void HeadEngine::CompleteImage(Clock::time_point now) {
    const std::vector<std::uint8_t>& image = report_.image;
    std::size_t size = image.size();
    if (options_.sizeRule == ImageSizeRule::ExpectSize) {
        const std::size_t expected = options_.expectSize;
        if (expected > image.size()) {
            Problem(Format("image of %zu bytes is shorter than the expected %zu", image.size(),
                           expected),
                    now);
        } else {
            size = expected;
            if (!std::all_of(image.begin() + static_cast<long>(size), image.end(),
                             [](std::uint8_t b) { return b == kFill; })) {
                Problem(Format("bytes past the expected %zu are not all fill", expected), now);
            }
            // Even an empty file travels in one frame.
            const std::size_t blocksNeeded =
                std::max<std::size_t>(1, (expected + kFrameDataSize - 1) / kFrameDataSize);
            if (image.size() / kFrameDataSize != blocksNeeded) {
                Problem(Format("%zu blocks received for an image of %zu bytes",
                               image.size() / kFrameDataSize, expected),
                        now);
            }
        }
    } else if (options_.sizeRule == ImageSizeRule::TrimFill) {
        while (size > lastBlockOffset_ && image[size - 1] == kFill) --size;
    }
    report_.finishedImage.assign(image.begin(), image.begin() + static_cast<long>(size));
    report_.sha256 = Sha256::HexOf(report_.finishedImage);
    ++report_.imagesCompleted;
    Note(Format("image complete: %zu bytes, sha256 %s", size, report_.sha256.c_str()), now);
    if (!options_.outputPath.empty()) {
        std::ofstream out(options_.outputPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(report_.finishedImage.data()),
                  static_cast<std::streamsize>(report_.finishedImage.size()));
        out.close();
        if (out) {
            Note("image written to " + options_.outputPath, now);
        } else {
            Problem("could not write the image to " + options_.outputPath, now);
        }
    }
}

void HeadEngine::SendAnswer(unsigned point, std::uint8_t code, Clock::time_point now) {
    const HeadFaults& f = options_.faults;
    if (f.silentFrom && (point == kGreetingPoint ? *f.silentFrom == kGreetingPoint
                                                 : point >= *f.silentFrom && *f.silentFrom != 0)) {
        silent_ = true;
    }
    const bool garbage = f.garbageAt == point && !garbageUsed_;
    if (garbage) garbageUsed_ = true;
    const bool merge = f.mergeAt == point && !mergeUsed_;
    if (merge) mergeUsed_ = true;
    Clock::time_point answerAt = now;
    if (garbage && f.garbageBeforeAnswer) {
        QueueInOrder({now, f.garbageBytes});
        answerAt = now + f.garbageGap;
    }
    if (silent_) {
        Note(Format("silent: no answer to the %s (it would have been %02x)",
                    PointName(point).c_str(), code),
             now);
    } else {
        std::vector<std::uint8_t> bytes = {code};
        if (merge) {
            bytes.insert(f.mergeBefore ? bytes.begin() : bytes.end(), f.mergeBytes.begin(),
                         f.mergeBytes.end());
        }
        QueueInOrder({answerAt, bytes});
        report_.answers.push_back(code);
        Note(Format("answer %02x to the %s%s", code, PointName(point).c_str(),
                    merge ? Format(", in one write: %s (fault)", HexBytes(bytes).c_str()).c_str()
                          : ""),
             now);
        if (point != kGreetingPoint && f.echoFrame == point && !echoUsed_) {
            echoUsed_ = true;
            QueueInOrder({answerAt + f.echoDelay, {code}});
            report_.echoes.push_back(code);
            Note(Format("answer %02x to the %s sent again in %lld ms (fault)", code,
                        PointName(point).c_str(), static_cast<long long>(f.echoDelay.count())),
                 now);
        }
    }
    if (garbage && !f.garbageBeforeAnswer) {
        QueueInOrder({now + f.garbageGap, f.garbageBytes});
    }
    if (garbage) {
        Note(Format("garbage %s %s the answer", HexBytes(f.garbageBytes).c_str(),
                    f.garbageBeforeAnswer ? "before" : "after"),
             now);
    }
}

void HeadEngine::QueueInOrder(Output output) {
    const auto at = std::find_if(outputs_.begin(), outputs_.end(),
                                 [&](const Output& o) { return o.due > output.due; });
    outputs_.insert(at, std::move(output));
}

std::optional<Clock::time_point> HeadEngine::SilenceDeadline() const {
    if (options_.frameTimeout.count() == 0) return std::nullopt;
    if (!inFrame_ && pending_.empty()) return std::nullopt;
    if (xonDue_ && !report_.xonSent) return std::nullopt;  // the head itself holds the tool back
    return lastActivity_ + options_.frameTimeout;
}

std::optional<Clock::time_point> HeadEngine::NextDeadline() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](std::optional<Clock::time_point> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    if (!outputs_.empty()) consider(outputs_.front().due);
    if (xonDue_ && !report_.xonSent) consider(xonDue_);
    consider(SilenceDeadline());
    return next;
}

void HeadEngine::Advance(Clock::time_point now) {
    if (xonDue_ && !report_.xonSent && now >= *xonDue_) {
        QueueInOrder({now, {kXon}});
        report_.xonSent = true;
        lastActivity_ = now;
        Note(Format("XON (%llu bytes came during the pause)",
                    static_cast<unsigned long long>(report_.bytesWhilePaused)),
             now);
    }
    if (const auto deadline = SilenceDeadline(); deadline && now >= *deadline) {
        // The frame is lost; bytes held back because they might begin a command or greeting
        // are looked at once more without waiting for the rest.
        DropFrame(now, "silence");
        Process(now, true);
    }
}

std::vector<std::vector<std::uint8_t>> HeadEngine::TakeDueWrites(Clock::time_point now) {
    std::vector<std::vector<std::uint8_t>> writes;
    while (!outputs_.empty() && outputs_.front().due <= now) {
        std::vector<std::uint8_t>& bytes = outputs_.front().bytes;
        report_.written.insert(report_.written.end(), bytes.begin(), bytes.end());
        report_.writes.push_back(bytes);
        writes.push_back(std::move(bytes));
        outputs_.pop_front();
    }
    return writes;
}

std::vector<std::uint8_t> HeadEngine::TakeDueOutput(Clock::time_point now) {
    std::vector<std::uint8_t> bytes;
    for (const auto& write : TakeDueWrites(now))
        bytes.insert(bytes.end(), write.begin(), write.end());
    return bytes;
}

}  // namespace head
