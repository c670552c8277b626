#pragma once
// What a ComName names: a serial device on this machine, or a serial device
// server on the network. The one parser of these names; the settings dialog,
// `config set`, --search and the ports all go through it.
//
//   COM1 .. COM256        /dev/ttyS0 .. /dev/ttyS255 (any case, also \\.\COMn)
//   /any/path             a device or a symlink to one, as it is
//   tcp://HOST:PORT       raw bytes both ways (a converter's "TCP server" mode)
//   rfc2217://HOST:PORT   Telnet with the COM port option: the line settings
//                         go to the server at every connect
//
// HOST is an IPv4 address, an IPv6 address in brackets or a host name; PORT is
// 1..65535. Nothing else: no user or password, no path, no query.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

enum class TPortKind : uint8_t { Device, Tcp, Rfc2217 };

struct TPortName {
  TPortKind Kind = TPortKind::Device;
  std::string Path;  // Device: the path to open
  std::string Host;  // Tcp, Rfc2217: without the brackets of an IPv6 address
  uint16_t Port = 0;

  bool IsNetwork() const { return Kind != TPortKind::Device; }
};

// The parsed name, or nullopt with the reason in *error (one sentence naming
// the value, for a message box or standard error; UTF-8 Chinese with language
// 1, English otherwise).
std::optional<TPortName> ParsePortName(std::string_view name, std::string* error = nullptr, uint8_t language = 0);

// True when the name starts with one of the network schemes, parseable or not.
bool HasNetworkScheme(std::string_view name);

// A line for help texts and messages: the forms ComName takes.
inline constexpr const char* PortNameForms =
    "COM1 to COM256 (/dev/ttyS0 to /dev/ttyS255), a device path starting with \"/\" (as /dev/ttyUSB0), "
    "tcp://HOST:PORT or rfc2217://HOST:PORT";
inline constexpr const char* PortNameFormsZh =
    "COM1 到 COM256（/dev/ttyS0 到 /dev/ttyS255）、以“/”开头的设备路径（如 /dev/ttyUSB0）、"
    "tcp://主机:端口 或 rfc2217://主机:端口";

}  // namespace tessaro
