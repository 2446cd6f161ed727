// Hex digits of MAC addresses and WEP keys.
#pragma once

#include <cstdint>
#include <span>

// Value of one hex digit (0-9, A-F, a-f); any other character is 0.
std::uint8_t Parse_ToHex(char c);

bool Hex_isDigit(char c);

// Decodes two digits per byte, the first giving the high four bits. Fails,
// leaving bytes unspecified, unless digits holds exactly 2 * bytes.size()
// hex digits.
bool Hex_decode(std::span<const char> digits, std::span<std::uint8_t> bytes);
