// The Windows serial layer where it needs no device: the DCB each opening applies, the device
// path a port name stands for, the order of the registered ports, and openings that must fail
// (no device, no name, not a communications device) with the right errno and no handle left
// behind. Runs under Wine; no
// COM port is linked in its prefix, so nothing here reaches a serial line.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "serial/PortList.h"
#include "serial/PortNames.h"
#include "serial/SerialLine.h"
#include "serial/win32/Win32SerialLine.h"
#include "tests/support/TempDir.h"
#include "upgrade/PelcoCommand.h"

namespace {

// --- The DCB ----------------------------------------------------------------------------

struct DcbCase {
    const char* name;
    SerialSettings settings;
    bool built;  // false: refused, the DCB left as it was
    BYTE byteSize = 0;
    BYTE parity = 0;
    BYTE stopBits = 0;
};

void PrintTo(const DcbCase& c, std::ostream* out) {
    *out << c.name << " (" << c.settings.baudRate << " baud, " << int(c.settings.byteSize)
         << " bits, parity " << int(c.settings.parity) << ", stop bits " << int(c.settings.stopBits)
         << ")";
}

// The line the tool runs on, 8N1, at every speed of the device dialog's table (the loader's
// 115200 among them, 128000 and 256000 with no CBR_ constant of their own in older headers).
std::vector<DcbCase> ToolSpeedRows() {
    std::vector<DcbCase> rows;
    for (const std::uint32_t baud : DEVICE_SPEED_TABLE)
        rows.push_back({"Tool", {baud, 8, 0, 0}, true, 8, NOPARITY, ONESTOPBIT});
    return rows;
}

// Every parity and stop-bit setting and each byte size the layer admits, a rate from no table,
// and values with no DCB equivalent.
const DcbCase kFramingRows[] = {
    {"FiveBitsOddOneAndAHalf", {9600, 5, 1, 1}, true, 5, ODDPARITY, ONE5STOPBITS},
    {"SixBitsEvenTwo", {9600, 6, 2, 2}, true, 6, EVENPARITY, TWOSTOPBITS},
    {"SevenBitsMarkOne", {9600, 7, 3, 0}, true, 7, MARKPARITY, ONESTOPBIT},
    {"EightBitsSpaceTwo", {9600, 8, 4, 2}, true, 8, SPACEPARITY, TWOSTOPBITS},
    {"RateOfNoTable", {250000, 8, 0, 0}, true, 8, NOPARITY, ONESTOPBIT},
    {"BaudZero", {0, 8, 0, 0}, false},
    {"ByteSizeZero", {9600, 0, 0, 0}, false},
    {"ByteSizeFour", {9600, 4, 0, 0}, false},
    {"ByteSizeNine", {9600, 9, 0, 0}, false},
    {"ParityFive", {9600, 8, 5, 0}, false},
    {"Parity255", {9600, 8, 255, 0}, false},
    {"StopBitsThree", {9600, 8, 0, 3}, false},
    {"StopBits255", {9600, 8, 0, 255}, false},
};

class DcbBuild : public testing::TestWithParam<DcbCase> {
  protected:
    // The DCB starts as garbage: what BuildDcb does not set must come out cleared, and a
    // refused setting must leave every byte as it was.
    DcbBuild() { std::memset(&dcb, 0xA5, sizeof dcb); }
    DCB dcb;
};

TEST_P(DcbBuild, GivesTheToolsLineOrRefuses) {
    const DcbCase& c = GetParam();
    DCB before;
    std::memcpy(&before, &dcb, sizeof dcb);
    ASSERT_EQ(Win32SerialLine::BuildDcb(c.settings, dcb), c.built);
    if (!c.built) {
        EXPECT_EQ(std::memcmp(&dcb, &before, sizeof dcb), 0) << "a refused setting changed the DCB";
        return;
    }
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, c.settings.baudRate);
    EXPECT_EQ(dcb.ByteSize, c.byteSize);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, c.stopBits);
    // Binary, parity checked, XON/XOFF both ways with the standard characters and limits.
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XonLim, 50);
    EXPECT_EQ(dcb.XoffLim, 50);
    // No hardware flow control; DTR and RTS simply on.
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    // Nothing replaced, dropped or aborted on: every byte reaches the receiver as it came.
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, DcbBuild, testing::ValuesIn(ToolSpeedRows()),
                         [](const testing::TestParamInfo<DcbCase>& param) {
                             return "Baud" + std::to_string(param.param.settings.baudRate);
                         });
INSTANTIATE_TEST_SUITE_P(Framing, DcbBuild, testing::ValuesIn(kFramingRows),
                         [](const testing::TestParamInfo<DcbCase>& param) {
                             return std::string(param.param.name);
                         });

// --- Port names -------------------------------------------------------------------------

struct NameCase {
    const char* name;
    const char* portName;
    const char* devicePath;  // empty: names no device
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << '"' << c.portName << '"';
}

class PortNameMapping : public testing::TestWithParam<NameCase> {};

TEST_P(PortNameMapping, GivesTheDevicePath) {
    EXPECT_EQ(DevicePathForPortName(GetParam().portName), GetParam().devicePath);
}

const NameCase kNameRows[] = {
    {"Com1", "COM1", "\\\\.\\COM1"},
    {"LowerCaseCom10", "com10", "\\\\.\\COM10"},
    {"MixedCase", "cOm7", "\\\\.\\COM7"},
    {"Com256", "COM256", "\\\\.\\COM256"},
    {"DevicePathAsItIs", "\\\\.\\COM3", "\\\\.\\COM3"},
    {"Empty", "", ""},
    {"ComAlone", "COM", ""},
    {"Com0", "COM0", ""},
    {"LetterForNumber", "COMx", ""},
    {"TrailingLetter", "COM1x", ""},
    {"Minus", "COM-1", ""},
    {"Blank", "COM 1", ""},
    {"PrinterPort", "LPT1", ""},
    {"UnixDevice", "/dev/ttyS0", ""},
    {"DeviceNamespaceAlone", "\\\\.\\", ""},
    {"EightDigits", "COM12345678", ""},
    {"PastSixtyFourBits", "COM99999999999999999999", ""},
};

INSTANTIATE_TEST_SUITE_P(Names, PortNameMapping, testing::ValuesIn(kNameRows),
                         [](const testing::TestParamInfo<NameCase>& param) {
                             return std::string(param.param.name);
                         });

// The registered ports in numeric order: COM10 after COM9. Registered here under driver names
// of the test's own (no device behind them), and taken away again.
TEST(PortListing, GivesTheRegisteredPortsInNumericOrder) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::vector<std::string> names = {"\\Device\\KavletTest10", "\\Device\\KavletTest9",
                                            "\\Device\\KavletTest2"};
    for (const std::string& name : names) {
        const std::string port = "COM" + name.substr(name.find_first_of("0123456789"));
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                       static_cast<DWORD>(port.size() + 1));
    }
    std::vector<std::string> listed;
    for (const PortEntry& entry : ListPorts())
        if (entry.target.rfind("\\Device\\KavletTest", 0) == 0) listed.push_back(entry.path);
    for (const std::string& name : names) RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
    EXPECT_EQ(listed, (std::vector<std::string>{"COM2", "COM9", "COM10"}));
}

// --- Openings that fail -----------------------------------------------------------------

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

struct OpenCase {
    const char* name;
    std::string portName;  // "FILE": a plain file the fixture makes
    int error;
};

void PrintTo(const OpenCase& c, std::ostream* out) {
    *out << '"' << c.portName << '"';
}

class FailedOpening : public testing::TestWithParam<OpenCase> {
  protected:
    void SetUp() override {
        std::ofstream(plainFile) << "not a port";
        ASSERT_TRUE(std::filesystem::exists(plainFile));
    }
    std::string PortName() const {
        return GetParam().portName == "FILE" ? "\\\\.\\" + plainFile : GetParam().portName;
    }

    TempDir folder{"kavlet-win32-line"};
    const std::string plainFile = folder.File("plain.bin");
};

TEST_P(FailedOpening, GivesNullAndTheErrorAndKeepsNoHandle) {
    const std::string portName = PortName();
    const DWORD handlesBefore = HandleCount();
    const LineOpenResult opened = OpenPlatformLine(portName);
    EXPECT_EQ(opened.line, nullptr);
    EXPECT_EQ(opened.error.errorNumber, GetParam().error) << "port name " << portName;
    EXPECT_EQ(HandleCount(), handlesBefore);
}

const OpenCase kOpenRows[] = {
    {"NoDeviceAtCom200", "COM200", ENOENT},
    {"NoDeviceAtItsPath", "\\\\.\\COM200", ENOENT},
    {"EmptyName", "", ENOENT},
    {"NameOfNoPort", "LPT1", ENOENT},
    {"NulDevice", "\\\\.\\NUL", ENOTTY},
    {"PlainFile", "FILE", ENOTTY},
};

INSTANTIATE_TEST_SUITE_P(Names, FailedOpening, testing::ValuesIn(kOpenRows),
                         [](const testing::TestParamInfo<OpenCase>& param) {
                             return std::string(param.param.name);
                         });

// Errors only Windows gives, each with the errno the operator is told by: a held port (what
// Wine cannot make of a pseudo-terminal) above all.
TEST(OpenErrors, EachBecomesTheErrnoThatExplainsIt) {
    const struct {
        DWORD error;
        int errorNumber;
    } rows[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_INVALID_NAME, ENOENT},      {ERROR_ACCESS_DENIED, EBUSY},
        {ERROR_SHARING_VIOLATION, EBUSY},  {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
        {ERROR_OUTOFMEMORY, ENOMEM},       {ERROR_GEN_FAILURE, EIO},
        {ERROR_DEVICE_NOT_CONNECTED, EIO},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Win32SerialLine::ErrnoForOpenError(row.error), row.errorNumber)
            << "error " << row.error;
}

}  // namespace
