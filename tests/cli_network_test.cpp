// kavlet-flash on network ports: through a real ser2net in RFC 2217 mode to the virtual head
// on a pseudo-terminal, and against servers played by the test (loopback only). Every run is
// bounded; a run that hangs is killed and fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "serial/net/TelnetCodec.h"
#include "tests/cli_support.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestImages.h"
#include "tools/head/VirtualHead.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using cli_test::ChildResult;

namespace {

bool Contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// A TCP listener on 127.0.0.1 and a free port.
int Listen(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A server played by the test: accepts one connection and records the line's bytes it gets.
// In Telnet mode it agrees to COM-PORT and answers every command with its value, except
// SET-BAUDRATE, answered with 9600 whatever was asked.
class FakeServer {
  public:
    explicit FakeServer(bool telnet) : telnet_(telnet) {
        listener_ = Listen(port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::uint16_t Port() const { return port_; }
    // The line's bytes received (Telnet commands taken out), once the server has ended.
    std::size_t DataBytes() const { return data_.load(); }

  private:
    void Serve() {
        pollfd p{listener_, POLLIN, 0};
        while (!stop_ && poll(&p, 1, 100) <= 0) {
        }
        if (stop_) return;
        const int fd = accept(listener_, nullptr, nullptr);
        TelnetCodec codec;  // reads the tool's stream: its commands come out as answers
        if (telnet_) Send(fd, {255, 253, 44});
        std::uint8_t buffer[4096];
        for (;;) {
            pollfd q{fd, POLLIN, 0};
            if (stop_) break;
            if (poll(&q, 1, 100) <= 0) continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            if (!telnet_) {
                data_ += static_cast<std::size_t>(n);
                continue;
            }
            TelnetCodec::Decoded decoded;
            codec.Feed({buffer, static_cast<std::size_t>(n)}, decoded);
            data_ += decoded.data.size();
            for (auto& command : decoded.answers) {
                if (command.command == TelnetCodec::kSetBaudRate)
                    command.value = {0, 0, 0x25, 0x80};
                Send(fd, TelnetCodec::ComPortCommand(command.command + 100, command.value));
            }
        }
        close(fd);
    }
    static void Send(int fd, const Bytes& bytes) {
        // The client may have gone already: no SIGPIPE for the test.
        [[maybe_unused]] const auto n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    const bool telnet_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> data_{0};
    std::thread thread_;
};

class NetworkRun : public testing::Test {
  protected:
    void TearDown() override {
        StopServer();
        if (head) head->Stop();
    }
    void StartHead(std::size_t imageSize, head::HeadFaults faults = {}, std::uint32_t pace = 0) {
        head::HeadOptions options;
        options.address = 1;
        options.protocol = head::PelcoProtocol::PelcoD;
        options.speed = 2400;
        options.sizeRule = head::ImageSizeRule::ExpectSize;
        options.expectSize = static_cast<std::uint32_t>(imageSize);
        options.paceBaud = pace;
        options.faults = faults;
        std::string error;
        head = head::VirtualHead::CreatePty(options, &error);
        ASSERT_TRUE(head) << error;
        head->Start();
    }
    // ser2net on a free loopback port, its serial side the head's pseudo-terminal.
    void StartSer2net() {
        if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
        server = std::make_unique<Ser2net>(head->SlavePath(), folder.File("ser2net.yaml"));
        ASSERT_TRUE(server->Running()) << server->Error();
    }
    void StopServer() {
        if (server) server->Stop();
    }
    std::string WriteImage(const Bytes& image) {
        const std::string path = folder.File("firmware.bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        return path;
    }
    std::string Rfc2217() const { return server->Rfc2217Name(); }

    TempDir folder{"kavlet-net"};
    std::unique_ptr<head::VirtualHead> head;
    std::unique_ptr<Ser2net> server;
};

// The head at 2400 Pelco-D behind ser2net: the command at 2400, the frames at 115200, one
// frame rejected and sent again; images of random bytes and of 0xFF (every byte escaped).
TEST_F(NetworkRun, ThroughSer2netTheHeadTakesTheImageAtItsOwnSpeedThenAtTheLoaders) {
    Bytes mostlyFf(3 * 4096 + 100, 0xFF);
    mostlyFf[5] = 0x11;
    mostlyFf[4096 + 7] = 0x13;
    const struct {
        std::string what;
        Bytes image;
        unsigned rejectFrame;
    } rows[] = {
        {"random, one checksum error", RandomImage(3 * 4096 + 1234, 7), 2},
        {"mostly 0xFF", mostlyFf, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        head::HeadFaults faults;
        faults.rejectFrame = row.rejectFrame;
        StartHead(row.image.size(), faults);
        StartSer2net();
        if (IsSkipped()) return;
        const ChildResult r =
            cli_test::RunFlash({"--port", Rfc2217(), "--address", "1", WriteImage(row.image)});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        const head::HeadReport report = head->Report();
        EXPECT_EQ(report.finishedImage, row.image);
        ASSERT_EQ(report.commands.size(), 1u);
        EXPECT_EQ(report.commands[0].lineSpeed, 2400u);
        EXPECT_TRUE(report.commands[0].accepted);
        EXPECT_EQ(report.strayGreetings, 0u);
        EXPECT_EQ(report.resends, row.rejectFrame ? 1u : 0u);
        EXPECT_TRUE(report.problems.empty()) << head::SummaryText(report);
        StopServer();
        head->Stop();
    }
}

TEST_F(NetworkRun, Ser2netKilledMidFrameIsALostPort) {
    const Bytes image = RandomImage(8 * 4096, 3);
    StartHead(image.size(), {}, 115200);  // a frame takes about 0.36 s on the head's line
    StartSer2net();
    if (IsSkipped()) return;
    auto child = cli_test::StartFlash({"--port", Rfc2217(), "--address", "1", WriteImage(image)});
    ASSERT_TRUE(head->WaitFor(
        [](const head::HeadReport& r) { return r.frames >= 1 && r.partialBytes > 0; }, 60s));
    StopServer();
    const ChildResult r = child.Wait(60s);
    EXPECT_EQ(r.exitStatus, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "the port " + Rfc2217())) << r.err;
    EXPECT_FALSE(Contains(r.out, "done")) << r.out;
    EXPECT_TRUE(head->Report().finishedImage.empty());
}

// Refused before anything reaches the line: exit 3, a sentence saying why, no byte of data at
// the server. Each run ends by itself (within the answer wait, not the test's run limit).
TEST_F(NetworkRun, ServersThatCannotCarryTheHandshakeAreRefusedBeforeAnythingIsSent) {
    const std::string image = WriteImage(RandomImage(5000, 1));
    {
        FakeServer wrongSpeed(true);
        const std::string name = "rfc2217://127.0.0.1:" + std::to_string(wrongSpeed.Port());
        const ChildResult r = cli_test::RunFlash({"--port", name, "--address", "1", image});
        EXPECT_EQ(r.exitStatus, 3) << r.err;
        EXPECT_TRUE(
            Contains(r.err, "the port " + name + " cannot be opened: it refuses the line settings"))
            << r.err;
        EXPECT_EQ(wrongSpeed.DataBytes(), 0u);
    }
    {
        FakeServer raw(false);
        const std::string name = "socket://127.0.0.1:" + std::to_string(raw.Port());
        const ChildResult r = cli_test::RunFlash({"--port", name, "--address", "1", image});
        EXPECT_EQ(r.exitStatus, 3) << r.err;
        EXPECT_TRUE(Contains(r.err, "the port " + name +
                                        " is raw TCP and runs at 115200 baud only: it cannot "
                                        "reach a head at 2400 baud (use rfc2217://)."))
            << r.err;
        EXPECT_EQ(raw.DataBytes(), 0u);
    }
    {
        // Listening, never accepting, never answering: the connection is made by the system
        // alone, and the settings' answers never come.
        std::uint16_t silentPort = 0;
        const int silent = Listen(silentPort);
        ASSERT_GE(silent, 0);
        const std::string name = "rfc2217://127.0.0.1:" + std::to_string(silentPort);
        const ChildResult r = cli_test::RunFlash({"--port", name, "--address", "1", image});
        close(silent);
        EXPECT_EQ(r.exitStatus, 3) << r.err;
        EXPECT_TRUE(Contains(r.err, "the port " + name + " cannot be opened")) << r.err;
    }
    {
        const std::string name = "rfc2217://no-such-host.invalid:4001";
        const ChildResult r = cli_test::RunFlash({"--port", name, "--address", "1", image});
        EXPECT_EQ(r.exitStatus, 3) << r.err;
        EXPECT_TRUE(
            Contains(r.err, "the port " + name + " cannot be opened: the host name is not known."))
            << r.err;
    }
}

}  // namespace
