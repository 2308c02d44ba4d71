// The ports the serial drivers have registered under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (value name: the driver's device, data: "COMn"). No port
// is opened. The roots of the POSIX listing mean nothing here and are ignored.
#include "serial/PortList.h"

#include <windows.h>

#include <algorithm>

namespace {

// "COM10" sorts after "COM9".
bool ComLess(const PortEntry& a, const PortEntry& b) {
    if (a.path.size() != b.path.size()) return a.path.size() < b.path.size();
    return a.path < b.path;
}

}  // namespace

std::vector<PortEntry> ListPorts(const PortRoots&) {
    std::vector<PortEntry> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;  // no serial driver has registered a port
    for (DWORD index = 0;; ++index) {
        char name[512];
        DWORD nameLength = sizeof name;
        BYTE data[512];
        DWORD dataLength = sizeof data - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataLength);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataLength] = 0;
        PortEntry entry;
        entry.path = reinterpret_cast<const char*>(data);
        entry.target = std::string(name, nameLength);
        if (!entry.path.empty()) ports.push_back(std::move(entry));
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), ComLess);
    return ports;
}
