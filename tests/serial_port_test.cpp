// CSerialPort on a pseudo-terminal pair (the port opens the slave, the test holds the master):
// exclusive opening, line speeds, what a read takes, writes that the peer drains slowly or
// holds with XOFF, closing while a write waits, a device that goes away, and two writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "serial/CSerialPort.h"
#include "serial/posix/PosixSerialLine.h"
#include "serial/posix/Termios2.h"
#include "tests/support/PseudoTerminal.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kBound = 10s;  // generous upper bound for anything that must end
constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;

template <class T>
bool EndsInTime(std::future<T>& f) {
    return f.wait_for(kBound) == std::future_status::ready;
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    // Position-dependent and not periodic in any small power of two, so a byte sent twice,
    // dropped or moved shows.
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 253 + seed) & 0xFF);
    return bytes;
}

// The same without XON and XOFF, for bytes sent to the port: its driver takes those two as
// flow control and never hands them on.
std::vector<std::uint8_t> PatternWithoutFlowControl(std::size_t size, unsigned seed) {
    auto bytes = Pattern(size, seed);
    for (auto& b : bytes)
        if (b == kXon || b == kXoff) b ^= 0x80;
    return bytes;
}

class PortOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.IsOpen());
        port.Configure({115200, 8, 0, 0, pty.SlavePath()});
        handle = port.Open();
        ASSERT_NE(handle, INVALID_PORT_HANDLE);
        ASSERT_TRUE(port.SetTimeouts(600000, handle));
        ASSERT_TRUE(port.SetLineSettings(handle));
        ASSERT_TRUE(port.InitOverlapped());
    }
    void TearDown() override {
        if (handle) port.Close(handle);
    }

    // Sends XOFF and has the line take it before anything else happens: a read on the port
    // moves what the peer sent through the line discipline, which acts on XOFF at once.
    void HoldWithXoff() {
        ASSERT_TRUE(pty.Write({kXoff}));
        std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
        ASSERT_EQ(port.Read(buffer, handle), 0u);
    }

    PseudoTerminal pty;
    CSerialPort port;
    PortHandle handle;
};

// --- Opening ---------------------------------------------------------------------------

TEST(SerialPortOpen, HeldPortCannotBeOpenedAgainUntilClosed) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    CSerialPort first, second;
    first.Configure({.baudRate = 9600, .portName = pty.SlavePath()});
    second.Configure({.baudRate = 9600, .portName = pty.SlavePath()});
    for (int round = 0; round < 3; ++round) {
        PortHandle held = first.Open();
        ASSERT_NE(held, INVALID_PORT_HANDLE) << "round " << round;
        EXPECT_EQ(second.Open(), INVALID_PORT_HANDLE) << "round " << round;
        EXPECT_EQ(second.LastOpenError().kind, LineErrorKind::Busy) << "round " << round;
        EXPECT_EQ(first.Open(), INVALID_PORT_HANDLE) << "the same object, round " << round;
        EXPECT_TRUE(first.Close(held));
        PortHandle now = second.Open();
        EXPECT_NE(now, INVALID_PORT_HANDLE) << "round " << round;
        EXPECT_EQ(second.LastOpenError().kind, LineErrorKind::None) << "round " << round;
        EXPECT_TRUE(second.Close(now));
    }
}

TEST(SerialPortOpen, AReopeningKeepsThePortFromOthersAndLosesNoByte) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    CSerialPort first, second;
    second.Configure({.baudRate = 9600, .portName = pty.SlavePath()});
    // The start-upgrade command after more than the far side takes in before it reads (its
    // 4 KiB input buffer): the rest waits in the pseudo-terminal's buffer, where a discard of
    // output by the reopening would drop it, as a UART's driver would drop its output queue.
    std::vector<std::uint8_t> command(5000);
    for (std::size_t i = 0; i < command.size(); ++i) command[i] = static_cast<std::uint8_t>(i % 251);
    const std::vector<std::uint8_t> pelco{0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58};
    std::copy(pelco.begin(), pelco.end(), command.end() - 7);
    PortHandle held;
    for (const std::uint32_t baud : {2400u, 115200u}) {
        first.Configure({.baudRate = baud, .portName = pty.SlavePath()});
        held = first.Open();
        ASSERT_NE(held, INVALID_PORT_HANDLE) << baud;
        ASSERT_TRUE(first.SetLineSettings(held));
        EXPECT_EQ(pty.BaudRate(), baud);
        ASSERT_EQ(first.Write(command.data(), command.size(), held), command.size());
        ASSERT_TRUE(first.CloseForReopening(held));
        EXPECT_EQ(second.Open(), INVALID_PORT_HANDLE) << "reserved while closed, " << baud;
        EXPECT_EQ(second.LastOpenError().kind, LineErrorKind::Busy);
    }
    // Nothing written before a reopening was discarded by it (the far side read none yet).
    auto twice = command;
    twice.insert(twice.end(), command.begin(), command.end());
    EXPECT_EQ(pty.Read(twice.size(), kBound), twice);
    // Naming another port drops the reservation, as Close does.
    first.Configure({.baudRate = 9600, .portName = "/dev/kavlet-no-such-port"});
    EXPECT_EQ(first.Open(), INVALID_PORT_HANDLE);
    PortHandle now = second.Open();
    EXPECT_NE(now, INVALID_PORT_HANDLE);
    EXPECT_TRUE(second.Close(now));
}

TEST(SerialPortOpen, NamesOfNoDeviceGiveTheInvalidHandle) {
    // None of these is opened: they map to no path, or to one that is no terminal.
    for (const char* name : {"COM0", "COMx", "", "COM", "ttyS0", "/dev/null", "/"}) {
        CSerialPort port;
        port.Configure({.baudRate = 9600, .portName = name});
        PortHandle handle = port.Open();
        EXPECT_EQ(handle, INVALID_PORT_HANDLE) << '"' << name << '"';
        EXPECT_FALSE(port.SetTimeouts(600000, handle));
        EXPECT_FALSE(port.SetLineSettings(handle));
        EXPECT_FALSE(port.Close(handle));
        std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
        EXPECT_EQ(port.Write(buffer, 4, handle), 0u);
        EXPECT_EQ(port.Read(buffer, handle), 0u);
    }
}

// --- Line settings ---------------------------------------------------------------------

class SerialPortSpeed : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SerialPortSpeed, IsAppliedAndReadBackFromThePeer) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    CSerialPort port;
    port.Configure({GetParam(), 8, 0, 0, pty.SlavePath()});
    PortHandle handle = port.Open();
    ASSERT_NE(handle, INVALID_PORT_HANDLE);
    ASSERT_TRUE(port.SetLineSettings(handle));
    EXPECT_EQ(termios2_io::ReadBaudRate(pty.MasterFd()), GetParam());
    EXPECT_EQ(
        termios2_io::ReadBaudRate(static_cast<PosixSerialLine&>(*handle).DescriptorForTests()),
        GetParam());
    port.Close(handle);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SerialPortSpeed,
                         ::testing::Values(2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u,
                                           128000u, 256000u, 921600u));

TEST_F(PortOnPty, SettingsEmptyTheInputQueueButRefusedOnesTouchNothing) {
    ASSERT_TRUE(pty.Write({1, 2, 3, 4}));
    ASSERT_EQ(handle->WaitForInput(), SerialLine::WaitResult::InputReady);

    port.Configure({115200, 9, 0, 0, pty.SlavePath()});  // nine data bits: refused
    EXPECT_FALSE(port.SetLineSettings(handle));
    EXPECT_EQ(handle->BytesQueued(), 4) << "a refused setting emptied the queue";
    EXPECT_EQ(pty.BaudRate(), 115200u);

    port.Configure({9600, 8, 0, 0, pty.SlavePath()});
    EXPECT_TRUE(port.SetLineSettings(handle));
    EXPECT_EQ(pty.BaudRate(), 9600u);
    std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
    EXPECT_EQ(port.Read(buffer, handle), 0u) << "the input queue was not emptied";
}

// --- Reading ---------------------------------------------------------------------------

TEST_F(PortOnPty, ReadTakesWhatIsQueuedAtMostOneBufferAndNeverWaits) {
    std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
    EXPECT_EQ(port.Read(buffer, handle), 0u) << "empty queue";

    const auto sent = PatternWithoutFlowControl(5000, 7);
    ASSERT_TRUE(pty.Write(sent));
    ASSERT_EQ(handle->WaitForInput(), SerialLine::WaitResult::InputReady);
    const std::uint32_t first = port.Read(buffer, handle);
    ASSERT_EQ(first, 4096u);
    EXPECT_TRUE(std::equal(buffer, buffer + first, sent.begin()));
    const std::uint32_t second = port.Read(buffer, handle);
    ASSERT_EQ(second, 904u);
    EXPECT_TRUE(std::equal(buffer, buffer + second, sent.begin() + first));
    EXPECT_EQ(port.Read(buffer, handle), 0u) << "nothing left";
}

// --- Writing ---------------------------------------------------------------------------

// The peer drains far slower than the port writes, so the driver fills up and takes the block
// in pieces: every byte must arrive exactly once, in order.
TEST_F(PortOnPty, LargeWriteToASlowPeerArrivesWholeOnceInOrder) {
    const auto block = Pattern(100 * 1024, 3);
    auto written = std::async(std::launch::async, [&] {
        return port.Write(block.data(), static_cast<std::uint32_t>(block.size()), handle);
    });
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + 4 * kBound;
    while (got.size() < block.size() && std::chrono::steady_clock::now() < deadline) {
        auto piece = pty.Read(std::min<std::size_t>(700, block.size() - got.size()), 20ms);
        got.insert(got.end(), piece.begin(), piece.end());
        if (written.wait_for(0s) == std::future_status::ready && piece.empty()) break;
        std::this_thread::sleep_for(1ms);
    }
    const auto extra = pty.ReadUntilQuiet(20ms);
    got.insert(got.end(), extra.begin(), extra.end());
    if (!EndsInTime(written)) {
        port.Close(handle);
        written.wait();
        FAIL() << "the write never finished";
    }
    EXPECT_EQ(written.get(), block.size());
    ASSERT_EQ(got.size(), block.size());
    EXPECT_TRUE(got == block) << "bytes resent, dropped or reordered";
}

TEST_F(PortOnPty, XoffHoldsAWriteUntilXon) {
    HoldWithXoff();
    const auto block = Pattern(1000, 11);
    auto written = std::async(std::launch::async, [&] {
        return port.Write(block.data(), static_cast<std::uint32_t>(block.size()), handle);
    });
    // A state check: after XOFF the write has not returned and nothing has gone out.
    const bool heldBack = written.wait_for(200ms) == std::future_status::timeout;
    const auto whileHeld = pty.ReadUntilQuiet(20ms);
    ASSERT_TRUE(pty.Write({kXon}));
    if (!EndsInTime(written)) {
        port.Close(handle);
        written.wait();
        FAIL() << "XON did not release the write";
    }
    EXPECT_TRUE(heldBack) << "the write returned while the peer held the line";
    EXPECT_TRUE(whileHeld.empty()) << whileHeld.size() << " bytes went out during XOFF";
    EXPECT_EQ(written.get(), block.size());
    EXPECT_EQ(pty.Read(block.size(), kBound), block);
    EXPECT_TRUE(pty.ReadUntilQuiet(20ms).empty()) << "bytes sent twice";
}

TEST_F(PortOnPty, CloseReleasesAWriteHeldByXoff) {
    HoldWithXoff();
    const auto block = Pattern(1000, 13);
    auto written = std::async(std::launch::async, [&] {
        return port.Write(block.data(), static_cast<std::uint32_t>(block.size()), handle);
    });
    const bool heldBack = written.wait_for(200ms) == std::future_status::timeout;
    auto closed = std::async(std::launch::async, [&] { return port.Close(handle); });
    if (!EndsInTime(written) || !EndsInTime(closed)) {
        pty.Write({kXon});
        written.wait();
        closed.wait();
        FAIL() << "Close did not release the held write";
    }
    EXPECT_TRUE(heldBack);
    EXPECT_TRUE(closed.get());
    EXPECT_LT(written.get(), block.size());
    // The port is free again at once.
    PortHandle again = port.Open();
    EXPECT_NE(again, INVALID_PORT_HANDLE);
    if (again) port.Close(again);
}

TEST_F(PortOnPty, HangUpReleasesAWriteHeldByXoff) {
    HoldWithXoff();
    const auto block = Pattern(1000, 17);
    auto written = std::async(std::launch::async, [&] {
        return port.Write(block.data(), static_cast<std::uint32_t>(block.size()), handle);
    });
    written.wait_for(50ms);
    pty.CloseMaster();
    if (!EndsInTime(written)) {
        port.Close(handle);
        written.wait();
        FAIL() << "the hang-up did not release the held write";
    }
    EXPECT_LT(written.get(), block.size());
}

// Two writers at once (the sender and the user-interface thread): the bytes of one call stay
// together on the line. Every block is a run of one value no other block uses.
TEST_F(PortOnPty, ConcurrentWritesNeverInterleave) {
    constexpr std::size_t kBlockSize = 5000;  // more than the driver takes in one piece
    constexpr int kBlocksPerWriter = 40;
    auto writer = [&](std::uint8_t firstId) {
        std::uint32_t total = 0;
        for (int i = 0; i < kBlocksPerWriter; ++i) {
            const std::vector<std::uint8_t> block(kBlockSize,
                                                  static_cast<std::uint8_t>(firstId + i));
            total += port.Write(block.data(), kBlockSize, handle);
        }
        return total;
    };
    auto a = std::async(std::launch::async, writer, std::uint8_t{1});
    auto b = std::async(std::launch::async, writer, std::uint8_t{101});
    const std::size_t expectedTotal = 2 * kBlocksPerWriter * kBlockSize;
    auto got = pty.Read(expectedTotal, 4 * kBound);
    const auto extra = pty.ReadUntilQuiet(20ms);
    got.insert(got.end(), extra.begin(), extra.end());
    if (!EndsInTime(a) || !EndsInTime(b)) {
        port.Close(handle);
        a.wait();
        b.wait();
        FAIL() << "the writers did not finish";
    }
    EXPECT_EQ(a.get(), kBlocksPerWriter * kBlockSize);
    EXPECT_EQ(b.get(), kBlocksPerWriter * kBlockSize);
    ASSERT_EQ(got.size(), expectedTotal);

    std::array<int, 256> seen{};
    int lastA = 0, lastB = 100;
    for (std::size_t start = 0; start < got.size();) {
        const std::uint8_t id = got[start];
        std::size_t end = start;
        while (end < got.size() && got[end] == id) ++end;
        ASSERT_EQ(end - start, kBlockSize) << "block " << int(id) << " split at " << start;
        ++seen[id];
        int& last = id < 101 ? lastA : lastB;
        EXPECT_EQ(id, last + 1) << "one writer's blocks out of order";
        last = id;
        start = end;
    }
    for (int id = 1; id <= kBlocksPerWriter; ++id) {
        EXPECT_EQ(seen[id], 1);
        EXPECT_EQ(seen[100 + id], 1);
    }
}

// --- A device that goes away, calls racing Close --------------------------------------------

TEST_F(PortOnPty, ReadAndWriteFailQuietlyOnceTheDeviceIsGone) {
    pty.CloseMaster();
    EXPECT_EQ(handle->WaitForInput(), SerialLine::WaitResult::HungUp);
    std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(port.Read(buffer, handle), 0u);
        EXPECT_EQ(port.Write(buffer, 16, handle), 0u);
    }
    EXPECT_FALSE(port.SetTimeouts(600000, handle));
    EXPECT_TRUE(port.Close(handle));
    EXPECT_TRUE(port.Close(handle)) << "closing twice is harmless";
    EXPECT_EQ(port.Write(buffer, 16, handle), 0u);
    EXPECT_EQ(port.Read(buffer, handle), 0u);
    EXPECT_FALSE(port.SetLineSettings(handle));
}

// Writers, a reader and the settings calls keep going while the port is closed under them:
// every call ends and reports failure, and nothing acts on a descriptor after it is gone.
TEST(SerialPortClose, CallsRacingCloseAllEnd) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    CSerialPort port;
    port.Configure({115200, 8, 0, 0, pty.SlavePath()});
    for (int round = 0; round < 60; ++round) {
        PortHandle handle = port.Open();
        ASSERT_NE(handle, INVALID_PORT_HANDLE) << "round " << round;
        ASSERT_TRUE(port.SetLineSettings(handle));
        std::atomic<bool> stop{false};
        auto writer = std::async(std::launch::async, [&] {
            const auto block = Pattern(3000, static_cast<unsigned>(round));
            while (!handle->IsClosed() && !stop)
                port.Write(block.data(), static_cast<std::uint32_t>(block.size()), handle);
        });
        auto reader = std::async(std::launch::async, [&] {
            std::uint8_t buffer[CSerialPort::READ_BUFFER_SIZE];
            while (!stop && handle->WaitForInput() == SerialLine::WaitResult::InputReady)
                port.Read(buffer, handle);
        });
        auto fiddler = std::async(std::launch::async, [&] {
            while (!handle->IsClosed() && !stop) {
                port.SetTimeouts(600000, handle);
                handle->TakeLineErrors();
                handle->DiscardOutput();
            }
        });
        pty.Write({1, 2, 3});
        pty.ReadUntilQuiet(0ms);
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        auto closed = std::async(std::launch::async, [&] { return port.Close(handle); });
        const bool ended =
            EndsInTime(closed) && EndsInTime(writer) && EndsInTime(reader) && EndsInTime(fiddler);
        if (!ended) {
            stop = true;
            pty.CloseMaster();  // hangs the line up, which ends every wait
            closed.wait();
            writer.wait();
            reader.wait();
            fiddler.wait();
            FAIL() << "a call did not end after Close, round " << round;
        }
        EXPECT_TRUE(closed.get());
    }
}

}  // namespace
