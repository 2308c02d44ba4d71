// kavlet-flash --plan as the operator runs it: the built program as a child process against
// virtual heads on pseudo-terminals, each port named by a link that a later run can point at
// new heads. Each run is checked for its exit status, its summary, its journal, and what each
// head holds.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/cli_support.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tests/support/TextPattern.h"
#include "tools/head/Sha256.h"
#include "tools/head/VirtualBus.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using cli_test::ChildResult;

namespace {

constexpr auto kRunLimit = 120s;

struct Head {
    unsigned address;
    std::size_t imageSize;
    std::function<void(head::HeadOptions&)> change = {};
};

class CliPlan : public testing::Test {
  protected:
    // A bus of heads behind the link named port (made or pointed anew).
    void Bus(const std::string& port, const std::vector<Head>& heads) {
        std::vector<head::HeadOptions> options;
        for (const Head& h : heads) {
            head::HeadOptions& o = options.emplace_back();
            o.address = h.address;
            o.sizeRule = head::ImageSizeRule::ExpectSize;
            o.expectSize = static_cast<std::uint32_t>(h.imageSize);
            if (h.change) h.change(o);
        }
        std::string error;
        auto& bus = buses[port];
        if (bus) bus->Stop();
        bus = head::VirtualBus::CreatePty(options, &error);
        ASSERT_TRUE(bus) << error;
        const std::string link = Port(port);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(bus->SlavePath(), link);
        bus->Start();
    }
    std::string Port(const std::string& port) { return folder.File(port); }
    void Write(const std::string& name, const Bytes& bytes) {
        std::ofstream(folder.File(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void WritePlan(const std::string& text) { std::ofstream(folder.File("site.csv")) << text; }
    std::vector<std::string> Arguments(std::vector<std::string> more = {}) {
        std::vector<std::string> arguments = {"--plan",           folder.File("site.csv"),
                                              "--journal",        folder.File("site.journal"),
                                              "--answer-timeout", "5"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }
    // The summary's row for a line of the plan: its result column.
    static std::string ResultOf(const std::string& out, unsigned line) {
        // Built by appending: GCC 12 at -O3 sees a false overlap in "literal" + std::string.
        std::string pattern(1, '\n');
        pattern += std::to_string(line);
        pattern += " [^\\n]*? +[0-9]+ +((done|failed|skipped)( \\([a-z -]+\\))?)";
        const auto row = text_pattern::First(out, pattern);
        return row.empty() ? "(no row)" : row[1];
    }
    bool Holds(const std::string& port, unsigned address, const Bytes& image) {
        return buses.at(port)->Report(address).finishedImage == image;
    }
    // Never switched into its loader (it hears the commands for its neighbours on a bus).
    bool Untouched(const std::string& port, unsigned address) {
        const head::HeadReport r = buses.at(port)->Report(address);
        return r.finishedImage.empty() && std::none_of(r.commands.begin(), r.commands.end(),
                                                       [](const auto& c) { return c.accepted; });
    }

    std::string Journal() {
        std::ifstream in(folder.File("site.journal"), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The addresses the journal has as done (its whole lines only).
    std::set<unsigned> DoneInJournal() {
        std::set<unsigned> done;
        std::istringstream lines(Journal());
        for (std::string line; std::getline(lines, line);) {
            // A line being written is no object yet.
            const auto members = cli_test::JsonReader::Object(line);
            if (members && members->count("result") && members->at("result") == "done")
                done.insert(static_cast<unsigned>(std::stoul(members->at("address"))));
        }
        return done;
    }
    // Waits, woken by each change in the folder, until the journal has address as done.
    bool WaitForDone(unsigned address, std::chrono::milliseconds limit) {
        const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (watch < 0 || inotify_add_watch(watch, folder.File("").c_str(),
                                           IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE) < 0)
            return false;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool done = false;
        while (!(done = DoneInJournal().count(address) > 0)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd{watch, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) > 0) {
                char events[4096];
                while (read(watch, events, sizeof events) > 0) {
                }
            }
        }
        close(watch);
        return done;
    }

    TempDir folder{"kavlet-plan"};
    std::map<std::string, std::unique_ptr<head::VirtualBus>> buses;
};

TEST_F(CliPlan, PortsRunAtOnceAFailingPortSkipsOnlyItsOwnRowsAndResumeRunsTheRest) {
    const Bytes a = RandomImage(5000, 1), b = RandomImage(20000, 2);
    Write("a.bin", a);
    Write("b 图.bin", b);
    Bus("bus", {{1, a.size()}, {2, a.size(), [](auto& o) { o.faults.failAt = 1; }}});
    const auto slow = [](head::HeadOptions& o) { o.paceBaud = 115200; };
    Bus("lost", {{5, b.size(), slow}, {6, a.size()}});
    Bus("good", {{9, b.size()}});
    WritePlan(
        "name,port,address,protocol,speed,image\n"
        "东门," +
        Port("bus") +
        ",1,pelco-d,2400,a.bin\n"
        "\"west, 2\"," +
        Port("bus") +
        ",2,pelco-d,2400,a.bin\n"
        "# the far mast\n" +
        "mast," + Port("lost") +
        ",5,pelco-d,2400,b 图.bin\n"
        "mast 2," +
        Port("lost") +
        ",6,pelco-d,2400,a.bin\n"
        "gate," +
        Port("good") + ",9,pelco-d,2400,b 图.bin\n");
    {
        auto child = cli_test::StartFlash(Arguments());
        ASSERT_TRUE(child.Started());
        // The far mast's adapter is pulled once its head took a block.
        ASSERT_TRUE(buses.at("lost")->WaitFor(
            5, [](const head::HeadReport& r) { return r.framesAccepted >= 1; }, kRunLimit));
        buses.at("lost").reset();
        const ChildResult r = child.Wait(kRunLimit);
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        EXPECT_EQ(ResultOf(r.out, 2), "done") << r.out;
        EXPECT_EQ(ResultOf(r.out, 3), "failed (head-failed)") << r.out;
        EXPECT_EQ(ResultOf(r.out, 5), "failed (port)") << r.out;
        EXPECT_EQ(ResultOf(r.out, 6), "skipped (port)") << r.out;
        EXPECT_EQ(ResultOf(r.out, 7), "done") << r.out;
        EXPECT_NE(r.out.find("SHA-256 " + head::Sha256::HexOf(b)), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(Port("bus") + ": head 2 answered 86"), std::string::npos) << r.err;
        EXPECT_TRUE(Holds("bus", 1, a));
        EXPECT_TRUE(Holds("good", 9, b));
        EXPECT_TRUE(buses.at("bus")->Report(2).finishedImage.empty());
    }
    // Again with the journal: new heads everywhere; only the rows not done run.
    Bus("bus", {{1, a.size()}, {2, a.size()}});
    Bus("lost", {{5, b.size()}, {6, a.size()}});
    Bus("good", {{9, b.size()}});
    const ChildResult r = cli_test::RunFlash(Arguments({"--resume"}), kRunLimit);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(ResultOf(r.out, 2), "skipped (done before)") << r.out;
    EXPECT_EQ(ResultOf(r.out, 7), "skipped (done before)") << r.out;
    for (const unsigned line : {3u, 5u, 6u}) EXPECT_EQ(ResultOf(r.out, line), "done") << r.out;
    EXPECT_TRUE(Untouched("bus", 1));
    EXPECT_TRUE(Untouched("good", 9));
    EXPECT_TRUE(Holds("bus", 2, a));
    EXPECT_TRUE(Holds("lost", 5, b));
    EXPECT_TRUE(Holds("lost", 6, a));
}

TEST_F(CliPlan, KilledMidPlanResumeFlashesWhatIsNotDoneAndNothingThatIs) {
    const Bytes a = RandomImage(5000, 3), b = RandomImage(100000, 4), c = RandomImage(60000, 5);
    Write("a.bin", a);
    Write("b.bin", b);
    Write("c.bin", c);
    const auto paced = [](head::HeadOptions& o) { o.paceBaud = 115200; };
    Bus("near", {{1, a.size()}, {2, c.size(), paced}});
    Bus("far", {{5, b.size(), paced}, {6, a.size()}});
    WritePlan("port,address,protocol,speed,image\n" + Port("near") + ",1,pelco-d,2400,a.bin\n" +
              Port("far") + ",5,pelco-d,2400,b.bin\n" + Port("near") + ",2,pelco-d,2400,c.bin\n" +
              Port("far") + ",6,pelco-d,2400,a.bin\n");
    const std::map<unsigned, std::pair<std::string, unsigned>> rows = {
        {1, {"near", 2}}, {5, {"far", 3}}, {2, {"near", 4}}, {6, {"far", 5}}};
    const std::map<unsigned, const Bytes*> images = {{1, &a}, {5, &b}, {2, &c}, {6, &a}};
    std::set<unsigned> done;
    {
        auto child = cli_test::StartFlash(Arguments({"--jobs", "2"}));
        ASSERT_TRUE(child.Started());
        // Killed with one row in the journal and the far head part-way through its image.
        ASSERT_TRUE(buses.at("far")->WaitFor(
            5, [](const head::HeadReport& r) { return r.framesAccepted >= 1; }, kRunLimit));
        ASSERT_TRUE(WaitForDone(1, kRunLimit)) << Journal();
        child.Signal(SIGKILL);
        EXPECT_EQ(child.Wait(kRunLimit).exitStatus, -1);
        done = DoneInJournal();
        EXPECT_EQ(done.count(6), 0u) << "the far port's second row waits for its first";
    }
    // Had the kill come in the middle of a line, the journal ends in part of one.
    const std::string journal = Journal();
    const std::string lastLine = journal.substr(journal.rfind('\n', journal.size() - 2) + 1);
    std::ofstream(folder.File("site.journal"), std::ios::app) << lastLine.substr(0, 30);
    Bus("near", {{1, a.size()}, {2, c.size()}});
    Bus("far", {{5, b.size()}, {6, a.size()}});
    const ChildResult r = cli_test::RunFlash(Arguments({"--resume"}), kRunLimit);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("that is cut off or no journal line; it is left out."), std::string::npos)
        << r.err;
    for (const auto& [address, where] : rows) {
        SCOPED_TRACE("head " + std::to_string(address));
        const auto& [port, line] = where;
        if (done.count(address)) {
            EXPECT_EQ(ResultOf(r.out, line), "skipped (done before)") << r.out;
            EXPECT_TRUE(Untouched(port, address));
        } else {
            EXPECT_EQ(ResultOf(r.out, line), "done") << r.out;
            EXPECT_TRUE(Holds(port, address, *images.at(address)));
        }
    }
}

}  // namespace
