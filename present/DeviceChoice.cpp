#include "present/DeviceChoice.h"

#include "upgrade/DeviceAddress.h"

namespace device_choice {

std::variant<DeviceSelection, Notice> Check(const std::string& addressText, int protocol,
                                            int speed) {
    const auto address = ParseDeviceAddress(addressText);
    if (!address) return Notice{"输入地址错误!"};
    return DeviceSelection{*address, static_cast<std::uint8_t>(protocol & 0xFF),
                           static_cast<std::uint8_t>(speed & 0xFF)};
}

}  // namespace device_choice
