#pragma once
// Device names as typed (UTF-8) against the 40 GBK bytes the device list keeps.

#include <QString>

#include <array>
#include <optional>

#include "core/DeviceList.h"
#include "core/DeviceName.h"

namespace tessaro {

TNameCheck CheckDeviceName(const QString& name);
// The stored form: GBK bytes padded with carriage returns to 40; nullopt when
// CheckDeviceName would not give Ok.
std::optional<std::array<char, DeviceNameLen>> StoredDeviceName(const QString& name);
// The name as shown: the bytes up to the first carriage return, from GBK.
QString ShownDeviceName(const std::array<char, DeviceNameLen>& stored);
// All 40 bytes as text, padding included (the tree's node text).
QString FullDeviceName(const std::array<char, DeviceNameLen>& stored);

}  // namespace tessaro
