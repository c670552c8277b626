#pragma once
// Sectioned key=value text files, read and written the way the Windows
// profile functions did, so files made by the Windows program read the same:
// - section and key names match case-insensitively (ASCII) and are trimmed;
//   values are trimmed, and one pair of matching surrounding quotes (' or ")
//   is dropped;
// - a UTF-8 byte-order mark is skipped on reading and kept on writing;
// - lines end in CRLF or LF; lines whose first non-blank byte is ';' are
//   comments; a line without '=' is not a key;
// - where a section or key occurs twice the first occurrence counts.
// Writing touches only the line of the key written: an existing key gets its
// value replaced in place, a missing key goes after the last key of its
// section, a missing section goes to the end of the file. Every other byte —
// unknown keys and sections, comments, blank lines, order, line ends — stays.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tessaro {

// Files larger than this are refused rather than read into memory.
constexpr std::uintmax_t MaxIniFileSize = 4 * 1024 * 1024;

class TIniFile {
 public:
  // An empty document; Save creates the file.
  TIniFile() = default;

  // Reads path. A missing file gives an empty document and no error (as the
  // profile functions treated it); any other failure — unreadable, not a
  // regular file, larger than MaxIniFileSize — gives an empty document and
  // the error.
  [[nodiscard]] std::error_code Load(const std::string& path);
  // The last Load found a file and read it.
  bool Loaded() const { return FLoaded; }
  // Parses text as if it were a file's content.
  void SetText(std::string text);
  // The document as it would be written.
  std::string Text() const;

  // The 1-based numbers of the lines that are not blank, a comment (';' or
  // '#'), a [Section] or a Key=Value inside a section, or that hold a
  // control byte: what a person or this program would have written is none
  // of that.
  std::vector<int> LinesNotUnderstood() const;
  // The text of line `number` (1-based) without its line end; "" past the end.
  std::string LineText(int number) const;
  // Drops those lines (1-based numbers, any order). A dropped section line
  // takes its section with it, so its keys do not fall into the one above.
  void DropLines(const std::vector<int>& numbers);
  // The 1-based line of the key, 0 when it is missing.
  int LineOf(std::string_view section, std::string_view key) const;

  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // Decimal text with an optional sign that fits in 32 bits; anything else,
  // or a missing key, yields defaultValue.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
  // Read as an integer; any value other than 0 is true.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // In memory only. std::errc::invalid_argument, with the document unchanged,
  // when a name is empty or a name or the value would break the line
  // structure (CR, LF, '=' in a key, ']' in a section, a leading ';' or '[').
  [[nodiscard]] std::error_code WriteString(std::string_view section, std::string_view key,
                                            std::string_view value);
  [[nodiscard]] std::error_code WriteInteger(std::string_view section, std::string_view key,
                                             int64_t value);
  // "1" or "0".
  [[nodiscard]] std::error_code WriteBool(std::string_view section, std::string_view key,
                                          bool value);

  // Writes the document to path through a temporary file in the same
  // directory, flushed to disk and renamed over the old one, so a crash or a
  // full disk leaves either the old file or the new one, never a mix. A
  // symbolic link is written through to its target; the old file's owner
  // (where allowed) and permissions are kept. Nothing is written when the
  // file already holds exactly this text.
  [[nodiscard]] std::error_code Save(const std::string& path) const;

 private:
  struct TLine {
    std::string Text;  // without its line end
    std::string End;   // "\r\n", "\n", or "" for a last line without one
  };
  struct TKeyRef {
    int Line = -1;             // index into FLines, -1 when not found
    int InsertAfter = -1;      // where a missing key goes (-1: no such section)
  };
  TKeyRef FindKey(std::string_view section, std::string_view key) const;
  std::string NewLineEnd() const;

  bool FBom = false;
  bool FLoaded = false;
  std::vector<TLine> FLines;
};

// Decimal text with an optional sign, fitting in 32 bits; nullopt otherwise.
std::optional<int32_t> ParseIniInteger(std::string_view text);

}  // namespace tessaro
