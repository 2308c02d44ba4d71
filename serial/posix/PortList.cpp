#include "serial/PortList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;
namespace {

// The first line of a small sysfs file, without its line end; empty when it cannot be read.
std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// "ttyUSB10" sorts after "ttyUSB9".
bool NameLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && s[digits - 1] >= '0' && s[digits - 1] <= '9') --digits;
        return std::pair{s.substr(0, digits), s.size() - digits};
    };
    const auto [stemA, lengthA] = split(a);
    const auto [stemB, lengthB] = split(b);
    if (stemA != stemB) return a < b;
    if (lengthA != lengthB) return lengthA < lengthB;
    return a < b;
}

std::vector<std::string> NamesWithPrefix(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NameLess);
    return names;
}

// The driver of the tty's device, and the USB ids of the nearest USB device above it.
void FillFromSysfs(const PortRoots& roots, const std::string& ttyName, PortEntry& entry) {
    std::error_code error;
    const fs::path sysRoot = fs::weakly_canonical(fs::path(roots.sys), error);
    fs::path device =
        fs::canonical(fs::path(roots.sys) / "class" / "tty" / ttyName / "device", error);
    if (error) return;
    // A port of the serial core names the generic "port" driver; its parent names the real one.
    for (fs::path at = device; !at.empty() && at != sysRoot && at != at.root_path();
         at = at.parent_path()) {
        const fs::path driver = fs::read_symlink(at / "driver", error);
        if (error) continue;
        const std::string name = driver.filename().string();
        if (name == "port" || name == "usb") continue;
        entry.driver = name;
        break;
    }
    for (fs::path at = device; !at.empty() && at != sysRoot && at != at.root_path();
         at = at.parent_path()) {
        const std::string vendor = ReadLine(at / "idVendor");
        if (vendor.empty()) continue;
        entry.usbId = vendor + ":" + ReadLine(at / "idProduct");
        entry.product = ReadLine(at / "product");
        break;
    }
}

// Whether sysfs shows a real port behind ttyS<n>: a bound driver, and a port type (8250
// PORT_* number) other than 0, which stands for "no port here".
bool RealSerialPort(const PortRoots& roots, const std::string& ttyName) {
    const fs::path entry = fs::path(roots.sys) / "class" / "tty" / ttyName;
    std::error_code error;
    if (!fs::exists(entry / "device" / "driver", error)) return false;
    const std::string type = ReadLine(entry / "type");
    return !type.empty() && type != "0";
}

}  // namespace

std::vector<PortEntry> ListPorts(const PortRoots& roots) {
    std::vector<PortEntry> ports;
    std::vector<fs::path> linked;  // the devices listed by their by-id names, resolved
    const fs::path byId = fs::path(roots.dev) / "serial" / "by-id";
    for (const std::string& name : NamesWithPrefix(byId, "")) {
        PortEntry entry;
        entry.path = (byId / name).string();
        std::error_code error;
        const fs::path link = fs::read_symlink(byId / name, error);
        if (error) continue;
        // A link left behind by an adapter that is gone points nowhere: nothing to open.
        fs::path device = fs::canonical(byId / name, error);
        if (error) continue;
        linked.push_back(std::move(device));
        const fs::path target = (link.is_absolute() ? link : byId / link).lexically_normal();
        entry.target = target.string();
        FillFromSysfs(roots, target.filename().string(), entry);
        ports.push_back(std::move(entry));
    }
    // A device a by-id link stands for is listed once, by the link's name.
    const auto isLinked = [&](const fs::path& device) {
        std::error_code error;
        const fs::path resolved = fs::canonical(device, error);
        return !error && std::find(linked.begin(), linked.end(), resolved) != linked.end();
    };
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        for (const std::string& name : NamesWithPrefix(fs::path(roots.dev), prefix)) {
            if (std::string_view(prefix) == "ttyS" && !RealSerialPort(roots, name)) continue;
            if (isLinked(fs::path(roots.dev) / name)) continue;
            PortEntry entry;
            entry.path = (fs::path(roots.dev) / name).string();
            FillFromSysfs(roots, name, entry);
            ports.push_back(std::move(entry));
        }
    }
    return ports;
}
