// The journal of a plan run (--journal FILE): one JSON line appended and flushed to the disk as
// each row ends, and, for --resume, what an earlier run's journal says was done.
//
// Threads: Note from any port's thread (the journal keeps its own lock).
#pragma once

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/FlashEvents.h"
#include "cli/PlanFile.h"

namespace flash {

// One row's end, as the journal notes it.
struct JournalEntry {
    const PlanRow* row = nullptr;
    std::string sha256;  // of the row's image
    HeadResult result;
    std::string started, ended;  // UTC, as 2024-05-01T12:00:00Z
};

// What an earlier journal holds: the heads done, each by its port, address and image.
struct JournalDone {
    std::set<std::tuple<std::string, unsigned, std::string>> done;  // port, address, SHA-256
    std::vector<std::string> warnings;  // one sentence a line that is not a journal line
    bool Has(const PlanRow& row, const std::string& sha256) const {
        return done.count({row.port, row.address, sha256}) > 0;
    }
};

// Reads a journal's text (named path in the warnings); a line cut off by a crash or otherwise
// not a journal line is left out with a warning.
JournalDone ReadJournal(const std::string& text, const std::string& path);

// "2024-05-01T12:00:00Z": the time now, in UTC.
std::string UtcNow();

// Writes fsync-ed lines: each one is on the disk when Note returns.
class PlanJournal {
  public:
    // Opens path to append to; Problem says why it could not be.
    explicit PlanJournal(const std::string& path);
    ~PlanJournal();
    PlanJournal(const PlanJournal&) = delete;
    PlanJournal& operator=(const PlanJournal&) = delete;

    std::string Problem() const { return problem_; }
    // Appends the line for entry; a failure is kept for Problem (the first one counts).
    void Note(const JournalEntry& entry);

  private:
    const std::string path_;
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string problem_;
};

// Flushes to the disk what was written to file: 0, or the errno of the failure. One
// implementation a platform: JournalSyncPosix.cpp, JournalSyncWin32.cpp.
int SyncToDisk(std::FILE* file);

}  // namespace flash
