// The plan file of kavlet-flash --plan, as a table: good plans and what they give, and each
// kind of wrong cell with its line and column.
#include <gtest/gtest.h>

#include "cli/PlanFile.h"
#include "cli/PlanJournal.h"

namespace {

#ifdef _WIN32
constexpr const char* kPort = "COM3";
constexpr const char* kOtherPort = "COM4";
#else
constexpr const char* kPort = "/dev/ttyUSB0";
constexpr const char* kOtherPort = "/dev/ttyUSB1";
#endif

std::string Fill(std::string text) {
    for (const auto& [mark, port] : {std::pair{"@P", kPort}, std::pair{"@Q", kOtherPort}})
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, 2, port);
    return text;
}

// A row read: line, name, port, address, protocol index, speed, path.
struct Row {
    unsigned line;
    std::string name, port;
    unsigned address, protocol;
    std::uint32_t speed;
    std::string path;
};

struct GoodCase {
    const char* name;
    std::string text;
    std::vector<Row> rows;
};

TEST(PlanFile, GoodPlansGiveTheirRowsInOrder) {
    const GoodCase cases[] = {
        {"plain",
         "port,address,protocol,speed,image\n@P,1,pelco-d,2400,a.bin\n@P,2,pelco-p,9600,b.bin\n",
         {{2, "", "@P", 1, 1, 2400, "site/a.bin"}, {3, "", "@P", 2, 0, 9600, "site/b.bin"}}},
        {"columns in any order, a name, comments and blank lines",
         "# the east side\n\nimage,name,speed,protocol,address,port\n# gate\n"
         "fw.bin,Gate,4800,pelco-d,7,@P\n\n/abs/fw.bin,,2400,pelco-d,7,@Q\n",
         {{5, "Gate", "@P", 7, 1, 4800, "site/fw.bin"}, {7, "", "@Q", 7, 1, 2400, "/abs/fw.bin"}}},
        {"byte order mark, CR LF, quoted cells with commas, quotes and a line end",
         "\xEF\xBB\xBFname,port,address,protocol,speed,image\r\n"
         "\"Gate, \"\"east\"\"\",@P,1,pelco-d,2400,\"fw, new.bin\"\r\n"
         "\"two\r\nlines\",@P,2,pelco-d,2400,fw.bin\r\n"
         " spaced , @P , 3 , pelco-d , 2400 , fw.bin \r\n",
         {{2, "Gate, \"east\"", "@P", 1, 1, 2400, "site/fw, new.bin"},
          {3, "two\r\nlines", "@P", 2, 1, 2400, "site/fw.bin"},
          {5, "spaced", "@P", 3, 1, 2400, "site/fw.bin"}}},
        {"Chinese labels and paths, no line end at the end",
         "name,port,address,protocol,speed,image\n东门云台,@P,1,pelco-d,2400,固件/新版.bin",
         {{2, "东门云台", "@P", 1, 1, 2400, "site/固件/新版.bin"}}},
    };
    for (const GoodCase& c : cases) {
        SCOPED_TRACE(c.name);
        const flash::Plan plan = flash::ReadPlan(Fill(c.text), "site/plan.csv");
        EXPECT_TRUE(plan.problems.empty()) << testing::PrintToString(plan.problems);
        ASSERT_EQ(plan.rows.size(), c.rows.size());
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            const flash::PlanRow& got = plan.rows[i];
            const Row& want = c.rows[i];
            EXPECT_EQ(got.line, want.line);
            EXPECT_EQ(got.name, want.name);
            EXPECT_EQ(got.port, Fill(want.port));
            EXPECT_EQ(got.address, want.address);
            EXPECT_EQ(got.protocolIndex, want.protocol);
            EXPECT_EQ(got.speed, want.speed);
            EXPECT_EQ(got.path, want.path);
        }
    }
}

struct BadCase {
    std::string text;
    std::vector<std::string> problems;  // each in full, in order
};

TEST(PlanFile, EachWrongCellIsToldWithItsLineAndColumn) {
    const std::string header = "port,address,protocol,speed,image\n";
    const BadCase cases[] = {
        {"", {"p.csv: the plan has no header line (port,address,protocol,speed,image)."}},
        {header, {"p.csv: the plan names no head: it has a header only."}},
        {"port,address,protocol,image\n@P,1,pelco-d,a\n",
         {"p.csv:1: the header names no column \"speed\"."}},
        {"port,address,protocol,speed,image,colour,port\n",
         {"p.csv:1: the column \"colour\" is unknown (port, address, protocol, speed, image, "
          "name).",
          "p.csv:1: the column \"port\" is named twice."}},
        {header + "# a comment\n@P,1,pelco-d,9601,a.bin\n",
         {"p.csv:3: column speed: the speed \"9601\" is not one of 2400, 4800, 9600, 19200, "
          "38400, 57600, 115200, 128000, 256000, 921600 baud."}},
        {header + "@P,0,pelco-x,2400,a.bin\n",
         {"p.csv:2: column address: the address \"0\" is not a number from 1 to 255 or a range "
          "of them such as 5-8.",
          "p.csv:2: column protocol: the protocol \"pelco-x\" is unknown: give pelco-d or "
          "pelco-p."}},
        {header + "@P,1-3,pelco-d,2400,a.bin\n",
         {"p.csv:2: column address: \"1-3\" names 3 heads; a row names one head."}},
        {header + ",1,pelco-d,2400,\n",
         {"p.csv:2: column port: no port is named.", "p.csv:2: column image: no image is named."}},
        {header + "@P,1,pelco-d,2400\n", {"p.csv:2: 4 cells, but the header names 5 columns."}},
        {header + "@P,1,pelco-d,2400,a.bin\n@Q,1,pelco-d,2400,a.bin\n\n@P,1,pelco-p,9600,b.bin\n",
         {"p.csv:5: column address: the port @P and the address 1 are named on line 2 "
          "already."}},
        {header + "@P,1,pelco-d,2400,\"a.bin\n@P,2,pelco-d,2400,b.bin\n",
         {"p.csv:2: a quoted cell is not closed before the end of the file."}},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.text);
        const flash::Plan plan = flash::ReadPlan(Fill(c.text), "p.csv");
        std::vector<std::string> want;
        for (const std::string& p : c.problems) want.push_back(Fill(p));
        EXPECT_EQ(plan.problems, want);
        EXPECT_TRUE(plan.rows.empty()) << "a plan with a problem gives no row to run";
    }
}

TEST(PlanFile, APortNameThatIsNoPortIsToldInTheCommandLinesWords) {
    const flash::Plan plan =
        flash::ReadPlan("port,address,protocol,speed,image\nttyUSB0,1,pelco-d,2400,a\n", "p.csv");
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_TRUE(plan.problems[0].starts_with("p.csv:2: column port: the port \"ttyUSB0\" is "))
        << plan.problems[0];
}

// What --resume reads from an earlier journal: the heads done, and a warning for each line that
// is no journal line (above all the last one, cut off when the run was killed mid-write).
TEST(PlanJournal, ALineCutOffOrForeignIsLeftOutWithAWarningNeverFatal) {
    const std::string done1 =
        R"({"row":2,"port":"@P","address":1,"sha256":"aa","result":"done","reason":""})";
    const std::string done2 =
        R"({"row":3,"port":"@Q","address":7,"sha256":"bb","result":"done","reason":""})";
    const std::string failed =
        R"({"row":4,"port":"@P","address":2,"sha256":"aa","result":"failed","reason":"port"})";
    using Done = std::set<std::tuple<std::string, unsigned, std::string>>;
    const Done one = {{"@P", 1, "aa"}}, both = {{"@P", 1, "aa"}, {"@Q", 7, "bb"}};
    struct Case {
        std::string text;
        Done done;
        std::vector<unsigned> warnedLines;
    } cases[] = {
        {done1 + "\n" + failed + "\n", one, {}},
        {done1 + "\r\n\n  \n" + done2 + "\r\n", both, {}},
        // Killed mid-write: the last line has no end and is cut short anywhere.
        {done1 + "\n" + done2.substr(0, 40), one, {2}},
        {done1 + "\n" + done2.substr(0, done2.size() - 1), one, {2}},
        // The next run ended the cut-off line before appending its own.
        {done1 + "\n" + done2.substr(0, 25) + "\n" + done2 + "\n", both, {2}},
        {"{\"port\":\"@P\",\"address\":\"1\",\"sha256\":\"aa\",\"result\":\"done\"}\nnot json\n" +
             done2 + "\n",
         {{"@Q", 7, "bb"}},
         {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const flash::JournalDone journal = flash::ReadJournal(Fill(c.text), "j.log");
        Done want;
        for (const auto& [port, address, sha] : c.done) want.insert({Fill(port), address, sha});
        EXPECT_EQ(journal.done, want);
        std::vector<std::string> warnings;
        for (const unsigned line : c.warnedLines)
            warnings.push_back("The journal j.log has a line " + std::to_string(line) +
                               " that is cut off or no journal line; it is left out.");
        EXPECT_EQ(journal.warnings, warnings);
    }
}

}  // namespace
