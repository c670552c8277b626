#pragma once
// The words of one request line of the UPS network protocol, and the quoting
// of values in replies. Words are separated by blanks; a word may be quoted
// with "..." and then holds blanks, with \" and \\ escaped by a backslash.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::net {

// Longest request line accepted, without its line end.
constexpr size_t MaxLineLength = 512;

// Splits `line` (without its line end) into words. False on an unterminated
// quote or a backslash at the end of the line; `words` is then unspecified.
bool SplitLine(std::string_view line, std::vector<std::string>& words);

// `text` between double quotes, with " and \ escaped.
std::string Quote(std::string_view text);

// The words a refused request is answered with, after "ERR ".
enum class TNutError : uint8_t {
  AccessDenied,
  AlreadyLoggedIn,
  AlreadySetPassword,
  AlreadySetUsername,
  CmdNotSupported,
  DataStale,
  Failed,
  FeatureNotConfigured,
  InstcmdFailed,
  InvalidArgument,
  PasswordRequired,
  Unknown,
  UnknownCommand,
  UnknownUps,
  UsernameRequired,
  VarNotSupported,
};

// The error's word as clients match it ("INVALID-ARGUMENT").
std::string_view NutErrorWord(TNutError error);

// The whole reply line: "ERR <word>\n".
std::string NutErrorLine(TNutError error);

}  // namespace tessaro::net
