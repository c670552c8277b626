#include "ui/main/DeviceName.h"

#include <string>

#include "core/Gbk.h"

namespace tessaro {

TNameCheck CheckDeviceName(const QString& name) { return CheckDeviceNameText(name.toStdString()); }

std::optional<std::array<char, DeviceNameLen>> StoredDeviceName(const QString& name) {
  return StoredDeviceNameText(name.toStdString());
}

QString ShownDeviceName(const std::array<char, DeviceNameLen>& stored) {
  return QString::fromStdString(ShownDeviceNameText(stored));
}

QString FullDeviceName(const std::array<char, DeviceNameLen>& stored) {
  return QString::fromStdString(GbkToUtf8(std::string(stored.data(), stored.size())));
}

}  // namespace tessaro
