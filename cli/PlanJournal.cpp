#include "cli/PlanJournal.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/Json.h"

namespace flash {

JournalDone ReadJournal(const std::string& text, const std::string& path) {
    JournalDone journal;
    std::size_t start = 0;
    unsigned line = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view content(text.data() + start, end - start);
        ++line;
        start = end + 1;
        if (content.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        const auto value = nlohmann::json::parse(content, nullptr, false);
        const bool good = value.is_object() && value.contains("port") &&
                          value["port"].is_string() && value.contains("address") &&
                          value["address"].is_number_unsigned() && value.contains("sha256") &&
                          value["sha256"].is_string() && value.contains("result") &&
                          value["result"].is_string();
        if (!good) {
            journal.warnings.push_back("The journal " + path + " has a line " +
                                       std::to_string(line) +
                                       " that is cut off or no journal line; it is left out.");
            continue;
        }
        if (value["result"] == "done")
            journal.done.insert({value["port"].get<std::string>(), value["address"].get<unsigned>(),
                                 value["sha256"].get<std::string>()});
    }
    return journal;
}

std::string UtcNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    static std::mutex lock;  // gmtime's result is shared
    std::lock_guard guard(lock);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

PlanJournal::PlanJournal(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "a+b");
    if (!file_) {
        problem_ = "The journal " + path + " cannot be opened: " + std::strerror(errno) + ".";
        return;
    }
    // A line cut off by a crash is ended, so that the next line stays a line of its own.
    if (std::fseek(file_, -1, SEEK_END) == 0 && std::fgetc(file_) != '\n') {
        std::fseek(file_, 0, SEEK_END);
        std::fputc('\n', file_);
    }
}

PlanJournal::~PlanJournal() {
    if (file_) std::fclose(file_);
}

void PlanJournal::Note(const JournalEntry& entry) {
    JsonObject line;
    const HeadResult& r = entry.result;
    line.Add("row", entry.row->line)
        .Add("name", entry.row->name)
        .Add("port", entry.row->port)
        .Add("address", unsigned{entry.row->address})
        .Add("image", entry.row->path)
        .Add("sha256", entry.sha256)
        .Add("result", r.result)
        .Add("reason", ReasonToken(r))
        .Add("frames", r.frames)
        .Add("resends", r.resends)
        .Add("started", entry.started)
        .Add("ended", entry.ended)
        .AddSeconds("seconds", r.seconds);
    std::lock_guard lock(mutex_);
    if (!file_) return;
    // A line cut off by a crash before it gets here is read as no line on --resume: the line
    // before it always ends.
    std::fprintf(file_, "%s\n", line.Text().c_str());
    int error = std::fflush(file_) == 0 ? 0 : (errno ? errno : EIO);
    if (!error) error = SyncToDisk(file_);
    if (error && problem_.empty())
        problem_ = "The journal " + path_ + " could not be written: " + std::strerror(error) + ".";
}

}  // namespace flash
