#pragma once
// Device names are stored in files as GBK bytes; the program works in UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// nullopt when the text has a character GBK cannot hold.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);
// Bytes that are not valid GBK come out as U+FFFD, never as an error.
std::string GbkToUtf8(std::string_view gbk);
// Length of the text in GBK bytes, or -1 when it cannot be encoded.
int GbkLength(std::string_view utf8);

}  // namespace tessaro
