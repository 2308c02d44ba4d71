// The serial platform layer on a pseudo-terminal pair (the line holds the slave, the test the
// master): port names, what opening takes and refuses, what closing gives back, waking a
// waiting reader, the line settings the driver ends up with, and a device that goes away.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/PortNames.h"
#include "serial/posix/PosixSerialLine.h"
#include "serial/posix/Termios2.h"
#include "tests/support/PseudoTerminal.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kBound = 10s;  // generous upper bound for anything that must end

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::optional<termios2> DriverSettings(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return std::nullopt;
    return tio;
}

// Runs body in a child process and returns its exit code (or -1 when it did not exit normally).
// The child ends with _exit, so nothing of the test program's state is torn down twice.
int InChildProcess(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fresh directory under the system's temporary directory, removed at the end of the test.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char name[] = "/tmp/kavlet-serial-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

// --- Port names -------------------------------------------------------------------------

struct NameCase {
    const char* name;
    const char* path;
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << '"' << c.name << '"';
}

class PortNameMapping : public ::testing::TestWithParam<NameCase> {};

TEST_P(PortNameMapping, GivesTheDevicePath) {
    EXPECT_EQ(DevicePathForPortName(GetParam().name), GetParam().path) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortNameMapping,
    ::testing::Values(NameCase{"COM1", "/dev/ttyS0"}, NameCase{"COM2", "/dev/ttyS1"},
                      NameCase{"COM10", "/dev/ttyS9"}, NameCase{"COM256", "/dev/ttyS255"},
                      NameCase{"/dev/pts/7", "/dev/pts/7"},
                      NameCase{"/dev/ttyUSB0", "/dev/ttyUSB0"}, NameCase{"COM0", ""},
                      NameCase{"COMx", ""}, NameCase{"", ""}, NameCase{"COM", ""},
                      NameCase{"COM1x", ""}, NameCase{"COM-1", ""}, NameCase{"COM 1", ""},
                      NameCase{"ttyS0", ""}, NameCase{"dev/ttyS0", ""},
                      NameCase{"COM99999999999999999999", ""}));

// --- Opening ----------------------------------------------------------------------------

TEST(SerialLineOpen, RefusesWhatIsNoTerminalWithoutLeakingDescriptors) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const auto regular = dir.path / "plain-file";
    {
        std::FILE* f = std::fopen(regular.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    const auto fifo = dir.path / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        std::string path;
        LineErrorKind kind;
        int error;
    };
    const Case cases[] = {
        {"/dev/null", LineErrorKind::NotASerialDevice, ENOTTY},
        {regular.string(), LineErrorKind::NotASerialDevice, ENOTTY},
        {fifo.string(), LineErrorKind::NotASerialDevice, ENOTTY},
        {dir.path.string(), LineErrorKind::Other, EISDIR},
        {(dir.path / "missing").string(), LineErrorKind::NoSuchDevice, ENOENT},
        {"", LineErrorKind::NoSuchDevice, ENOENT},
    };
    const int before = OpenDescriptorCount();
    for (const Case& c : cases) {
        const auto opened = PosixSerialLine::Open(c.path);
        EXPECT_EQ(opened.line, nullptr) << c.path;
        EXPECT_EQ(opened.error.kind, c.kind) << c.path;
        EXPECT_EQ(opened.error.errorNumber, c.error) << c.path;
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialLineOpen, RefusesADeviceWithoutPermission) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0600), 0);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0), 0);
        const auto opened = PosixSerialLine::Open(pty.SlavePath());
        EXPECT_EQ(opened.line, nullptr);
        EXPECT_EQ(opened.error, (LineError{LineErrorKind::NotPermitted, EACCES}));
        return;
    }
    // Mode bits deny nothing to root, so the attempt is made by a child that has given up
    // root for an ordinary user, to whom the root-owned 0600 device is closed.
    constexpr int kCannotDropRoot = 77;
    const std::string path = pty.SlavePath();
    const int code = InChildProcess([&path] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return kCannotDropRoot;
        const auto opened = PosixSerialLine::Open(path);
        const LineError expected{LineErrorKind::NotPermitted, EACCES};
        return !opened.line && opened.error == expected ? 0 : 1;
    });
    if (code == kCannotDropRoot) GTEST_SKIP() << "cannot switch to an ordinary user here";
    EXPECT_EQ(code, 0);
}

TEST(SerialLineOpen, TakesTheDeviceNonBlockingCloseOnExecAndExclusively) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    auto line = PosixSerialLine::Open(pty.SlavePath()).line;
    ASSERT_NE(line, nullptr);
    const int fd = line->DescriptorForTests();

    const int status = fcntl(fd, F_GETFL);
    EXPECT_EQ(status & O_ACCMODE, O_RDWR);
    EXPECT_NE(status & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    int exclusive = 0;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    // A second opening by this layer fails, whether the process may bypass TIOCEXCL or not.
    const auto second = PosixSerialLine::Open(pty.SlavePath());
    EXPECT_EQ(second.line, nullptr);
    EXPECT_EQ(second.error, (LineError{LineErrorKind::Busy, EBUSY}));
    // A plain open() that ignores locks is stopped by TIOCEXCL, except for a privileged
    // process, which is still stopped by the lock if it asks for one.
    const int other = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other < 0) {
        EXPECT_EQ(errno, EBUSY);
    } else {
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
}

TEST(SerialLineOpen, NeverBecomesTheControllingTerminal) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    const std::string path = pty.SlavePath();
    // A session leader without a controlling terminal acquires the first terminal it opens
    // unless O_NOCTTY is given; /dev/tty then opens. It must stay without one.
    const int code = InChildProcess([&path] {
        if (setsid() < 0) return 2;
        auto line = PosixSerialLine::Open(path).line;
        if (!line) return 3;
        const int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
        if (tty >= 0) return 1;
        return errno == ENXIO ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

// --- Closing ----------------------------------------------------------------------------

TEST(SerialLineClose, GivesBackDescriptorsLockAndExclusiveMode) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        auto line = PosixSerialLine::Open(pty.SlavePath()).line;
        ASSERT_NE(line, nullptr) << "cycle " << i;
        line->Close();
        line->Close();  // a second Close does nothing
    }
    EXPECT_EQ(OpenDescriptorCount(), before);

    // Closing without Close (dropping the last reference) gives everything back as well.
    PosixSerialLine::Open(pty.SlavePath()).line.reset();
    EXPECT_EQ(OpenDescriptorCount(), before);

    const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "the exclusive mode outlived the closing";
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock outlived the closing";
    close(fd);
}

TEST(SerialLineClose, EveryCallFailsAfterwards) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    auto line = PosixSerialLine::Open(pty.SlavePath()).line;
    ASSERT_NE(line, nullptr);
    line->Close();
    std::uint8_t buffer[16] = {};
    EXPECT_TRUE(line->IsClosed());
    EXPECT_FALSE(line->IsUsable());
    EXPECT_FALSE(line->ApplySettings({9600}));
    EXPECT_FALSE(line->TakeLineErrors());
    EXPECT_EQ(line->BytesQueued(), -1);
    EXPECT_EQ(line->ReadQueued(buffer, sizeof buffer), -1);
    EXPECT_EQ(line->WriteAll(buffer, sizeof buffer), 0u);
    EXPECT_EQ(line->WaitForInput(), SerialLine::WaitResult::Closed);
    EXPECT_FALSE(line->DiscardInput());
    EXPECT_FALSE(line->DiscardOutput());
    EXPECT_TRUE(pty.ReadUntilQuiet(20ms).empty());
}

// Close from one thread ends a WaitForInput in progress in another, every time, whether the
// wait has already started to block or not.
TEST(SerialLineClose, WakesAWaitingReaderEveryTime) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsOpen());
    for (int i = 0; i < 300; ++i) {
        auto line = PosixSerialLine::Open(pty.SlavePath()).line;
        ASSERT_NE(line, nullptr) << "cycle " << i;
        ASSERT_TRUE(line->ApplySettings({115200}));
        auto waited = std::async(std::launch::async, [&line] { return line->WaitForInput(); });
        if (i % 3 == 1) std::this_thread::sleep_for(1ms);
        if (i % 3 == 2) std::this_thread::yield();
        auto closed = std::async(std::launch::async, [&line] { line->Close(); });
        const bool ended = waited.wait_for(kBound) == std::future_status::ready &&
                           closed.wait_for(kBound) == std::future_status::ready;
        if (!ended) {
            pty.Write({0x55});  // input ends the wait, so the threads can be joined
            waited.wait();
            closed.wait();
            FAIL() << "Close did not wake the reader, cycle " << i;
        }
        EXPECT_EQ(waited.get(), SerialLine::WaitResult::Closed) << "cycle " << i;
    }
}

// --- Line settings -----------------------------------------------------------------------

class SerialLineOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.IsOpen());
        line = PosixSerialLine::Open(pty.SlavePath()).line;
        ASSERT_NE(line, nullptr);
    }
    PseudoTerminal pty;
    std::shared_ptr<PosixSerialLine> line;
};

TEST_F(SerialLineOnPty, RawEightBitLineWithXonXoffBothWays) {
    ASSERT_TRUE(line->ApplySettings({9600, 8, 0, 0}));
    // Read back from both sides: a pseudo-terminal master reports its slave's settings.
    for (const int fd : {line->DescriptorForTests(), pty.MasterFd()}) {
        const auto tio = DriverSettings(fd);
        ASSERT_TRUE(tio.has_value());
        EXPECT_EQ(tio->c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
        EXPECT_EQ(tio->c_iflag & (IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | INPCK | IUCLC |
                                  BRKINT | IMAXBEL),
                  0u);
        EXPECT_EQ(tio->c_oflag & OPOST, 0u);
        EXPECT_EQ(tio->c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio->c_cflag & CSIZE, tcflag_t{CS8});
        EXPECT_EQ(tio->c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio->c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
        EXPECT_EQ(tio->c_cc[VSTART], 0x11);
        EXPECT_EQ(tio->c_cc[VSTOP], 0x13);
        EXPECT_EQ(tio->c_cc[VMIN], 0);
        EXPECT_EQ(tio->c_cc[VTIME], 0);
        EXPECT_EQ(tio->c_ispeed, 9600u);
        EXPECT_EQ(tio->c_ospeed, 9600u);
    }
}

struct FramingCase {
    SerialSettings settings;
    tcflag_t parityKind;  // PARODD and CMSPAR as expected
    bool parity;          // a parity bit is sent and checked
    bool twoStopBits;
};

void PrintTo(const FramingCase& c, std::ostream* out) {
    *out << int(c.settings.byteSize) << " bits, parity " << int(c.settings.parity) << ", stop code "
         << int(c.settings.stopBits);
}

class SerialLineFraming : public SerialLineOnPty,
                          public ::testing::WithParamInterface<FramingCase> {};

// A pseudo-terminal keeps what it is given, except that it forces CS8 and clears PARENB
// (there is no wire to frame bytes on): the character size and the parity switch cannot be
// read back here, the kind of parity, its checking and the stop bits can.
TEST_P(SerialLineFraming, MapsParityAndStopBits) {
    const FramingCase& c = GetParam();
    ASSERT_TRUE(line->ApplySettings(c.settings));
    const auto tio = DriverSettings(line->DescriptorForTests());
    ASSERT_TRUE(tio.has_value());
    EXPECT_EQ(tio->c_cflag & (PARODD | CMSPAR), c.parityKind);
    EXPECT_EQ((tio->c_iflag & INPCK) != 0, c.parity) << "parity checked only with a parity bit";
    EXPECT_EQ((tio->c_cflag & CSTOPB) != 0, c.twoStopBits);
}

INSTANTIATE_TEST_SUITE_P(Framing, SerialLineFraming,
                         ::testing::Values(FramingCase{{9600, 8, 0, 0}, 0, false, false},
                                           FramingCase{{9600, 7, 1, 0}, PARODD, true, false},
                                           FramingCase{{9600, 7, 2, 0}, 0, true, false},
                                           FramingCase{
                                               {9600, 8, 3, 0}, PARODD | CMSPAR, true, false},
                                           FramingCase{{9600, 8, 4, 0}, CMSPAR, true, false},
                                           FramingCase{{9600, 6, 0, 1}, 0, false, true},
                                           FramingCase{{9600, 5, 0, 2}, 0, false, true}));

// The record the driver is handed, built apart from the call that hands it over: a
// pseudo-terminal forces the character size and the parity switch whatever it is given, so
// here alone can they be seen.
TEST(SerialLineSettingsRecord, CarriesWhatIsAskedAndRefusesWhatHasNoEquivalent) {
    const struct {
        const char* name;
        SerialSettings settings;
        bool built;
        tcflag_t size;
        tcflag_t parity;  // PARENB, PARODD, CMSPAR
        bool twoStopBits;
    } rows[] = {
        {"the loader's line", {115200, 8, 0, 0}, true, CS8, 0, false},
        {"7 bits, odd", {9600, 7, 1, 0}, true, CS7, PARENB | PARODD, false},
        {"6 bits, even, one and a half", {2400, 6, 2, 1}, true, CS6, PARENB, true},
        {"5 bits, mark, two", {256000, 5, 3, 2}, true, CS5, PARENB | PARODD | CMSPAR, true},
        {"8 bits, space", {128000, 8, 4, 0}, true, CS8, PARENB | CMSPAR, false},
        {"no speed", {0, 8, 0, 0}, false, 0, 0, false},
        {"9 bits", {9600, 9, 0, 0}, false, 0, 0, false},
        {"4 bits", {9600, 4, 0, 0}, false, 0, 0, false},
        {"parity 5", {9600, 8, 5, 0}, false, 0, 0, false},
        {"stop code 3", {9600, 8, 0, 3}, false, 0, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        struct termios2 tio {};
        tio.c_cflag = CRTSCTS;  // left over: a refused row keeps it, a built one never does
        ASSERT_EQ(termios2_io::BuildRawSettings(row.settings, tio), row.built);
        if (!row.built) {
            EXPECT_EQ(tio.c_cflag, tcflag_t{CRTSCTS});
            continue;
        }
        EXPECT_EQ(tio.c_cflag & CSIZE, row.size);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), row.parity);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, row.parity != 0);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, row.twoStopBits);
        EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL | CRTSCTS), tcflag_t{CREAD | CLOCAL});
        EXPECT_EQ(tio.c_cflag & CBAUD, tcflag_t{BOTHER});
        EXPECT_EQ(tio.c_ispeed, row.settings.baudRate);
        EXPECT_EQ(tio.c_ospeed, row.settings.baudRate);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF});
        EXPECT_EQ(tio.c_cc[VSTART], 0x11);
        EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
        EXPECT_EQ(tio.c_lflag, tcflag_t{0});
        EXPECT_EQ(tio.c_oflag, tcflag_t{0});
    }
}

TEST_F(SerialLineOnPty, RefusedSettingsLeaveTheDriverAsItWas) {
    ASSERT_TRUE(line->ApplySettings({19200, 8, 0, 0}));
    const auto before = DriverSettings(line->DescriptorForTests());
    ASSERT_TRUE(before.has_value());
    const SerialSettings refused[] = {
        {0, 8, 0, 0}, {19200, 4, 0, 0}, {19200, 9, 0, 0}, {19200, 8, 5, 0}, {19200, 8, 0, 3},
    };
    for (const auto& s : refused) {
        EXPECT_FALSE(line->ApplySettings(s))
            << s.baudRate << " " << int(s.byteSize) << int(s.parity) << int(s.stopBits);
        const auto after = DriverSettings(line->DescriptorForTests());
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->c_cflag, before->c_cflag);
        EXPECT_EQ(after->c_iflag, before->c_iflag);
        EXPECT_EQ(after->c_ospeed, before->c_ospeed);
    }
}

TEST_F(SerialLineOnPty, EveryByteValuePassesUnchangedExceptFlowControlFromThePeer) {
    ASSERT_TRUE(line->ApplySettings({115200}));
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);

    // Outgoing: nothing is translated (no CR added before LF) and 0x11/0x13 are plain data.
    ASSERT_EQ(line->WriteAll(all.data(), all.size()), all.size());
    EXPECT_EQ(pty.Read(all.size(), kBound), all);
    EXPECT_TRUE(pty.ReadUntilQuiet(20ms).empty());

    // Incoming: everything arrives as sent (no CR/LF mapping, no signals, no end-of-file or
    // erase characters) except XON and XOFF, which the driver takes as flow control.
    ASSERT_TRUE(pty.Write(all));
    std::vector<std::uint8_t> expected;
    for (const std::uint8_t b : all)
        if (b != 0x11 && b != 0x13) expected.push_back(b);
    std::vector<std::uint8_t> got;
    std::uint8_t buffer[512];
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        if (line->WaitForInput() != SerialLine::WaitResult::InputReady) break;
        const long n = line->ReadQueued(buffer, sizeof buffer);
        if (n < 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(line->BytesQueued(), 0);
}

// A pseudo-terminal keeps no error counters: the line reports no errors, again and again.
TEST_F(SerialLineOnPty, ReportsNoLineErrorsWithoutCounters) {
    ASSERT_TRUE(line->ApplySettings({9600}));
    ASSERT_TRUE(pty.Write({1, 2, 3}));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(line->TakeLineErrors());
    EXPECT_EQ(line->WaitForInput(), SerialLine::WaitResult::InputReady);
}

// --- A device that goes away -------------------------------------------------------------

TEST_F(SerialLineOnPty, HangUpEndsAWaitInProgressAndEveryLaterWait) {
    ASSERT_TRUE(line->ApplySettings({9600}));
    auto waited = std::async(std::launch::async, [this] { return line->WaitForInput(); });
    std::this_thread::sleep_for(5ms);
    pty.CloseMaster();
    if (waited.wait_for(kBound) != std::future_status::ready) {
        line->Close();  // wakes the wait, so the thread can be joined
        waited.wait();
        FAIL() << "the hang-up did not end the wait";
    }
    EXPECT_EQ(waited.get(), SerialLine::WaitResult::HungUp);
    // A later wait reports the hang-up again at once rather than blocking; the receive loop
    // stops on it instead of spinning.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(line->WaitForInput(), SerialLine::WaitResult::HungUp);
    std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_LE(line->ReadQueued(buffer, sizeof buffer), 0);
    EXPECT_EQ(line->WriteAll(buffer, sizeof buffer), 0u);
    EXPECT_EQ(line->BytesQueued(), -1);
    EXPECT_FALSE(line->IsUsable());
    line->Close();
    EXPECT_EQ(line->WaitForInput(), SerialLine::WaitResult::Closed);
}

}  // namespace
