// kavlet-flash --plan as the operator runs it: the built program as a child process against
// virtual heads on pseudo-terminals, each port named by a link that a later run can point at
// new heads. Each run is checked for its exit status, its summary, its journal, and what each
// head holds.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/cli_support.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
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
        std::smatch m;
        const std::regex row("\n" + std::to_string(line) +
                             " [^\\n]*? +[0-9]+ +((done|failed|skipped)( \\([a-z -]+\\))?)");
        return std::regex_search(out, m, row) ? m[1].str() : "(no row)";
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
        cli_test::Child child(Arguments());
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

}  // namespace
