// The device dialog's rules, the same in every window: its lists, their defaults, and the
// check of what the operator entered.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <variant>

#include "present/OperatorView.h"
#include "upgrade/PelcoCommand.h"

namespace device_choice {

// The protocol list and the speed list, in this order; entries go in by position.
inline constexpr std::array<const char*, 2> kProtocolTexts = {"PELCO_P", "PELCO_D"};
inline constexpr std::array<const char*, 10> kSpeedTexts = {
    "2400", "4800", "9600", "19200", "38400", "57600", "115200", "128000", "256000", "921600"};
static_assert(kSpeedTexts.size() == DEVICE_SPEED_TABLE.size());

inline constexpr char kDefaultAddress[] = "1";
inline constexpr int kDefaultProtocol = PROTOCOL_INDEX_PELCO_D;
inline constexpr int kDefaultSpeed = 0;

// The device the operator named, or the notice to show over the dialog (which stays open).
// protocol, speed: positions of the entries chosen, -1 for none (a list's position is cut to
// eight bits, so none is 255).
std::variant<DeviceSelection, Notice> Check(const std::string& addressText, int protocol,
                                            int speed);

}  // namespace device_choice
