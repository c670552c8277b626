#pragma once
// Frame arithmetic of the device side, written apart from protocols/ on
// purpose: the simulator is the test peer of the protocol handlers, so a
// mistake in one of them shows up as a disagreement with the other.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaro::sim {

// Modbus RTU CRC-16 (poly 0xA001 reflected, start 0xFFFF, no final xor).
uint16_t Crc16(const uint8_t* data, size_t count);
uint16_t Crc16(const std::string& bytes);
// Appends the CRC of everything in `frame`, low byte first.
void AppendCrc(std::string& frame);
// True when the last two bytes are the CRC of the bytes before them.
bool CrcValid(const std::string& frame);

// Upper-case hexadecimal text of the low 8 / 16 bits.
std::string Hex2(unsigned value);
std::string Hex4(unsigned value);
// Value of two / four hexadecimal digits (either case); -1 when a character
// is not a hexadecimal digit.
int ParseHex(const std::string& text, size_t pos, size_t count);

// LENGTH field of an ASCII frame for an INFO of `infoChars` characters:
// LCHKSUM (two's complement of the sum of the three LENID nibbles, mod 16)
// followed by the 12-bit LENID.
std::string LengthField(unsigned infoChars);
// CHKSUM over `frame` from VER to the end of INFO, i.e. every character
// after the SOI: two's complement of the sum of the character codes, mod 65536.
std::string AsciiChecksum(const std::string& frameWithoutChecksum);

// An IEEE 754 single as four byte pairs, least significant byte first
// (100.0 -> "0000C842").
std::string FloatHexLsbFirst(float value);

// ~ VER ADR CID1 RTN LENGTH INFO CHKSUM CR, all upper case.
std::string BuildAsciiFrame(const std::string& ver, unsigned adr, unsigned rtn, const std::string& info);

}  // namespace tessaro::sim
