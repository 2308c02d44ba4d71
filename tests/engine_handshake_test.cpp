// Bringing the head to its loader through the engine alone: the start-upgrade command at the
// head's speed between two reopenings, the pauses in their order, and the greeting.
#include <tuple>

#include "tests/support/EngineFixture.h"
#include "upgrade/PelcoCommand.h"

namespace engine_test {
namespace {

// A pause as the clock saw it, with what had happened on the port by then.
struct PauseSeen {
    long ms;
    std::size_t bytesWritten;
    int openings;
    bool lineOpen;
    bool operator==(const PauseSeen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PauseSeen& p) {
    return out << "{" << p.ms << " ms, " << p.bytesWritten << " written, opening " << p.openings
               << (p.lineOpen ? ", open}" : ", closed}");
}

class EngineHandshakeTest : public EngineFixture {
  protected:
    void SetUp() override {
        EngineFixture::SetUp();
        clock.onPause = [this](std::chrono::milliseconds ms) {
            pauses.push_back({static_cast<long>(ms.count()), port.WrittenCount(), port.Openings(),
                              port.LineOpen()});
        };
    }
    void TearDown() override {
        clock.onPause = nullptr;
        EngineFixture::TearDown();
    }
    std::vector<PauseSeen> pauses;  // written on the test's thread only (SelectDevice's)
};

struct CommandRow {
    DeviceSelection device;
    std::uint32_t speedBefore;  // the line settings' speed before the command
    Bytes command;
    std::uint32_t commandSpeed;
};

TEST_F(EngineHandshakeTest, TheCommandGoesOutAtTheHeadsSpeedBetweenTwoReopeningsAndPauses) {
    const CommandRow rows[] = {
        {{1, PROTOCOL_INDEX_PELCO_D, 0}, 115200, {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}, 2400},
        {{16, PROTOCOL_INDEX_PELCO_P, 2},
         115200,
         {0xA0, 0x0F, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x57},
         9600},
        {{169, PROTOCOL_INDEX_PELCO_D, 7},
         115200,
         {0xFF, 0xA9, 0x00, 0x57, 0x00, 0x00, 0x00},
         128000},
        {{255, PROTOCOL_INDEX_PELCO_P, 8},
         115200,
         {0xA0, 0xFE, 0x00, 0x57, 0x00, 0x00, 0xAF, 0xA6},
         256000},
        {{1, 255, 9}, 115200, {0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}, 921600},
        // Index 10 is past the table: the speed the settings hold is kept for the command.
        {{1, PROTOCOL_INDEX_PELCO_D, 10}, 4800, {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}, 4800},
    };
    for (const CommandRow& row : rows) {
        SCOPED_TRACE(::testing::Message() << "address " << int(row.device.address) << " protocol "
                                          << int(row.device.protocolIndex) << " speed index "
                                          << int(row.device.speedIndex));
        engine->LineSettings().baudRate = row.speedBefore;
        pauses.clear();
        observer.ClearEvents();
        const std::size_t before = port.WrittenCount();
        const int opening = port.Openings();

        engine->SelectDevice(row.device);

        const std::size_t n = row.command.size();
        EXPECT_EQ(pauses, (std::vector<PauseSeen>{{500, before, opening, true},
                                                  {500, before, opening, false},
                                                  {500, before + n, opening + 1, true},
                                                  {500, before + n, opening + 1, false}}))
            << "pause, reopen (closed meanwhile), command, pause, reopen";
        const auto written = port.Written();
        ASSERT_EQ(written.size(), before + n);
        EXPECT_EQ(port.WrittenBytes(before), row.command);
        for (std::size_t i = before; i < written.size(); ++i) {
            EXPECT_EQ(written[i].baudRate, row.commandSpeed) << "byte " << i - before;
            EXPECT_EQ(written[i].opening, opening + 1) << "byte " << i - before;
        }
        EXPECT_EQ(port.Openings(), opening + 2);
        EXPECT_EQ(port.CurrentBaudRate(), UPGRADE_BAUD_RATE);
        EXPECT_EQ(engine->LineSettings().baudRate, UPGRADE_BAUD_RATE);
        EXPECT_TRUE(engine->PortOpen());
        EXPECT_EQ(observer.Events(), (std::vector<std::string>{"port-open", "reopened ok",
                                                               "port-open", "reopened ok"}));
    }
}

struct UnavailableRow {
    const char* name;
    bool closeFirst;     // the operator closed the port
    bool deviceMissing;  // the device cannot be opened any more
    std::vector<long> pauses;
    std::vector<std::string> events;
};

TEST_F(EngineHandshakeTest, WithoutAnOpenLineTheCommandReachesNothingAndFewerPausesAreMade) {
    const UnavailableRow rows[] = {
        // Reopening does nothing while the port is closed: only the command's pauses remain.
        {"closed port", true, false, {500, 500}, {}},
        // The first reopening fails; the second finds the port closed.
        {"device gone",
         false,
         true,
         {500, 500, 500},
         {"open-failed", "port-closed", "reopened failed"}},
    };
    for (const UnavailableRow& row : rows) {
        SCOPED_TRACE(row.name);
        port.RefuseOpening(false);
        if (!engine->PortOpen()) {
            ASSERT_TRUE(OpenPort());
        }
        if (row.closeFirst) engine->ClosePort();
        port.RefuseOpening(row.deviceMissing);
        pauses.clear();
        observer.ClearEvents();
        const std::size_t before = port.WrittenCount();
        const int openings = port.Openings();

        engine->SelectDevice({1, PROTOCOL_INDEX_PELCO_D, 0});

        std::vector<long> ms;
        for (const auto& p : pauses) ms.push_back(p.ms);
        EXPECT_EQ(ms, row.pauses);
        EXPECT_EQ(port.WrittenCount(), before) << "nothing is written";
        EXPECT_EQ(port.Openings(), openings);
        EXPECT_FALSE(engine->PortOpen());
        EXPECT_FALSE(port.LineOpen());
        EXPECT_EQ(observer.Events(), row.events);
    }
}

TEST_F(EngineHandshakeTest, TheGreetingIs3F3FOnTheOpenLineAndItsAnswerIsReported) {
    const std::size_t before = port.WrittenCount();
    engine->Greet();
    EXPECT_EQ(port.WrittenBytes(before), (Bytes{0x3F, 0x3F}));
    for (const auto& byte : port.Written()) {
        EXPECT_EQ(byte.baudRate, UPGRADE_BAUD_RATE);
    }
    Answer(0x80);
    EXPECT_EQ(observer.Events(), std::vector<std::string>{"connected"});
    EXPECT_EQ(engine->LastResponse(), 0x80);
    EXPECT_TRUE(clock.Pauses().empty());
}

}  // namespace
}  // namespace engine_test
