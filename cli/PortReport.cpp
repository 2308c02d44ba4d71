#include "cli/PortReport.h"

#include "cli/Json.h"

namespace flash {

std::string PortsText(const std::vector<PortEntry>& ports) {
    if (ports.empty()) return "No serial ports found.\n";
    std::string text;
    for (const PortEntry& port : ports) {
        text += port.path;
        if (!port.target.empty()) text += " -> " + port.target;
        if (!port.driver.empty()) text += "  driver " + port.driver;
        if (!port.usbId.empty()) text += "  usb " + port.usbId;
        if (!port.product.empty()) text += "  \"" + port.product + "\"";
        text += '\n';
    }
    return text;
}

std::string PortsJson(const std::vector<PortEntry>& ports) {
    std::string text;
    for (const PortEntry& port : ports) {
        JsonObject object;
        object.Add("event", "port").Add("path", port.path);
        if (!port.target.empty()) object.Add("target", port.target);
        if (!port.driver.empty()) object.Add("driver", port.driver);
        if (!port.usbId.empty()) object.Add("usb", port.usbId);
        if (!port.product.empty()) object.Add("product", port.product);
        text += object.Text() + "\n";
    }
    return text;
}

}  // namespace flash
