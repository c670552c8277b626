#include "ui/main/DeviceName.h"

#include <string>

#include "core/Gbk.h"

namespace tessaro {

TNameCheck CheckDeviceName(const QString& name) {
  if (name.isEmpty()) return TNameCheck::Empty;
  const int bytes = GbkLength(name.toStdString());
  if (bytes < 0) return TNameCheck::NotStorable;
  if (bytes > DeviceNameLen) return TNameCheck::TooLong;
  return TNameCheck::Ok;
}

std::optional<std::array<char, DeviceNameLen>> StoredDeviceName(const QString& name) {
  if (CheckDeviceName(name) != TNameCheck::Ok) return std::nullopt;
  const auto gbk = Utf8ToGbk(name.toStdString());
  if (!gbk) return std::nullopt;
  return PadDeviceName(*gbk);
}

QString ShownDeviceName(const std::array<char, DeviceNameLen>& stored) {
  return QString::fromStdString(GbkToUtf8(TrimDeviceName(stored)));
}

QString FullDeviceName(const std::array<char, DeviceNameLen>& stored) {
  return QString::fromStdString(GbkToUtf8(std::string(stored.data(), stored.size())));
}

}  // namespace tessaro
