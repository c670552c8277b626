#pragma once
// Device names as typed (UTF-8) against the 40 GBK bytes the device list
// keeps; the add-device dialog and the command line check them the same way.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/DeviceList.h"

namespace tessaro {

// Empty also stands for a name of blanks only.
enum class TNameCheck { Ok, Empty, TooLong, NotStorable };

TNameCheck CheckDeviceNameText(std::string_view utf8);
// The stored form: GBK bytes padded with carriage returns to 40; nullopt when
// CheckDeviceNameText would not give Ok.
std::optional<std::array<char, DeviceNameLen>> StoredDeviceNameText(std::string_view utf8);
// The name as shown, in UTF-8: the bytes up to the first carriage return.
std::string ShownDeviceNameText(const std::array<char, DeviceNameLen>& stored);

}  // namespace tessaro
