#pragma once
// Frame helpers shared by the two ASCII protocols, the trace window and the
// log stores: hexadecimal text <-> bytes, the LENGTH and CHKSUM fields, a
// hex-to-float conversion and small number formatters.
//
// ASCII frame layout (every binary byte sent as two upper-case hex digits):
//
//   ~ VV AA C1 C2 LLLL <INFO: LENID chars> KKKK \r
//   | |  |  |  |  |                        |    +- EOI 0x0D
//   | |  |  |  |  |                        +------ CHKSUM
//   | |  |  |  |  +------------------------------- LENGTH: LCHKSUM (1 digit) + LENID (3 digits)
//   | |  |  |  +---------------------------------- CID2 (command / RTN)
//   | |  |  +------------------------------------- CID1 (device type)
//   | |  +---------------------------------------- ADR
//   | +------------------------------------------- VER
//   +--------------------------------------------- SOI 0x7E
//
// A frame is 18 + LENID characters long.
//
// Text is handled as byte strings: one char = one byte, no character-set
// conversion. Positions are 0-based.
//
// None of these helpers fails or reads outside its input, whatever the input:
// non-hex characters give the partial values documented per function, and
// characters asked for beyond the end of a text count as absent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// '0'..'9' -> 0..9, 'A'..'F' and 'a'..'f' -> 10..15, anything else -> 16.
int HexDigitValue(char c);

// The text, left-padded with '0' to at least `count` characters, read as hex
// over its first `count` characters; reading stops at the first non-hex
// character and returns the value so far. Characters after the first `count`
// are ignored. count <= 0 gives 0. Wraps modulo 2^32 when more than eight
// significant digits are read.
// "2A",2 -> 42; "7",2 -> 7; "1G5",3 -> 1; "",2 -> 0.
int32_t HexToInt(std::string_view text, int count);

// The four characters frame[pos..pos+3] as a 16-bit word; a non-hex character
// is skipped without shifting, and so is a position beyond the end of the
// frame. "00FA" -> 250; "0 1F" -> 31.
uint16_t Hex4ToWord(std::string_view frame, std::size_t pos);

// The low 16 bits of value as four upper-case hex digits ("0000".."FFFF").
std::string WordToHex4(uint32_t value);

// True when bit n (0 = least significant) of value is 1; false for n outside
// 0..31.
bool BitIsSet(uint32_t value, int n);

// LENGTH field: LENID's low 12 bits as hex, the first digit replaced by the
// LCHKSUM nibble (16 - sum of LENID's three nibbles mod 16) mod 16.
// 0 -> "0000"; 2 -> "E002"; 18 -> "D012"; 4095 -> "3FFF"; 4096 -> "0000".
std::string LengthField(int lenId);

// CHKSUM field: the two's complement mod 65536 of the sum of the `count`
// character codes (as unsigned bytes) following frame[0] (the SOI), as four
// upper-case hex digits. Only characters present in the frame are summed
// (count is clipped to frame.size() - 1; count <= 0 sums nothing -> "0000").
// "~31012A420000", 12 -> "FDA2".
std::string FrameChecksum(std::string_view frame, int count);

// The text upper-cased, keeping only '0'..'9' and 'A'..'F'.
std::string HexOnly(std::string_view text);

// HexOnly(text) read as pairs of digits; a last unpaired digit is ignored.
// "01 03 00 0a" -> {0x01,0x03,0x00,0x0A}; "ABC" -> {0xAB}.
std::vector<uint8_t> HexTextToBytes(std::string_view text);

// Each of the `count` bytes as two upper-case hex digits followed by the
// separator (also after the last byte). bytes may be null when count is 0.
// {0x7E,0x0D}," " -> "7E 0D ".
std::string BytesToHexText(const uint8_t* bytes, std::size_t count, std::string_view separator);
std::string BytesToHexText(const std::vector<uint8_t>& bytes, std::string_view separator);

// The low 16 bits of value taken as signed (-32768..32767), in decimal.
// 0xFFFF -> "-1".
std::string SignedWordToStr(uint32_t value);

// The eight characters text[pos..pos+7] as four hex pairs (each read with
// HexToInt(pair, 2)), least significant byte first, forming an IEEE 754
// single; returned widened to double. "0000C842" -> 100.0. Pairs beyond the
// end of the text are read from the characters that are there (a lone digit
// d as 0d, nothing as 00).
double HexToSingle(std::string_view text, std::size_t pos);

// The decimal text of value, left-padded with '0' to at least `width`
// characters, then its last `width` characters (width <= 0 -> "").
// (5,2) -> "05"; (2024,2) -> "24"; (7,4) -> "0007".
std::string IntToFixedDigits(int64_t value, int width);

}  // namespace tessaro
