#include "core/DeviceName.h"

#include "core/Gbk.h"

namespace tessaro {

namespace {
// Blanks only: spaces, and the ideographic space of Chinese input.
bool Blank(std::string_view utf8) {
  constexpr std::string_view IdeographicSpace = "\xE3\x80\x80";
  while (!utf8.empty()) {
    if (utf8.front() == ' ')
      utf8.remove_prefix(1);
    else if (utf8.starts_with(IdeographicSpace))
      utf8.remove_prefix(IdeographicSpace.size());
    else
      return false;
  }
  return true;
}
}  // namespace

TNameCheck CheckDeviceNameText(std::string_view utf8) {
  // A name of blanks shows as nothing in the tree and the logs.
  if (Blank(utf8)) return TNameCheck::Empty;
  // Byte 13 is the list file's padding, and no control character belongs in
  // a name shown in the tree and the logs.
  for (const char c : utf8)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return TNameCheck::NotStorable;
  const int bytes = GbkLength(utf8);
  if (bytes < 0) return TNameCheck::NotStorable;
  if (bytes > DeviceNameLen) return TNameCheck::TooLong;
  return TNameCheck::Ok;
}

std::optional<std::array<char, DeviceNameLen>> StoredDeviceNameText(std::string_view utf8) {
  if (CheckDeviceNameText(utf8) != TNameCheck::Ok) return std::nullopt;
  const auto gbk = Utf8ToGbk(utf8);
  if (!gbk) return std::nullopt;
  return PadDeviceName(*gbk);
}

std::string ShownDeviceNameText(const std::array<char, DeviceNameLen>& stored) {
  return GbkToUtf8(TrimDeviceName(stored));
}

}  // namespace tessaro
